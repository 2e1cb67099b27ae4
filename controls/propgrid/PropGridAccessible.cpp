#include "controls/propgrid/PropGridAccessible.h"

#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridItem.h"
#include "controls/propgrid/PropGridItemEdit.h"
#include "controls/propgrid/PropGridList.h"

#include <QAccessibleWidget>
#include <QPointer>

#include <mutex>

namespace {

const QString EDIT_ACTION = QStringLiteral("Edit");

// The rows shown, in the order drawn.
QList<CPropGridItem *> shownRows(const CPropGrid *grid)
{
    QList<CPropGridItem *> rows;
    for (CPropGridItem *row = grid ? grid->GetVisibleHead() : nullptr; row; row = row->GetNextVisible())
        rows << row;
    return rows;
}

bool isEditable(const CPropGridItem *row)
{
    return !row->IsTopLevel() && !row->IsReadOnly() && row->GetValue().isValid();
}

// The value as read out: a masked one is never spoken.
QString spokenValue(const CPropGridItem *row)
{
    const auto *edit = dynamic_cast<const CPropGridItemEdit *>(row);
    return edit && edit->GetPasswordMode() ? QString() : row->GetValue().toString();
}

// One row, found again by its place among the rows shown each time it is asked: rows come
// and go with every command shown, and a place never dangles.
class CPropGridRowAccessible : public QAccessibleInterface, public QAccessibleActionInterface
{
public:
    CPropGridRowAccessible(CPropGridList *list, CPropGrid *grid, int index)
        : m_list(list), m_grid(grid), m_index(index)
    {
    }

    CPropGridItem *row() const
    {
        const QList<CPropGridItem *> rows = shownRows(m_grid);
        return m_list && m_index < rows.size() ? rows.at(m_index) : nullptr;
    }

    bool isValid() const override { return row() != nullptr; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_list ? m_list->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_list.data()); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::TreeItem; }
    void setText(QAccessible::Text, const QString &) override {}

    QString text(QAccessible::Text t) const override
    {
        const CPropGridItem *r = row();
        if (!r)
            return QString();
        switch (t) {
        case QAccessible::Name: {
            // A screen reader reads a tree item's name: the value goes with the label, as
            // the row shows both.
            const QString value = spokenValue(r);
            return value.isEmpty() ? r->GetLabel() : r->GetLabel() + QStringLiteral(": ") + value;
        }
        case QAccessible::Value:
            return spokenValue(r);
        case QAccessible::Description:
            return r->GetInfo();
        default:
            return QString();
        }
    }

    QRect rect() const override
    {
        const CPropGridItem *r = row();
        if (!r)
            return QRect();
        const QRect band = m_list->rowRect(r);
        return QRect(m_list->viewport()->mapToGlobal(band.topLeft()), band.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State s;
        const CPropGridItem *r = row();
        if (!r) {
            s.invalid = true;
            return s;
        }
        s.focusable = true;
        s.selectable = true;
        s.selected = r->IsSelected();
        s.focused = m_grid->GetFocusItem() == r && m_list->hasFocus();
        s.readOnly = !isEditable(r);
        s.editable = isEditable(r);
        s.expandable = r->GetFirstChild() != nullptr;
        s.expanded = s.expandable && r->IsExpanded();
        s.collapsed = s.expandable && !r->IsExpanded();
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override
    {
        QStringList names;
        const CPropGridItem *r = row();
        if (!r)
            return names;
        names << setFocusAction();
        if (isEditable(r))
            names << EDIT_ACTION;
        if (r->GetFirstChild())
            names << toggleAction();
        return names;
    }

    void doAction(const QString &name) override
    {
        CPropGridItem *r = row();
        if (!r || !actionNames().contains(name))
            return;
        m_grid->SetFocusItem(r);
        m_list->setFocus(Qt::OtherFocusReason);
        if (name == EDIT_ACTION)
            r->Activate();
        else if (name == toggleAction())
            m_list->ToggleExpanded(r);
    }

    QStringList keyBindingsForAction(const QString &name) const override
    {
        if (name == EDIT_ACTION)
            return {QStringLiteral("Return")};
        return {};
    }

private:
    QPointer<CPropGridList> m_list;
    CPropGrid *m_grid;   // the list's owner; valid while m_list is
    int m_index;
};

class CPropGridListAccessible : public QAccessibleWidget
{
public:
    explicit CPropGridListAccessible(CPropGridList *list)
        : QAccessibleWidget(list, QAccessible::Tree), m_list(list)
    {
    }
    ~CPropGridListAccessible() override
    {
        for (QAccessible::Id id : std::as_const(m_rows))
            QAccessible::deleteAccessibleInterface(id);
    }

    CPropGrid *grid() const { return qobject_cast<CPropGrid *>(m_list->parentWidget()); }

    QString text(QAccessible::Text t) const override
    {
        QString s = QAccessibleWidget::text(t);
        if (s.isEmpty() && t == QAccessible::Name && grid())
            s = grid()->accessibleName();
        return s;
    }

    int childCount() const override { return int(shownRows(grid()).size()); }

    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        // One interface per place, kept for the pane's life; the toolkit holds them by id.
        while (m_rows.size() <= index) {
            auto *row = new CPropGridRowAccessible(m_list, grid(), int(m_rows.size()));
            m_rows << QAccessible::registerAccessibleInterface(row);
        }
        return QAccessible::accessibleInterface(m_rows.at(index));
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (int i = 0; i < m_rows.size(); ++i) {
            if (QAccessible::accessibleInterface(m_rows.at(i)) == child)
                return i < childCount() ? i : -1;
        }
        return -1;
    }

    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint local = m_list->viewport()->mapFromGlobal(QPoint(x, y));
        const QList<CPropGridItem *> rows = shownRows(grid());
        const qsizetype i = rows.indexOf(m_list->rowAt(local.y()));
        return i >= 0 ? child(int(i)) : nullptr;
    }

private:
    CPropGridList *m_list;
    mutable QList<QAccessible::Id> m_rows;
};

QAccessibleInterface *propGridFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("CPropGridList") && object && object->isWidgetType())
        return new CPropGridListAccessible(static_cast<CPropGridList *>(object));
    return nullptr;
}

} // namespace

void InstallPropGridAccessibility()
{
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(propGridFactory); });
}

void AnnouncePropGridFocus(CPropGrid *grid)
{
    if (!grid || !QAccessible::isActive() || !grid->GetListPane()->hasFocus())
        return;
    const qsizetype index = shownRows(grid).indexOf(grid->GetFocusItem());
    if (index < 0)
        return;
    QAccessibleEvent event(grid->GetListPane(), QAccessible::Focus);
    event.setChild(int(index));
    QAccessible::updateAccessibility(&event);
}
