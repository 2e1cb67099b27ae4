#include "app/SliderReleaseFilter.h"

#include <QEvent>
#include <QMetaObject>
#include <QMouseEvent>
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
    const auto *slider = static_cast<QSlider *>(watched);
    if (event->type() == QEvent::MouseButtonPress) {
        m_valueAtPress = slider->value();
    } else if (event->type() == QEvent::MouseButtonRelease) {
        const bool left = static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        QMetaObject::invokeMethod(this, [this, left, slider] {
            if (left || slider->value() != m_valueAtPress)
                m_released();
        }, Qt::QueuedConnection);
    }
    return false;
}
