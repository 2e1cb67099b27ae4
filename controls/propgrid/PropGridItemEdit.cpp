#include "controls/propgrid/PropGridItemEdit.h"

#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridList.h"

#include <QKeyEvent>
#include <QPainter>
#include <limits>
#include <locale>
#include <sstream>

namespace {
constexpr QChar PASSWORD_CHAR = QLatin1Char('*');
}

CPropGridEditBox::CPropGridEditBox(CPropGridItemEdit *item, QWidget *parent)
    : QLineEdit(parent), m_item(item)
{
}

bool CPropGridEditBox::event(QEvent *event)
{
    // The box takes every key, Tab included, as an edit control asking for
    // all keys: none moves the focus or reaches the list pane behind it.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            key->accept();
            return true;
        }
    }
    return QLineEdit::event(event);
}

void CPropGridEditBox::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (m_item && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
        // Commit hides the box; the key ends here, so the space is not added
        // and Enter does not reach the list pane to reopen the editor.
        CPropGridItemEdit *item = m_item;
        item->Commit();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
    // Keys the line edit leaves alone (Escape, F-keys) end here as well.
    event->accept();
}

void CPropGridEditBox::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    // The box's own context menu takes the focus only for a moment.
    if (event->reason() == Qt::PopupFocusReason)
        return;
    if (m_item && m_item->IsActivated())
        m_item->Commit();
}

CPropGridItemEdit::CPropGridItemEdit() = default;

CPropGridItemEdit::~CPropGridItemEdit()
{
    if (editor) {
        // The box may be inside its own key handler on the stack: detach it
        // now and let the event loop (or its parent) delete it.
        editor->Detach();
        editor->hide();
        editor->deleteLater();
    }
}

void CPropGridItemEdit::DrawValue(QPainter &painter, const QRect &valueRect)
{
    painter.setFont(IsReadOnly() ? GetOwnerTree()->NormalFont() : GetOwnerTree()->BoldFont());
    painter.setPen(GetOwnerTree()->palette().color(QPalette::Text));
    const QString shown = passwordMode ? QString(valueText.size(), PASSWORD_CHAR) : valueText;
    painter.drawText(valueRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

int CPropGridItemEdit::LeadingInt(const QString &text)
{
    int i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        negative = text.at(i++) == QLatin1Char('-');
    qint64 value = 0;
    const qint64 limit = qint64(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i)
        value = qMin(limit, value * 10 + (text.at(i).unicode() - '0'));
    value = negative ? -value : qMin(value, limit - 1);
    return int(value);
}

QVariant CPropGridItemEdit::GetValue() const
{
    switch (valueFormat) {
    case FormatInteger:
        return LeadingInt(valueText);
    case FormatFloat: {
        // Read the leading number in the C locale, whatever the user's locale;
        // text without a number leaves the last value.
        std::istringstream in(valueText.toStdString());
        in.imbue(std::locale::classic());
        float parsed = 0.0f;
        if (in >> parsed)
            floatValue = parsed;
        return floatValue;
    }
    case FormatText:
        break;
    }
    return valueText;
}

void CPropGridItemEdit::SetValue(const QVariant &value)
{
    switch (valueFormat) {
    case FormatInteger: {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (ok)
            valueText = QString::asprintf("%d", number);
        break;
    }
    case FormatFloat: {
        bool ok = false;
        const float number = value.toFloat(&ok);
        if (ok) {
            floatValue = number;
            valueText = QString::asprintf("%f", double(number));
        }
        break;
    }
    case FormatText:
        if (value.typeId() == QMetaType::QString)
            valueText = value.toString();
        break;
    }
}

void CPropGridItemEdit::OnMove()
{
    if (editor)
        editor->setGeometry(GetValueRect());
}

void CPropGridItemEdit::OnRefresh()
{
    if (editor)
        editor->setText(valueText);
}

void CPropGridItemEdit::OnCommit()
{
    if (!editor)
        return;
    valueText = editor->text();
    // Hand the focus back to the pane first, so that hiding the box does not
    // send it to some other widget of the window.
    if (editor->hasFocus() && GetOwnerTree())
        GetOwnerTree()->GetListPane()->setFocus(Qt::OtherFocusReason);
    editor->hide();
}

void CPropGridItemEdit::OnActivate()
{
    CPropGrid *grid = GetOwnerTree();
    if (!grid)
        return;
    if (!editor) {
        editor = new CPropGridEditBox(this, grid->GetListPane()->viewport());
        editor->hide();
        editor->setFrame(false);
        editor->setFont(GetOwnerTree()->NormalFont());
        editor->setObjectName(QString::number(GetItemId()));
        // The masking character is the style's by default; rows use "*".
        editor->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    }
    editor->setEchoMode(passwordMode ? QLineEdit::Password : QLineEdit::Normal);
    // Read out by its row, not as a nameless text box.
    editor->setAccessibleName(GetLabel());
    editor->setText(valueText);
    editor->selectAll();
    editor->setGeometry(GetValueRect());
    editor->show();
    editor->setFocus(Qt::OtherFocusReason);
}
