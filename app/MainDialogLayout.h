#pragma once

#include "res/DialogTemplates.h"

#include <QHash>
#include <QPoint>
#include <QRect>
#include <QSize>

class CDialogHeader;
class CLogView;
class CPropGrid;
class QDialog;
class QScreen;
class QScrollArea;
class QWidget;

// The main window's client built from its dialog template, and kept in shape: the scroll
// area that fills the window, the client inside it, every control of the template in the
// client (the window's own kinds made here, unwired: the window connects them), the names
// assistive technology reads, the group frames kept clear of the controls, the log and
// "Clear" following the client's size, and the window fitted to a small screen. Holds the
// id-to-control table; owns no widget (all are the window's children). User-interface
// thread only.
class CMainDialogLayout
{
public:
    explicit CMainDialogLayout(QDialog &window);

    // Sets the window's dialog font and makes the scroll area, the client and the controls;
    // the property tree (100) is made hidden, right after the command tree.
    void createControls();
    // The banner, once it is attached to the client: the log keeps clear of it.
    void AttachHeader(CDialogHeader *header);
    // Puts the finished client into the scroll area and sizes the window to it.
    void wrapClient();
    void OnSize();
    void fitToScreen();
    // The window moved: the window manager's frame may have come since the first fit.
    void FrameArrived();

    // The control with a template id (1000..1020, 1, 2), the property tree (100); null else.
    QWidget *control(int id) const;
    QScrollArea *scroller() const { return m_scroller; }
    // The controls left of the log, which scroll on their own (null until wrapClient).
    QScrollArea *leftColumn() const { return m_column; }
    QWidget *client() const { return m_client; }

private:
    QWidget *createOwnControl(const DialogControlTemplate &item, QWidget *parent);
    void keepClearOfGroupFrames(const DialogBaseUnits &units);
    void makeLeftColumn();
    // The window's geometry, under the names the fitting reads it by.
    QScreen *screen() const;
    QRect frameGeometry() const;
    QRect geometry() const;
    int width() const;
    int height() const;
    QSize size() const;
    void resize(const QSize &size);
    void move(const QPoint &topLeft);

    QDialog &m_window;
    QScrollArea *m_scroller = nullptr;    // fills the window
    QWidget *m_client = nullptr;          // its widget: the designed client area
    QScrollArea *m_column = nullptr;      // in the client: the controls left of the log
    QHash<int, QWidget *> m_controls;     // template id -> control
    CPropGrid *m_propertyTree = nullptr;  // 100
    CLogView *m_logView = nullptr;        // 1012
    CDialogHeader *m_header = nullptr;    // the banner, once attached
    bool m_frameAwaited = false;          // fitted before the window manager's frame was known
};
