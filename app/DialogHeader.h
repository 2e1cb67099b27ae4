#pragma once

#include "app/ColourRef.h"

#include <QFont>
#include <QIcon>
#include <QStringList>
#include <QWidget>

// The banner across the top of a dialog: a vertical colour gradient, an icon at the left, a
// bold title and a description under it. AttachToDialog makes room for it: the dialog grows
// by the header's height, and ShiftDialogChildren moves every other child down as much.
// Geometry is kept in TitleRect()/DescriptionRect(); the paint handler only asks them.
class CDialogHeader : public QWidget
{
    Q_OBJECT

public:
    enum TextAlign { AlignLeft = 0, AlignCentre = 1, AlignRight = 2 };

    static constexpr char FONT_FACE[] = "Tahoma";
    static constexpr int BORDER_WIDTH = 1;   // the header's one-pixel border

    explicit CDialogHeader(QWidget *parent = nullptr);

    void SetTitle(const QString &text);
    void SetDescription(const QString &text);
    void SetIcon(const QIcon &icon);
    void SetTopColour(ColourRef colour);
    void SetBottomColour(ColourRef colour);

    // The colours the banner is painted in: the designed gradient with the palette's window
    // text, or on a dark palette a gradient of the palette's window colour, so that its text
    // stays readable on it.
    struct Colours
    {
        QColor top;
        QColor bottom;
        QColor text;
    };
    Colours ShownColours() const;

    QString title() const { return m_title; }
    QString description() const { return m_description; }

    // Computes the height, enlarges the dialog by it and becomes the dialog's child across
    // its top. Nothing happens without a dialog.
    void AttachToDialog(QWidget *dialog);
    // Moves every other child of the dialog, hidden ones included, down by the height.
    void ShiftDialogChildren(QWidget *dialog);

    // The drawing area inside the border, and the two text rectangles in widget pixels.
    QRect ClientRect() const;
    QRect TitleRect() const;
    QRect DescriptionRect() const;
    QFont TitleFont() const;
    QFont DescriptionFont() const;

    // The layout parameters, set before AttachToDialog.
    int titleFontSize = 15;
    int descFontSize = 13;
    int headerHeight = 60;
    int iconWidth;
    int iconHeight;
    int borderSize = 1;
    int iconOffset = 5;
    int titleOffset = 10;
    int descOffset = 10;
    int textAlign = AlignLeft;
    int ownFonts = 0;          // 0: the fonts are made from the sizes at every paint
    int reserveIconSpace = 1;  // the text keeps the icon's room even without an icon
    QFont titleFont;
    QFont descFont;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool hasIcon() const { return !m_icon.isNull(); }
    int minimumHeaderHeight() const;
    void makeFonts();

    QIcon m_icon;
    QString m_title;
    QString m_description;
    ColourRef m_topColour;
    ColourRef m_bottomColour = 0;
};

// Lays the text out in the rectangle with word breaks; when it does not fit, the last line
// that fits ends in an ellipsis. Returns the lines as drawn.
QStringList WrapWithEllipsis(const QString &text, const QFont &font, int width, int height);
