#include "platform/CodePage.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <vector>

namespace {

// glibc's wide character is UCS-4 in host order; QString converts from and to it directly.
constexpr char WIDE_CODE_SET[] = "WCHAR_T";
constexpr char BYTE_FOR_BYTE_CODE_SET[] = "ISO-8859-1";
constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;
constexpr char DEFAULT_CHARACTER = '?';
constexpr qsizetype LONGEST_CHARACTER_BYTES = 8;   // beyond any code page's character length

iconv_t toIconv(void *cd) { return static_cast<iconv_t>(cd); }
bool isOpen(void *cd) { return cd != reinterpret_cast<void *>(iconv_t(-1)); }

void *openConverter(const QString &to, const QString &from)
{
    return reinterpret_cast<void *>(iconv_open(to.toLatin1().constData(), from.toLatin1().constData()));
}

QString resolve(const QString &codeSet) { return codeSet.isEmpty() ? LocaleCodeSet() : codeSet; }

// Whether a piece of bytes below 0x80 is that ASCII text whatever came before it: the code
// set reads each of them as itself from its initial state. A set with shift states fails the
// probe (ISO-2022's shift-out is among the bytes, UTF-7 reads "+-" as "+"); multi-byte sets
// with lead bytes from 0x80 up (UTF-8, EUC-KR, CP949) pass once nothing is held back.
bool asciiTransparent(void *cd)
{
    if (!isOpen(cd))
        return false;
    char ascii[0x80];
    for (int c = 0; c < 0x80; ++c)
        ascii[c] = char(c);
    wchar_t wide[0x80 + 4] = {};
    char *in = ascii, *out = reinterpret_cast<char *>(wide);
    size_t inLeft = sizeof ascii, outLeft = sizeof wide;
    const bool converted = iconv(toIconv(cd), &in, &inLeft, &out, &outLeft) != size_t(-1) && inLeft == 0
                           && outLeft == sizeof wide - 0x80 * sizeof(wchar_t);
    iconv(toIconv(cd), nullptr, nullptr, nullptr, nullptr);
    for (int c = 0; converted && c < 0x80; ++c)
        if (wide[c] != wchar_t(c))
            return false;
    return converted;
}

} // namespace

QString LocaleCodeSet()
{
    // A private locale object: the process's own locale (and with it number formatting)
    // stays untouched, and the call is safe on any thread.
    locale_t loc = newlocale(LC_CTYPE_MASK, "", locale_t(0));
    if (loc == locale_t(0))
        loc = newlocale(LC_CTYPE_MASK, "C", locale_t(0));
    QString name = loc ? QString::fromLatin1(nl_langinfo_l(CODESET, loc)) : QString();
    if (loc)
        freelocale(loc);
    if (name.isEmpty() || name == QLatin1String("ANSI_X3.4-1968") || name == QLatin1String("ASCII"))
        name = QString::fromLatin1(BYTE_FOR_BYTE_CODE_SET);
    return name;
}

CCodePageDecoder::CCodePageDecoder(const QString &codeSet)
    : m_codeSet(resolve(codeSet))
    , m_cd(openConverter(QString::fromLatin1(WIDE_CODE_SET), m_codeSet))
    , m_asciiTransparent(asciiTransparent(m_cd))
{
}

CCodePageDecoder::~CCodePageDecoder()
{
    if (isOpen(m_cd))
        iconv_close(toIconv(m_cd));
}

bool CCodePageDecoder::isValid() const { return isOpen(m_cd); }

void CCodePageDecoder::reset()
{
    m_pending.clear();
    if (isValid())
        iconv(toIconv(m_cd), nullptr, nullptr, nullptr, nullptr);
}

QString CCodePageDecoder::flush()
{
    QString out;
    for (qsizetype i = 0; i < m_pending.size(); ++i)
        out.append(QChar(char16_t(REPLACEMENT_CHARACTER)));
    reset();
    return out;
}

