#pragma once

#include <QVector>
#include <QWidget>

// Reads per second over the last minute as bars, oldest at the left, drawn with QPainter
// (a chart library would be a dependency for sixty bars). The scale follows the newest
// RECENT_SECONDS bars: its top is their largest value, rounded up to 1, 2 or 5 times a power
// of ten, written at the top left, so that it comes back down some seconds after a burst; an
// older bar above it is drawn to the top with a mark that it goes beyond.
// User-interface thread only.
class CReadRatePlot : public QWidget
{
    Q_OBJECT

public:
    explicit CReadRatePlot(QWidget *parent = nullptr);

    // One value a second, oldest first; repaints when they differ from those shown.
    void SetValues(const QVector<quint64> &perSecond);
    const QVector<quint64> &Values() const { return m_values; }

    // The bars the scale follows: as many seconds as the monitor's rate is taken over.
    static constexpr int RECENT_SECONDS = 10;

    // The top of the scale for a largest value (at least 1), and for the values shown.
    static quint64 ScaleTop(quint64 largest);
    static quint64 ScaleTopFor(const QVector<quint64> &perSecond);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private: // geometry
    // The area the bars fill, inside the frame and the labels' room.
    QRect barArea() const;

private:
    QVector<quint64> m_values;
};
