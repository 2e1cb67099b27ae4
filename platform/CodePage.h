#pragma once

#include <QByteArray>
#include <QString>

// The 8-bit code page of the serial line's text. Received bytes are decoded with the
// locale's code set (as a Windows tool would use its ANSI code page); a code page can also
// be named explicitly ("EUC-KR", "CP949", "UTF-8", ...) so that tests do not depend on the
// machine's locale.

// The code set of the user's locale (LC_ALL / LC_CTYPE / LANG), read without changing the
// process's own locale. A plain-ASCII locale ("C", "POSIX") gives "ISO-8859-1", so that every
// byte still stands for one character and round-trips with the sending conversion.
QString LocaleCodeSet();

// Decodes a byte stream that arrives in arbitrary pieces. A multi-byte character cut between
// two pieces is held back and completed by the next piece. A byte that cannot start or
// continue a character becomes U+FFFD (one replacement per bad byte); nothing else is dropped.
// One instance belongs to one stream and one thread.
class CCodePageDecoder
{
public:
    explicit CCodePageDecoder(const QString &codeSet = QString()); // empty: LocaleCodeSet()
    ~CCodePageDecoder();
    CCodePageDecoder(const CCodePageDecoder &) = delete;
    CCodePageDecoder &operator=(const CCodePageDecoder &) = delete;

    bool isValid() const;             // false when the code set is unknown to the converter
    QString codeSet() const { return m_codeSet; }

    QString decode(const char *data, qsizetype size);
    QString decode(const QByteArray &bytes) { return decode(bytes.constData(), bytes.size()); }
    qsizetype heldBackBytes() const { return m_pending.size(); }
    QString flush();                  // the held-back bytes as replacement characters
    void reset();

private:
    QString m_codeSet;
    void *m_cd;                       // iconv_t
    bool m_asciiTransparent;          // bytes below 0x80 are ASCII, in any state
    QByteArray m_pending;             // start of a character whose end has not arrived
};

// Encodes whole texts into a code page, for the tag bytes handed to the key emulator.
// Characters the code page cannot represent become '?', as the platform's default character.
class CCodePageEncoder
{
public:
    explicit CCodePageEncoder(const QString &codeSet = QString()); // empty: LocaleCodeSet()
    ~CCodePageEncoder();
    CCodePageEncoder(const CCodePageEncoder &) = delete;
    CCodePageEncoder &operator=(const CCodePageEncoder &) = delete;

    bool isValid() const;
    QByteArray encode(const QString &text); // without a terminating zero byte

private:
    QString m_codeSet;
    void *m_cd;
};

// The sending conversion: each character up to U+00FF becomes that byte. Returns false and
// leaves `out` empty when the text holds a character above U+00FF, which has no byte.
bool EncodeLatin1Strict(const QString &text, QByteArray &out);