QString CCodePageDecoder::decode(const char *data, qsizetype size)
{
    if (!isValid()) {
        // No converter: still one character per byte, so nothing is lost.
        return QString::fromLatin1(data, size);
    }
    // A reader's lines are ASCII as a rule: such a piece is taken in at once, a tenth of
    // what the converter costs, which a flood of tag lines feels.
    if (m_asciiTransparent && m_pending.isEmpty()
        && std::all_of(data, data + size, [](char c) { return (uchar(c) & 0x80) == 0; }))
        return QString::fromLatin1(data, size);
    QByteArray input = m_pending;
    input.append(data, size);
    m_pending.clear();

    QString result;
    result.reserve(input.size());
    std::vector<wchar_t> chunk(size_t(input.size()) + 4);
    char *in = input.data();
    size_t inLeft = size_t(input.size());
    while (inLeft > 0) {
        char *out = reinterpret_cast<char *>(chunk.data());
        size_t outLeft = chunk.size() * sizeof(wchar_t);
        const size_t rc = iconv(toIconv(m_cd), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        const size_t produced = (chunk.size() * sizeof(wchar_t) - outLeft) / sizeof(wchar_t);
        result.append(QString::fromWCharArray(chunk.data(), qsizetype(produced)));
        if (rc != size_t(-1))
            break;
        if (error == E2BIG)
            continue;
        if (error == EINVAL && qsizetype(inLeft) < LONGEST_CHARACTER_BYTES) {
            m_pending = QByteArray(in, qsizetype(inLeft));   // the rest of it comes next time
            break;
        }
        // An invalid byte: replace it, start afresh with the next one.
        result.append(QChar(char16_t(REPLACEMENT_CHARACTER)));
        ++in;
        --inLeft;
        iconv(toIconv(m_cd), nullptr, nullptr, nullptr, nullptr);
    }
    return result;
}

CCodePageEncoder::CCodePageEncoder(const QString &codeSet)
    : m_codeSet(resolve(codeSet)), m_cd(openConverter(m_codeSet, QString::fromLatin1(WIDE_CODE_SET)))
{
}

CCodePageEncoder::~CCodePageEncoder()
{
    if (isOpen(m_cd))
        iconv_close(toIconv(m_cd));
}

bool CCodePageEncoder::isValid() const { return isOpen(m_cd); }

QByteArray CCodePageEncoder::encode(const QString &text)
{
    if (!isValid()) {
        QByteArray out;
        EncodeLatin1Strict(text, out);
        return out;
    }
    std::wstring wide = text.toStdWString();
    QByteArray result;
    result.reserve(text.size() * 2);
    std::vector<char> chunk(wide.size() * 4 + 16);
    char *in = reinterpret_cast<char *>(wide.data());
    size_t inLeft = wide.size() * sizeof(wchar_t);
    iconv(toIconv(m_cd), nullptr, nullptr, nullptr, nullptr);
    bool finishing = false;
    for (;;) {
        char *out = chunk.data();
        size_t outLeft = chunk.size();
        // A last call with no input lets stateful code pages return to their initial shift.
        const size_t rc = finishing ? iconv(toIconv(m_cd), nullptr, nullptr, &out, &outLeft)
                                    : iconv(toIconv(m_cd), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        result.append(chunk.data(), qsizetype(chunk.size() - outLeft));
        if (rc != size_t(-1)) {
            if (finishing)
                break;
            finishing = true;
            continue;
        }
        if (error == E2BIG)
            continue;
        result.append(DEFAULT_CHARACTER);
        in += sizeof(wchar_t);
        inLeft -= std::min(inLeft, sizeof(wchar_t));
    }
    return result;
}

bool EncodeLatin1Strict(const QString &text, QByteArray &out)
{
    out.clear();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
        bytes.append(char(c.unicode()));
    }
    out = bytes;
    return true;
}
