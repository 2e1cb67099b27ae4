#include "protocol/CommandLine.h"

#include "platform/CodePage.h"

namespace {

constexpr char LINE_END[] = "\r\n";
constexpr qsizetype LINE_END_LENGTH = sizeof(LINE_END) - 1;

} // namespace

QString ReplaceTypedEscapes(const QString &command)
{
    QString out = command;
    out.replace(QLatin1String("\\r"), QLatin1String("\r"));
    out.replace(QLatin1String("\\n"), QLatin1String("\n"));
    return out;
}

CommandLine PrepareCommandLine(const QString &command, qsizetype capacity)
{
    CommandLine line;
    QByteArray bytes;
    if (!EncodeLatin1Strict(command, bytes)) {
        line.status = CommandLine::Unrepresentable;
        return line;
    }
    if (bytes.size() + LINE_END_LENGTH > capacity) {
        line.status = CommandLine::TooLong;
        return line;
    }
    bytes.append(LINE_END, LINE_END_LENGTH);
    line.bytes = bytes;
    return line;
}

QString CommandRefusalText(const CommandLine &line, qsizetype capacity)
{
    switch (line.status) {
    case CommandLine::TooLong:
        return QStringLiteral("Not sent: the command is longer than %1 bytes.\r\n")
            .arg(capacity - LINE_END_LENGTH);
    case CommandLine::Unrepresentable:
        return QStringLiteral("Not sent: the command holds a character that has no 8-bit form.\r\n");
    case CommandLine::Ready:
        break;
    }
    return QString();
}
