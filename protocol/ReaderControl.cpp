#include "protocol/ReaderControl.h"

#include "protocol/ReaderView.h"
#include "protocol/TagList.h"

#include <QtGlobal>
#include <algorithm>
#include <limits>

namespace {

constexpr qsizetype TRIGGER_KEYWORD_LENGTH = sizeof(READER_TRIGGER_EVENT) - 1;
// "ok" and the separator after it come before the value of an answer.
constexpr qsizetype OK_VALUE_OFFSET = sizeof(READER_OK_PREFIX) - 1 + sizeof(READER_ARGUMENT_SEPARATOR);

bool isRuntimeSpace(QChar c)
{
    return c.isSpace();
}

} // namespace

int ReadIntegerLikeWtoi(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && isRuntimeSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    qint64 value = 0;
    constexpr qint64 limit = qint64(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > limit)
            value = limit;
    }
    if (negative)
        return int(std::max(-value, qint64(std::numeric_limits<int>::min())));
    return int(std::min(value, qint64(std::numeric_limits<int>::max())));
}

CReaderControl::CReaderControl(IReaderView &view, CTagList &tagList)
    : m_view(view), m_tagList(tagList)
{
}

void CReaderControl::HandleReaderEvent(const QString &line)
{
    // Only the trigger has an effect; "$batt=", "$online=", "$pwr=", ... are just logged.
    const qsizetype keyword = line.indexOf(QLatin1String(READER_TRIGGER_EVENT));
    if (keyword < 0)
        return;
    const qsizetype comma = line.indexOf(QLatin1Char(READER_ARGUMENT_SEPARATOR));
    if (comma <= 0)
        return;
    const qsizetype valueStart = keyword + TRIGGER_KEYWORD_LENGTH;
    const QStringView valueText = comma > valueStart
        ? QStringView(line).mid(valueStart, comma - valueStart) : QStringView();

    switch (ReadIntegerLikeWtoi(valueText)) {
    case TriggerRelease:
        sendAsTyped(QString::fromLatin1(COMMAND_STOP));
        break;
    case InventoryStart:
        m_tagList.clear();
        m_scanMode = Inventory;
        sendAsTyped(QString::fromLatin1(m_view.IsMultiModeChecked() ? COMMAND_INVENTORY_MULTI
                                                                     : COMMAND_INVENTORY_SINGLE));
        break;
    case ScanStop:
        sendAsTyped(QString::fromLatin1(COMMAND_SCAN_STOP));
        break;
    case ScanStart:
        m_tagList.clear();
        m_scanMode = Scan;
        sendAsTyped(QString::fromLatin1(COMMAND_SCAN_START));
        break;
    default:
        break;
    }
}

void CReaderControl::HandleOkResponse(const QString &line, const QString &answered)
{
    if (!(answered.isEmpty() ? m_view.LastCommand() : answered).startsWith(QLatin1String(COMMAND_GET_TX_POWER)))
        return;
    const int power = ReadIntegerLikeWtoi(QStringView(line).mid(qMin(OK_VALUE_OFFSET, line.size())));
    m_view.SetTxPower(qBound(TX_POWER_MIN, power, TX_POWER_MAX));
}

void CReaderControl::OnTxPowerReleased()
{
    sendAsTyped(QString::fromLatin1(COMMAND_SET_TX_POWER).arg(m_view.TxPower()));
}

void CReaderControl::sendAsTyped(const QString &command)
{
    m_view.SetCommandText(command);
    m_view.OnSend();
}
