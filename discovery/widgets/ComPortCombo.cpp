#include "discovery/widgets/ComPortCombo.h"

#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace {

constexpr char PORT_NAME_PREFIX[] = "COM";
constexpr char FRIENDLY_PORT_START[] = "(COM";
// Item data is read back as 16 bits; a larger number could not be told apart from another.
constexpr int MAX_PORT_NUMBER = 0xFFFF;

// Character classes in the order of the platform's sorted lists: marks and symbols before
// digits, digits before letters.
int sortClass(QChar ch)
{
    if (ch.isLetter())
        return 2;
    if (ch.isDigit())
        return 1;
    return 0;
}

// Text order of the list, ignoring case: "<None>" sorts before "16550A ..." and "ttyS0".
int compareListTexts(const QString &a, const QString &b)
{
    const int common = qMin(a.size(), b.size());
    for (int i = 0; i < common; ++i) {
        const QChar ca = a.at(i);
        const QChar cb = b.at(i);
        const int classA = sortClass(ca);
        const int classB = sortClass(cb);
        if (classA != classB)
            return classA < classB ? -1 : 1;
        const char16_t foldA = ca.toCaseFolded().unicode();
        const char16_t foldB = cb.toCaseFolded().unicode();
        if (foldA != foldB)
            return foldA < foldB ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

CComPortCombo::CComPortCombo(QWidget *parent)
    : QComboBox(parent)
    , noneText(QString::fromLatin1(NONE_TEXT))
    , m_portSource([](QList<ComPortDevice> &ports) { return ListPresentPorts(ports); })
{
}

CComPortCombo::~CComPortCombo() = default;

void CComPortCombo::SetPortSource(PortSource source)
{
    m_portSource = std::move(source);
}

int CComPortCombo::PortNumberFromName(const QString &portName)
{
    const QString prefix = QString::fromLatin1(PORT_NAME_PREFIX);
    if (!portName.startsWith(prefix, Qt::CaseSensitive))
        return 0;
    int number = 0;
    for (int i = prefix.size(); i < portName.size(); ++i) {
        const QChar ch = portName.at(i);
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9'))
            break;
        number = number * 10 + (ch.unicode() - '0');
        if (number > MAX_PORT_NUMBER)
            return 0;
    }
    return number;
}

QString CComPortCombo::PortNameFromFriendlyName(const QString &friendlyName)
{
    const int open = friendlyName.indexOf(QString::fromLatin1(FRIENDLY_PORT_START));
    if (open < 0)
        return QString();
    const int close = friendlyName.indexOf(QLatin1Char(')'), open + 1);
    if (close < 0)
        return QString();
    return friendlyName.mid(open + 1, close - open - 1);
}

int CComPortCombo::insertSorted(QList<Entry> &entries, const Entry &entry)
{
    int at = 0;
    while (at < entries.size() && compareListTexts(entries.at(at).text, entry.text) <= 0)
        ++at;
    entries.insert(at, entry);
    return at;
}

int CComPortCombo::FillPorts(int portToSelectArg)
{
    QList<ComPortDevice> devices;
    const bool walked = m_portSource ? m_portSource(devices) : false;
    return FillPorts(portToSelectArg, devices, walked);
}

int CComPortCombo::FillPorts(int portToSelectArg, const QList<ComPortDevice> &devices, bool walked)
{
    portToSelect = portToSelectArg;
    if (portToSelect < 0)
        portToSelect = currentIndex() >= 0 ? (currentData().toInt() & MAX_PORT_NUMBER) : 0;

    QList<Entry> entries;
    int selected = -1;
    if (showNoneItem == 1)
        insertSorted(entries, Entry{noneText, 0});

    for (const ComPortDevice &device : devices) {
        QString portName = device.portName;
        if (portName.isEmpty() && !device.friendlyName.isEmpty())
            portName = PortNameFromFriendlyName(device.friendlyName);
        const int port = PortNumberFromName(portName);
        if (port <= 0)
            continue;
        const int at = insertSorted(entries, Entry{device.friendlyName, port});
        if (selected >= at)
            ++selected;
        if (port == portToSelect)
            selected = at;
    }
    const int result = walked ? 1 : 0;
    if (result == 1 && selected < 0 && !entries.isEmpty() && (showNoneItem == 1 || entries.size() == 1))
        selected = 0;

    // Built aside and applied at once: adding to an empty list would select its first entry
    // on its own, and "nothing selected" must stay possible.
    clear();
    for (const Entry &entry : entries)
        addItem(entry.text, entry.port);
    setCurrentIndex(selected);
    return result;
}

QString CComPortCombo::ShortenKeepingPort(const QString &name, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(name) <= width)
        return name;
    const qsizetype portStart = name.lastIndexOf(QString::fromLatin1(FRIENDLY_PORT_START));
    if (portStart < 0)
        return metrics.elidedText(name, Qt::ElideMiddle, width);
    const QString port = name.mid(portStart);
    const int room = qMax(0, width - metrics.horizontalAdvance(port));
    return metrics.elidedText(name.left(portStart), Qt::ElideMiddle, room) + port;
}

QString CComPortCombo::closedText() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    // The style draws the label one pixel inside each side of the text field.
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return ShortenKeepingPort(option.currentText, fontMetrics(), field.width() - 2);
}

// As the base class paints, with the shortened text: the base would cut the name's end off.
void CComPortCombo::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    option.currentText = closedText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
