#include "app/SliderReleaseFilter.h"

#include <QEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPointer>
#include <QSlider>

#include <utility>

CSliderReleaseFilter::CSliderReleaseFilter(QSlider *slider, QObject *owner, std::function<void()> released)
    : QObject(owner)
    , m_released(std::move(released))
{
    slider->installEventFilter(this);
}

bool CSliderReleaseFilter::eventFilter(QObject *watched, QEvent *event)
{
    // Only mouse events are read: the filter also sees the slider's last events while it is
    // destroyed, when it is a QSlider no longer.
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease)
        return false;
    const QPointer<QSlider> slider = qobject_cast<QSlider *>(watched);
    if (!slider)
        return false;
    if (type == QEvent::MouseButtonPress) {
        m_valueAtPress = slider->value();
    } else {
        const bool left = static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        QMetaObject::invokeMethod(this, [this, left, slider] {
            if (slider && (left || slider->value() != m_valueAtPress))
                m_released();
        }, Qt::QueuedConnection);
    }
    return false;
}
