#include "monitor/widgets/ReadRatePlot.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int MARGIN = 4;
constexpr int LINES_OF_TEXT = 2;      // the scale's top above the bars, the time axis below
constexpr int HINT_BAR_WIDTH = 8;
constexpr int HINT_BARS_HIGH = 7;     // lines of text the bars are high in the size hint
constexpr char OLDEST_LABEL[] = "-60 s";
constexpr char NEWEST_LABEL[] = "now";
constexpr char UNIT_SUFFIX[] = " reads/s";

} // namespace

CReadRatePlot::CReadRatePlot(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CReadRatePlot::SetValues(const QVector<quint64> &perSecond)
{
    if (perSecond == m_values)
        return;
    m_values = perSecond;
    update();
}

quint64 CReadRatePlot::ScaleTop(quint64 largest)
{
    quint64 power = 1;
    for (;;) {
        for (quint64 step : {1, 2, 5}) {
            if (largest <= step * power)
                return step * power;
        }
        if (power > ~quint64(0) / 100)
            return largest;
        power *= 10;
    }
}

quint64 CReadRatePlot::ScaleTopFor(const QVector<quint64> &perSecond)
{
    quint64 largest = 1;
    for (qsizetype i = std::max<qsizetype>(0, perSecond.size() - RECENT_SECONDS); i < perSecond.size(); ++i)
        largest = qMax(largest, perSecond[i]);
    return ScaleTop(largest);
}

QSize CReadRatePlot::sizeHint() const
{
    const int line = fontMetrics().height();
    return QSize(60 * HINT_BAR_WIDTH + 2 * MARGIN, (HINT_BARS_HIGH + LINES_OF_TEXT) * line + 2 * MARGIN);
}

QSize CReadRatePlot::minimumSizeHint() const
{
    const int line = fontMetrics().height();
    return QSize(120, (LINES_OF_TEXT + 2) * line + 2 * MARGIN);
}

QRect CReadRatePlot::barArea() const
{
    const int line = fontMetrics().height();
    return rect().adjusted(MARGIN, MARGIN + line, -MARGIN, -MARGIN - line);
}

void CReadRatePlot::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().base());
    const QRect area = barArea();
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(area.adjusted(0, 0, -1, -1));

    const quint64 top = ScaleTopFor(m_values);
    const int count = int(m_values.size());
    if (count > 0 && area.width() > 2 && area.height() > 2) {
        const QRect inside = area.adjusted(1, 1, -1, -1);
        const QColor bar = palette().color(QPalette::Highlight);
        const QColor beyond = palette().color(QPalette::Text);
        for (int i = 0; i < count; ++i) {
            const int left = inside.left() + i * inside.width() / count;
            const int right = inside.left() + (i + 1) * inside.width() / count;
            const bool over = m_values[i] > top;
            const int height = over ? inside.height() : int(double(m_values[i]) / double(top) * inside.height() + 0.5);
            const QRect shown(left, inside.bottom() + 1 - height, qMax(1, right - left - 1), height);
            if (height > 0)
                painter.fillRect(shown, bar);
            if (over)   // cut at the top: a band across its head says so
                painter.fillRect(QRect(shown.left(), shown.top(), shown.width(), qMax(2, inside.height() / 16)), beyond);
        }
    }

    const int line = fontMetrics().height();
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(area.left(), MARGIN, area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                     QString::number(top) + QLatin1String(UNIT_SUFFIX));
    const QRect below(area.left(), area.bottom() + 1, area.width(), line);
    painter.drawText(below, Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(OLDEST_LABEL));
    painter.drawText(below, Qt::AlignRight | Qt::AlignVCenter, QString::fromLatin1(NEWEST_LABEL));
}
