#pragma once

// A parent widget for CExtTree tests: its event() is the message map that
// records every notification, with the tree's selection at delivery time.

#include "controls/tree/ExtTree.h"
#include "controls/common/NotifyEvent.h"

#include <QList>
#include <QWidget>

class CTreeRecorder : public QWidget
{
public:
    struct Note
    {
        QEvent::Type type;
        int code;
        QTreeWidgetItem *item;
        qintptr param;
        QTreeWidgetItem *selectedAtDelivery;
    };

    CExtTree *tree = nullptr;
    QList<Note> notes;
    qintptr tipAnswer = 0; // answer to WM_EXTTREE_DISPLAY_TOOLTIP

    QList<Note> notesOf(QEvent::Type type, int code = 0) const
    {
        QList<Note> out;
        for (const Note &n : notes)
            if (n.type == type && n.code == code)
                out.append(n);
        return out;
    }
    QList<Note> selChanges() const { return notesOf(CNotifyEvent::notifyType(), TVN_SELCHANGED); }

protected:
    bool event(QEvent *e) override
    {
        if (auto *n = dynamic_cast<CNotifyEvent *>(e)) {
            notes.append({n->type(), n->code(), n->itemAs<QTreeWidgetItem>(), n->param(),
                          tree ? tree->currentItem() : nullptr});
            if (n->type() == WM_EXTTREE_DISPLAY_TOOLTIP)
                n->result = tipAnswer;
            return true;
        }
        return QWidget::event(e);
    }
};
