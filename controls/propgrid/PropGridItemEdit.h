#pragma once

#include "controls/propgrid/PropGridItem.h"

#include <QLineEdit>
#include <QPointer>

class CPropGridItemEdit;

// The in-place editor of an edit row: a single-line edit created at the row's
// first activation as a child of the list pane, hidden between activations.
// Enter, Space and losing the focus commit the row.
class CPropGridEditBox : public QLineEdit
{
    Q_OBJECT
public:
    CPropGridEditBox(CPropGridItemEdit *item, QWidget *parent);
    // The row is going away: the box commits nothing from now on.
    void Detach() { m_item = nullptr; }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    CPropGridItemEdit *m_item;
};

// A row whose value is edited in place, as text, as an integer ("%d") or as
// a float ("%f"), optionally shown as one "*" per character.
class CPropGridItemEdit : public CPropGridItem
{
public:
    enum Format : int { FormatText = 0, FormatInteger = 1, FormatFloat = 2 };

    CPropGridItemEdit();
    ~CPropGridItemEdit() override;

    void DrawValue(QPainter &painter, const QRect &valueRect) override;
    // Text: the text. Integer: the leading decimal value of the text (0 if none).
    // Float: the text read as a float, also kept in floatValue.
    QVariant GetValue() const override;
    // Text: a string. Integer: a number, written with "%d". Float: a number,
    // written with "%f". A value of the wrong kind is ignored.
    void SetValue(const QVariant &value) override;
    void OnMove() override;
    void OnRefresh() override;
    void OnCommit() override;
    void OnActivate() override;

    const QString &GetValueText() const { return valueText; }
    float GetFloatValue() const { return floatValue; }
    Format GetFormat() const { return valueFormat; }
    void SetFormat(Format format) { valueFormat = format; }
    bool GetPasswordMode() const { return passwordMode; }
    void SetPasswordMode(bool on) { passwordMode = on; }
    // The editor, null before the first activation.
    CPropGridEditBox *GetEditor() const { return editor; }

    // Leading decimal integer of `text` after blanks and an optional sign,
    // 0 without digits, saturated at the int range.
    static int LeadingInt(const QString &text);

private:
    QString valueText;
    mutable float floatValue = 0.0f;
    Format valueFormat = FormatText;
    bool passwordMode = false;
    QPointer<CPropGridEditBox> editor;
};
