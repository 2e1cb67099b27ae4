#include "LineFuzzChecks.h"

#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "protocol/TagTyper.h"

#include <QStringList>

namespace {

constexpr int PIECE_LENGTH_MASK = 0x3F;
constexpr char CODE_SET[] = "ISO-8859-1";   // one character per byte, so the splitter can decode alone
constexpr char PROMPT[] = "$>";
constexpr char LINE_END[] = "\r\n";

// Records what the assembly logs; the key emulator is off, so every line is logged.
class RecordingHost : public IReaderView, public ITagTyper
{
public:
    QString log;
    void AppendLog(const QString &text, LogKind) override { log += text; }
    void SetCommandText(const QString &) override {}
    void OnSend() override {}
    QString LastCommand() const override { return QString(); }
    bool IsTypingOn() const override { return false; }
    bool IsMultiModeChecked() const override { return true; }
    void SetTxPower(int) override {}
    int TxPower() const override { return 0; }
    void TypeTag(const QString &, const QByteArray &) override {}
    void TypeScan(const QString &) override {}
};

bool isBreak(QChar c) { return c == u'\r' || c == u'\n'; }

// Lines are separated by runs of CR and LF; a prompt at the start of a line is a line of
// its own. The whole stream at once, no holding back. `log`: the expected log without breaks.
QStringList ReferenceLines(const QString &text, QString &log)
{
    const qsizetype bound = CResponseDispatcher::MAX_LINE_CHARS;
    QStringList lines;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && isBreak(text.at(i)))
            ++i;
        if (i == n)
            break;
        qsizetype end = i;
        if (QStringView(text).mid(i).startsWith(QLatin1String(PROMPT))) {
            end = i + 2;
        } else {
            while (end < n && !isBreak(text.at(end)))
                ++end;
        }
        if (end - i > bound) {
            log += text.mid(i, bound) + QStringLiteral(" [... %1 more characters of this line not shown]").arg(end - i - bound);
        } else {
            lines << text.mid(i, end - i);
            log += lines.last();
        }
        i = end;
    }
    return lines;
}

QString WithoutBreaks(QString text)
{
    text.remove(u'\r');
    text.remove(u'\n');
    return text;
}

} // namespace

QString CheckLineAssembly(const QByteArray &input)
{
    QList<QByteArray> pieces;
    QByteArray stream;
    qsizetype at = 0;
    while (at < input.size()) {
        const qsizetype length = (uchar(input.at(at)) & PIECE_LENGTH_MASK) + 1;
        ++at;
        QByteArray piece = input.mid(at, length);
        at += length;
        for (char &c : piece) {
            if (c != '\r' && c != '\n' && QChar(uchar(c)).isSpace())
                c = 'x';
        }
        if (piece.isEmpty())
            continue;
        stream += piece;
        pieces << piece;
    }
    // Whatever is still held back at the end is completed by a final line end.
    pieces << QByteArray(LINE_END);
    stream += LINE_END;

    RecordingHost host;
    CResponseDispatcher dispatcher(host, host, QString::fromLatin1(CODE_SET));
    QStringList dispatched;
    dispatcher.setDispatchObserver([&](CResponseDispatcher::LineClass, const QString &line) { dispatched << line; });
    for (const QByteArray &piece : pieces)
        dispatcher.OnSerialData(piece);

    const QString whole = QString::fromLatin1(stream);
    QString expectedLog;
    const QStringList expected = ReferenceLines(whole, expectedLog);
    if (!dispatcher.rxRemainder().isEmpty())
        return QStringLiteral("text still held back after a final line end: %1").arg(dispatcher.rxRemainder().left(80));
    if (dispatched != expected) {
        qsizetype i = 0;
        while (i < dispatched.size() && i < expected.size() && dispatched.at(i) == expected.at(i))
            ++i;
        return QStringLiteral("line %1 differs: dispatched \"%2\", whole stream \"%3\" (%4 against %5 lines)")
            .arg(i)
            .arg(i < dispatched.size() ? dispatched.at(i).left(80) : QStringLiteral("<none>"))
            .arg(i < expected.size() ? expected.at(i).left(80) : QStringLiteral("<none>"))
            .arg(dispatched.size())
            .arg(expected.size());
    }
    if (WithoutBreaks(host.log) != expectedLog)
        return QStringLiteral("the log lost or changed bytes: %1 against %2 characters besides line breaks")
            .arg(WithoutBreaks(host.log).size())
            .arg(expectedLog.size());
    return QString();
}
