#include "app/NamedComboAccessible.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>

#include <mutex>

namespace {

class CNamedComboAccessible : public QAccessibleWidget
{
public:
    explicit CNamedComboAccessible(QComboBox *box)
        : QAccessibleWidget(box, QAccessible::ComboBox)
    {
    }

    QComboBox *box() const { return static_cast<QComboBox *>(object()); }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return box()->accessibleName();
        if (t == QAccessible::Value)
            return box()->isEditable() ? box()->lineEdit()->text() : box()->currentText();
        return QAccessibleWidget::text(t);
    }

    int childCount() const override { return box()->isEditable() ? 2 : 1; }

    QAccessibleInterface *child(int index) const override
    {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->isEditable())
            return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child)
            return -1;
        if (child->object() == box()->view())
            return 0;
        return box()->isEditable() && child->object() == box()->lineEdit() ? 1 : -1;
    }

    // The editable box hands its focus to its line edit, which is then the focused child.
    QAccessibleInterface *focusChild() const override { return box()->isEditable() ? child(1) : nullptr; }

    QStringList actionNames() const override
    {
        return QStringList{QAccessibleActionInterface::showMenuAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &name) override
    {
        if (name == QAccessibleActionInterface::showMenuAction())
            box()->showPopup();
        else
            QAccessibleWidget::doAction(name);
    }
};

// Asked for each class of the object's hierarchy, most derived first: the box is taken at its
// own class, before the toolkit's combo box interface would be.
QAccessibleInterface *namedComboFactory(const QString &className, QObject *object)
{
    auto *box = qobject_cast<QComboBox *>(object);
    if (!box || className != QLatin1String(object->metaObject()->className()) || box->accessibleName().isEmpty())
        return nullptr;
    return new CNamedComboAccessible(box);
}

} // namespace

void InstallNamedComboAccessibility()
{
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(namedComboFactory); });
}
