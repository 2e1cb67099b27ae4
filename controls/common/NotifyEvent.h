#pragma once

#include <QEvent>
#include <QString>
#include <QtGlobal>

class QObject;

// The notification codes every control sends (each control adds its own: TVN_*, PGN_*).
constexpr int NM_CLICK = -2;
constexpr int NM_DBLCLK = -3;

// A control's notification to its parent, delivered synchronously with
// QCoreApplication::sendEvent: the receiver's event() is its message map.
//
// Two kinds share this class:
//  - plain notifications (type notifyType()), told apart by `code`, the
//    control's own notification code;
//  - registered messages (type registeredType(name)), one event type per name,
//    looked up once per process; `code` is unused (0) for them.
//
// The receiver answers by setting `result` (0 unless it says otherwise); the
// sender reads it after sendEvent returns. Item pointers are opaque to this
// class: each control documents what it puts there (a tree item, a grid row).
// Only used on the user-interface thread.
class CNotifyEvent : public QEvent
{
public:
    CNotifyEvent(QEvent::Type type, QObject *from, int controlId, int code,
                 void *item = nullptr, void *oldItem = nullptr, qintptr param = 0);

    // The event type of plain notifications, registered on first use.
    static QEvent::Type notifyType();
    // The event type registered for `name`; the same name always gives the
    // same type within one process. Thread-safe.
    static QEvent::Type registeredType(const char *name);

    QObject *from() const { return m_from; }
    int controlId() const { return m_controlId; }
    int code() const { return m_code; }
    void *item() const { return m_item; }
    void *oldItem() const { return m_oldItem; }
    qintptr param() const { return m_param; }

    template <class T> T *itemAs() const { return static_cast<T *>(m_item); }
    template <class T> T *oldItemAs() const { return static_cast<T *>(m_oldItem); }

    // A text travelling with the notification (an edited label, a new value);
    // empty when the code carries none.
    QString text;
    // Set by the receiver; 0 = "not handled" / "no objection" for every code.
    qintptr result = 0;

private:
    QObject *m_from;
    int m_controlId;
    int m_code;
    void *m_item;
    void *m_oldItem;
    qintptr m_param;
};

// Sends `ev` to `receiver` if there is one; returns the receiver's result,
// or 0 when there is no receiver.
qintptr SendNotify(QObject *receiver, CNotifyEvent &ev);
