#include "cli/Script.h"

namespace {

constexpr char EXPECT_MARK[] = "=>";
constexpr char COMMENT_MARK = '#';
constexpr char LITERAL_MARK = '\\';
constexpr char SCRIPT_HEADER[] = "# rfid-lorix-cli run script: one command a line, \"command => pattern\" "
                                 "expects an answer line, \"wait 500ms\" pauses\n";

const QRegularExpression &WaitLine()
{
    static const QRegularExpression wait(QStringLiteral("^wait(?:\\s+(\\S*))?\\s*$"));
    return wait;
}

// "500ms", "2s", "500": a pause in milliseconds; -1 when it is none.
int WaitMs(const QString &text)
{
    static const QRegularExpression amount(QStringLiteral("^(\\d{1,7})(ms|s)?$"));
    const QRegularExpressionMatch match = amount.match(text);
    if (!match.hasMatch())
        return -1;
    const int value = match.captured(1).toInt();
    return match.captured(2) == QLatin1String("s") ? value * 1000 : value;
}

} // namespace

Script ParseScript(const QString &text)
{
    Script script;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        ScriptStep step;
        step.lineNumber = i + 1;
        if (line.size() > MAX_SCRIPT_LINE_CHARS) {
            script.error = QStringLiteral("line %1: longer than %2 characters").arg(step.lineNumber).arg(MAX_SCRIPT_LINE_CHARS);
            return script;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(COMMENT_MARK)))
            continue;
        if (line.startsWith(QLatin1Char(LITERAL_MARK))) {
            step.command = line.mid(1);
            script.steps.append(step);
            continue;
        }
        const QRegularExpressionMatch wait = WaitLine().match(trimmed);
        if (wait.hasMatch()) {
            step.kind = ScriptStep::Wait;
            step.waitMs = WaitMs(wait.captured(1));
            if (step.waitMs < 0) {
                script.error = QStringLiteral("line %1: \"%2\": a wait needs a time, e.g. \"wait 500ms\"").arg(step.lineNumber).arg(trimmed);
                return script;
            }
            script.steps.append(step);
            continue;
        }
        const qsizetype mark = line.indexOf(QLatin1String(EXPECT_MARK));
        step.command = (mark < 0 ? line : line.left(mark)).trimmed();
        if (step.command.isEmpty()) {
            script.error = QStringLiteral("line %1: \"%2\": no command before \"=>\"").arg(step.lineNumber).arg(trimmed);
            return script;
        }
        if (mark >= 0) {
            step.hasExpectation = true;
            step.expectedText = line.mid(mark + 2).trimmed();
            step.expected.setPattern(QRegularExpression::anchoredPattern(step.expectedText));
            if (!step.expected.isValid()) {
                script.error = QStringLiteral("line %1: \"%2\": %3").arg(step.lineNumber).arg(step.expectedText, step.expected.errorString());
                return script;
            }
        }
        script.steps.append(step);
    }
    return script;
}

QString ScriptLineFor(const QString &command)
{
    const QString trimmed = command.trimmed();
    const bool plain = !command.isEmpty() && trimmed == command && !command.startsWith(QLatin1Char(COMMENT_MARK))
                       && !command.startsWith(QLatin1Char(LITERAL_MARK)) && !command.contains(QLatin1String(EXPECT_MARK))
                       && !WaitLine().match(command).hasMatch() && !command.contains(QLatin1Char('\n'))
                       && !command.contains(QLatin1Char('\r'));
    return plain ? command : QLatin1Char(LITERAL_MARK) + command;
}

QString ScriptFor(const QStringList &commands)
{
    QString text = QString::fromLatin1(SCRIPT_HEADER);
    for (const QString &command : commands)
        text += ScriptLineFor(command) + QLatin1Char('\n');
    return text;
}
