#pragma once

#include <QObject>

#include <functional>

class QSlider;

// The track bar's release-capture notification: ends every left press on the slider, a
// click on the track as well as a drag (QSlider::sliderReleased follows only a drag). The
// style may let another button move the handle too (a middle click jumps to its place): such
// a release counts when the press moved the slider, so that the slider keeps showing the
// reader's power. `released` is called queued, once the slider has taken its final position
// from the release. An event filter on the slider, owned by `owner`; user-interface thread.
class CSliderReleaseFilter : public QObject
{
public:
    CSliderReleaseFilter(QSlider *slider, QObject *owner, std::function<void()> released);
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::function<void()> m_released;
    int m_valueAtPress = 0;
};
