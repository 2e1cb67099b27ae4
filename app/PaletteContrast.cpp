#include "app/PaletteContrast.h"

#include "controls/common/ReadableColours.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QPainter>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleOption>
#include <QRadioButton>
#include <QSlider>
#include <QWidget>

#include <algorithm>

namespace {

// The style draws the outline of ticks and indicator frames from the window colour, darkened
// by this factor (as QColor::darker takes it).
constexpr int STYLE_OUTLINE_DARKER = 140;
// Steps from the background towards the foreground while looking for a readable colour.
constexpr int BLEND_STEPS = 20;

QColor blend(const QColor &from, const QColor &to, double t)
{
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * t),
                            float(from.greenF() + (to.greenF() - from.greenF()) * t),
                            float(from.blueF() + (to.blueF() - from.blueF()) * t));
}

// A colour over `background` as it shows: a translucent one mixed with what is under it.
QColor shown(const QColor &colour, const QColor &background)
{
    return blend(background, QColor(colour.red(), colour.green(), colour.blue()), colour.alphaF());
}

// The first colour on the way from `background` to `foreground` whose `drawn` form meets the
// least contrast against `background`; the foreground itself when none before it does.
template <class Drawn>
QColor firstReadable(const QColor &background, const QColor &foreground, Drawn drawn)
{
    for (int step = 1; step < BLEND_STEPS; ++step) {
        const QColor candidate = blend(background, foreground, double(step) / BLEND_STEPS);
        if (ContrastRatio(drawn(candidate), background) >= LEAST_PART_CONTRAST)
            return candidate;
    }
    return foreground;
}

QColor sameColour(const QColor &c)
{
    return c;
}

// Radio buttons whose style draws the circle of an unticked one from the base colour, nearly
// the window's own in a dark palette: a ring that meets the least contrast is drawn over it.
class CReadableRadioStyle : public QProxyStyle
{
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (element != PE_IndicatorRadioButton || !widget || !widget->parentWidget()
            || !IsDarkPalette(QApplication::palette(widget)))
            return;
        const QColor background = QApplication::palette(widget->parentWidget()).color(QPalette::Window);
        const QColor ring = firstReadable(background, option->palette.color(QPalette::WindowText), sameColour);
        const QRectF box(option->rect);
        const qreal radius = std::min(box.width(), box.height()) / 2.0 - 1.0;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(QPen(ring, 1.0));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(box.center() + QPointF(0.5, 0.5), radius, radius);
        painter->restore();
    }
};

} // namespace

void KeepFaintPartsReadable(QWidget *window)
{
    // From the application's colours each time: what was set here before is not built upon.
    const QPalette application = QApplication::palette(window);
    QPalette palette = window->palette();
    const QColor base = application.color(QPalette::Base);
    QColor placeholder = application.color(QPalette::PlaceholderText);
    if (ContrastRatio(shown(placeholder, base), base) < LEAST_PART_CONTRAST)
        placeholder = firstReadable(base, application.color(QPalette::Text), sameColour);
    palette.setColor(QPalette::PlaceholderText, placeholder);
    window->setPalette(palette);

    const bool dark = IsDarkPalette(application);
    QList<QWidget *> parts;
    for (QSlider *slider : window->findChildren<QSlider *>())
        parts << slider;
    for (QAbstractButton *button : window->findChildren<QAbstractButton *>()) {
        if (qobject_cast<QCheckBox *>(button) || qobject_cast<QRadioButton *>(button))
            parts << button;
    }
    for (QWidget *part : parts) {
        // The window colour the part is drawn on is its parent's; the part's own only feeds
        // the outline (none of these fills its background).
        const QColor background = QApplication::palette(part->parentWidget()).color(QPalette::Window);
        QPalette own = part->palette();
        QColor outlineSource = background;
        if (dark && ContrastRatio(background.darker(STYLE_OUTLINE_DARKER), background) < LEAST_PART_CONTRAST) {
            outlineSource = firstReadable(background, application.color(QPalette::WindowText),
                                          [](const QColor &c) { return c.darker(STYLE_OUTLINE_DARKER); });
        }
        own.setColor(QPalette::Window, outlineSource);
        part->setPalette(own);
        if (qobject_cast<QRadioButton *>(part) && !dynamic_cast<CReadableRadioStyle *>(part->style())) {
            auto *style = new CReadableRadioStyle;
            style->setParent(part);   // goes with the button
            part->setStyle(style);
        }
    }
}
