#include "app/WindowParts.h"

#include "controls/common/NotifyEvent.h"
#include "discovery/BluezClient.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHash>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QTextBlock>

#include <memory>
#include <mutex>

namespace {

// Naming an rfcomm port after its paired device asks BlueZ; each address is asked once.
constexpr int BLUETOOTH_NAME_TIMEOUT_MS = 300;

} // namespace

void CDroppingPortCombo::showPopup()
{
    if (onDropDown)
        onDropDown();
    CComPortCombo::showPopup();
}

std::function<QString(const QString &)> CachedBluetoothNames()
{
    BluezEnvironment env;
    env.callTimeoutMs = BLUETOOTH_NAME_TIMEOUT_MS;
    auto ask = BluetoothNameHook(env);
    // Asked on the window's thread (the list dropped down) and on the port scans' thread.
    struct Cache
    {
        std::mutex lock;
        QHash<QString, QString> names;
    };
    auto cache = std::make_shared<Cache>();
    return [ask, cache](const QString &address) {
        {
            const std::lock_guard<std::mutex> lock(cache->lock);
            const auto it = cache->names.constFind(address);
            if (it != cache->names.constEnd())
                return *it;
        }
        const QString name = ask(address);
        const std::lock_guard<std::mutex> lock(cache->lock);
        cache->names.insert(address, name);
        return name;
    };
}

void CDeviceListEdit::mouseDoubleClickEvent(QMouseEvent *event)
{
    const QRegularExpression portAtStart(QStringLiteral("^COM(\\d+)\\b"));
    const QRegularExpressionMatch match = portAtStart.match(cursorForPosition(event->pos()).block().text());
    if (match.hasMatch() && onPortChosen) {
        onPortChosen(match.captured(1).toInt());
        return;
    }
    QPlainTextEdit::mouseDoubleClickEvent(event);
}

bool CActiveWindowWatch::eventFilter(QObject *, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::WindowActivate || type == QEvent::WindowDeactivate || type == QEvent::ApplicationStateChange)
        m_changed();
    return false;
}

bool CDialogClient::event(QEvent *event)
{
    if (dynamic_cast<CNotifyEvent *>(event))
        return QCoreApplication::sendEvent(m_dialog, event);
    return QWidget::event(event);
}

void CDialogClient::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_resized();
}
