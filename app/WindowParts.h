#pragma once

#include "discovery/widgets/ComPortCombo.h"

#include <QObject>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <functional>

// Small pieces of the main window that are not the window's own logic.

// The port picker refills itself from the stored port each time its list drops down.
class CDroppingPortCombo : public CComPortCombo
{
public:
    std::function<void()> onDropDown;
    using CComPortCombo::CComPortCombo;

    void showPopup() override;
};

// The Bluetooth device list: a double click on a device's line ("COM142\t: 00:11:...") names
// that line's port to `onPortChosen`.
class CDeviceListEdit : public QPlainTextEdit
{
public:
    std::function<void(int number)> onPortChosen;
    using QPlainTextEdit::QPlainTextEdit;

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};

// Names rfcomm ports after their paired device, asking BlueZ once per address (with a short
// timeout: a hung daemon must not hold the window for long). Safe on any thread.
std::function<QString(const QString &)> CachedBluetoothNames();

// Calls `changed` whenever a window of the application is activated or deactivated (an
// application-wide event filter: the tool's message boxes and dialogs count).
class CActiveWindowWatch : public QObject
{
public:
    explicit CActiveWindowWatch(std::function<void()> changed) : m_changed(std::move(changed)) {}
    bool eventFilter(QObject *, QEvent *event) override;

private:
    std::function<void()> m_changed;
};

// The dialog's client area, the parent of every control, inside a scroll area that fills
// the window: where the screen is smaller than the designed window it scrolls instead of
// cutting controls off. The controls' notifications are the dialog's; a resize lays the
// log out again.
class CDialogClient : public QWidget
{
public:
    CDialogClient(QWidget *dialog, std::function<void()> resized)
        : QWidget(dialog), m_dialog(dialog), m_resized(std::move(resized))
    {
    }

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QWidget *m_dialog;
    std::function<void()> m_resized;
};
