#include "controls/common/NotifyEvent.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QObject>
#include <mutex>

CNotifyEvent::CNotifyEvent(QEvent::Type type, QObject *from, int controlId, int code,
                           void *item, void *oldItem, qintptr param)
    : QEvent(type), m_from(from), m_controlId(controlId), m_code(code), m_item(item),
      m_oldItem(oldItem), m_param(param)
{
}

QEvent::Type CNotifyEvent::notifyType()
{
    static const QEvent::Type type = registeredType("WM_NOTIFY");
    return type;
}

QEvent::Type CNotifyEvent::registeredType(const char *name)
{
    // Qt hands out each type once and never takes it back, so the map only grows
    // and a name keeps its type for the life of the process.
    static std::mutex lock;
    static QHash<QByteArray, int> types;
    const std::lock_guard<std::mutex> guard(lock);
    const QByteArray key(name);
    auto it = types.find(key);
    if (it == types.end())
        it = types.insert(key, QEvent::registerEventType());
    return QEvent::Type(it.value());
}

qintptr SendNotify(QObject *receiver, CNotifyEvent &ev)
{
    if (!receiver)
        return 0;
    ev.result = 0;
    QCoreApplication::sendEvent(receiver, &ev);
    return ev.result;
}
