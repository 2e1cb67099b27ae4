#include "app/MainDialogLayout.h"

#include "app/ControlTextFit.h"
#include "app/DialogBuilder.h"
#include "app/DialogHeader.h"
#include "app/HistoryCombo.h"
#include "app/LogView.h"
#include "app/NamedComboAccessible.h"
#include "app/WindowParts.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridConstants.h"
#include "controls/tree/ExtTree.h"
#include "res/Resource.h"

#include <QApplication>
#include <QDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The least room, in dialog units, between a group box's frame and a control beside it.
constexpr int GROUP_GAP_DLU = 4;

// OnSize: the log's margins to the client's right and bottom edges, the room kept for the
// banner while it does not exist yet, and the "Clear" button's place under the log.
constexpr int LOG_RIGHT_MARGIN = 5;
constexpr int LOG_BOTTOM_MARGIN = 54;
constexpr int MISSING_HEADER_HEIGHT = 58;
constexpr int CLEAR_GAP = 10;
constexpr int CLEAR_HEIGHT = 22;
constexpr int CLEAR_WIDTH = 60;
// The least height the log keeps on a low screen; below it the whole client scrolls.
constexpr int LOG_MIN_HEIGHT = 120;
// Room between the left column's scroll area and the log.
constexpr int COLUMN_LOG_GAP = 2;

// The names assistive technology reads for the controls that have no text of their own.
constexpr std::pair<int, const char *> CONTROL_ACCESSIBLE_NAMES[] = {
    {IDC_PORT_PICKER, "Select by Port"},
    {IDC_TX_POWER, "TX power"},
    {IDC_COMMAND_BOX, "Command"},
    {IDC_CATALOGUE_TREE, "Ondo Reader Commands"},
    {IDC_PROPERTY_TREE, "Command properties"},
    {IDC_LOG_VIEW, "Traffic log"},
    {IDC_DEVICE_LIST, "Bluetooth Devices List (Port : MAC)"},
};

} // namespace

CMainDialogLayout::CMainDialogLayout(QDialog &window)
    : m_window(window)
{
}

QWidget *CMainDialogLayout::control(int id) const
{
    return m_controls.value(id, nullptr);
}

// The window's own kinds of template control: the port picker, the command box, the
// description, the command tree, the log and the power slider. The window wires them.
QWidget *CMainDialogLayout::createOwnControl(const DialogControlTemplate &item, QWidget *parent)
{
    using K = ControlKind;
    QWidget *widget = nullptr;
    switch (item.kind) {
    case K::DropDownList:
        widget = new CDroppingPortCombo(parent);
        break;
    case K::DropDownCombo:
        widget = new CHistoryCombo(parent);
        break;
    case K::ReadOnlyEdit: {
        auto *edit = new CDeviceListEdit(parent);
        edit->setReadOnly(true);
        widget = edit;
        break;
    }
    case K::TreeView:
        widget = new CExtTree(parent, item.id);
        break;
    case K::RichEdit:
        m_logView = new CLogView(parent);
        widget = m_logView;
        break;
    case K::TrackBar: {
        auto *slider = new QSlider(Qt::Horizontal, parent);
        slider->setTickPosition(QSlider::TicksBothSides);
        widget = slider;
        break;
    }
    default:
        // CreatePlainControl made every other kind.
        widget = new QWidget(parent);
        break;
    }
    return widget;
}

void CMainDialogLayout::createControls()
{
    using K = ControlKind;
    const DialogTemplate &dialog = MainDialogTemplate();
    m_window.setFont(DialogFont(dialog));
    // Context menus are windows of their own and take the application's menu font, a
    // wider face than the dialog's; they speak with the window's.
    QApplication::setFont(m_window.font(), "QMenu");
    const DialogBaseUnits units = BaseUnitsFor(m_window.font());

    m_scroller = new QScrollArea(&m_window);
    m_scroller->setFrameShape(QFrame::NoFrame);
    m_scroller->setWidgetResizable(true);
    // The frame scrolls the client for the controls inside it; it is no Tab stop of its own.
    m_scroller->setFocusPolicy(Qt::NoFocus);
    m_client = new CDialogClient(&m_window, [this] { OnSize(); });
    m_client->resize(DialogUnitsToPixels(dialog.size, units));
    resize(m_client->size());
    QWidget *const parent = m_client;

    for (const DialogControlTemplate &item : dialog.controls) {
        QRect pixels = DialogUnitsToPixels(item.rect, units);
        QWidget *widget = CreatePlainControl(item, units, parent);
        if (!widget) {
            widget = createOwnControl(item, parent);
            // A drop-down's template height is that of its open list; the closed box keeps its own.
            if (item.kind == K::DropDownList || item.kind == K::DropDownCombo)
                pixels.setHeight(widget->sizeHint().height());
            widget->setGeometry(pixels);
        }
        // The substitute face may set a text wider than the template's face did.
        GrowToText(widget);
        if (item.hidden)
            widget->hide();
        if (item.id != IDC_STATIC) {
            widget->setProperty("controlId", item.id);
            widget->setObjectName(QStringLiteral("control%1").arg(item.id));
            m_controls.insert(item.id, widget);
        }
        // The property tree (child 100) stands below the command tree: made right after it,
        // it follows it in the Tab order. Placed by CreatePropertyPanel; hidden until then.
        if (item.id == IDC_CATALOGUE_TREE) {
            m_propertyTree = new CPropGrid(parent, PGS_NOTIFY, IDC_PROPERTY_TREE);
            m_propertyTree->hide();
            m_propertyTree->setProperty("controlId", IDC_PROPERTY_TREE);
            m_controls.insert(IDC_PROPERTY_TREE, m_propertyTree);
        }
    }
    // Above the controls made after it, as when it was made last.
    m_propertyTree->raise();
    // Names for assistive technology where no label of the template is the control's buddy;
    // combo boxes are read by them, not by their current text.
    InstallNamedComboAccessibility();
    for (const auto &[id, name] : CONTROL_ACCESSIBLE_NAMES)
        control(id)->setAccessibleName(QString::fromUtf8(name));
    if (auto *box = qobject_cast<QComboBox *>(control(IDC_COMMAND_BOX)); box && box->lineEdit())
        box->lineEdit()->setAccessibleName(box->accessibleName());

    keepClearOfGroupFrames(units);
}

// A control that grew to its text, or a style whose group title is taller than the
// template's, can reach a group box's frame: the frame then moves, never the control (their
// places are the template's). A group's own members keep below its title and frame; a
// control beside it keeps a gap from its left edge.
void CMainDialogLayout::keepClearOfGroupFrames(const DialogBaseUnits &units)
{
    const QSize gap = DialogUnitsToPixels(QRect(0, 0, GROUP_GAP_DLU, GROUP_GAP_DLU), units).size();
    const QList<QGroupBox *> groups = m_client->findChildren<QGroupBox *>(Qt::FindDirectChildrenOnly);
    for (QGroupBox *group : groups) {
        QRect frame = group->geometry();
        const QRect designed = frame;
        for (QWidget *other : m_client->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QGroupBox *>(other) || other->isHidden())
                continue;
            const QRect placed = other->geometry();
            if (designed.contains(placed.topLeft())) {
                const int contentTop = frame.top() + group->contentsRect().top();
                if (placed.top() < contentTop)
                    frame.setTop(frame.top() - (contentTop - placed.top()));
            } else if (placed.left() < designed.left() && placed.top() < designed.bottom()
                       && placed.bottom() > designed.top() && placed.right() + gap.width() >= frame.left()) {
                frame.setLeft(placed.right() + 1 + gap.width());
            }
        }
        group->setGeometry(frame);
    }
}

void CMainDialogLayout::AttachHeader(CDialogHeader *header)
{
    m_header = header;
}

void CMainDialogLayout::wrapClient()
{
    const QSize designed = m_client->size();
    makeLeftColumn();
    // The designed width is the least the controls need: a narrower window scrolls across.
    // The height is the screen's: the log and "Clear" keep to the client's bottom, the left
    // column scrolls on its own, and only a client lower than the log's least height scrolls.
    const QRect log = m_logView->geometry();
    m_client->setMinimumSize(designed.width(), std::min(designed.height(), log.top() + LOG_MIN_HEIGHT + LOG_BOTTOM_MARGIN));
    m_scroller->setWidget(m_client);
    m_client->resize(designed);
    resize(designed);
}

// Everything left of the log below the banner (the port, the Bluetooth list, the command
// tree with its panel, "Save Data") goes into a scroll area of its own, at the same place:
// where the window is lower than the designed one, that column scrolls and the log does not.
void CMainDialogLayout::makeLeftColumn()
{
    const int top = m_header ? m_header->geometry().bottom() + 1 : 0;
    const int right = m_logView->geometry().left() - COLUMN_LOG_GAP;
    m_column = new QScrollArea(m_client);
    m_column->setObjectName(QStringLiteral("leftColumn"));
    m_column->setFrameShape(QFrame::NoFrame);
    m_column->setFocusPolicy(Qt::NoFocus);
    m_column->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Made in the window, so that the controls moved into it keep their Tab order; it hands
    // their notifications to the window as the client does.
    auto *content = new CDialogClient(&m_window, [] {});
    int bottom = top;
    const QList<QWidget *> children = m_client->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        const QRect placed = child->geometry();
        if (child == m_column || child == m_header || placed.right() >= right || placed.top() < top)
            continue;
        const bool hidden = child->isHidden();
        child->setParent(content);   // the same window: the Tab order stays
        child->move(placed.topLeft() - QPoint(0, top));
        child->setHidden(hidden);
        bottom = std::max(bottom, placed.bottom() + 1);
    }
    content->resize(right, std::max(0, std::max(m_client->height(), bottom) - top));
    m_column->setWidget(content);
    m_column->setGeometry(0, top, right, m_client->height() - top);
    m_column->lower();
}

// A screen lower or narrower than the designed window gets a window that fits its
// available area, frame included; the client then scrolls. Where the window fits it keeps
// its designed size.
void CMainDialogLayout::fitToScreen()
{
    const QScreen *shownOn = screen();
    if (!shownOn)
        return;
    const QRect available = shownOn->availableGeometry();
    const QSize frame = frameGeometry().size() - geometry().size();
    // Under X a window manager frames the window only once it is mapped, after this first
    // showing: until then the frame counts as none, and FrameArrived fits again when it comes.
    m_frameAwaited = frame.isNull();
    // A fractional scale factor rounds the native size and the frame: a pixel either way.
    const qreal ratio = m_window.devicePixelRatioF();
    const int rounding = ratio == std::floor(ratio) ? 0 : 1;
    const QSize room = available.size() - frame - QSize(rounding, rounding);
    if (width() <= room.width() && height() <= room.height())
        return;
    QSize fitted = size().boundedTo(room);
    // The scroll bar of the direction that scrolls takes its thickness from the view: the
    // other direction gets that much more room, as far as the screen has it, so that the
    // client's far edge (the log's own scroll bar, "Clear", the group frames) is not left
    // under the bar, reachable only by a second scroll bar.
    const QSize client = m_client->minimumSize() + QSize(rounding, rounding);
    const int barWidth = m_scroller->verticalScrollBar()->sizeHint().width();
    const int barHeight = m_scroller->horizontalScrollBar()->sizeHint().height();
    if (fitted.height() < client.height())
        fitted.setWidth(std::min(std::max(fitted.width(), client.width() + barWidth), room.width()));
    if (fitted.width() < client.width())
        fitted.setHeight(std::min(std::max(fitted.height(), client.height() + barHeight), room.height()));
    resize(fitted);
    QRect placed = frameGeometry();
    placed.moveLeft(std::clamp(placed.left(), available.left(), available.right() + 1 - placed.width()));
    placed.moveTop(std::clamp(placed.top(), available.top(), available.bottom() + 1 - placed.height()));
    move(placed.topLeft());
}

void CMainDialogLayout::FrameArrived()
{
    if (m_frameAwaited && frameGeometry().size() != geometry().size())
        fitToScreen();
}

void CMainDialogLayout::OnSize()
{
    if (!m_logView)
        return;
    const QRect log = m_logView->geometry();
    const QRect client = m_client->rect();
    // Edges as the platform counts them: right and bottom are one past the last pixel.
    const int clientRight = client.x() + client.width();
    int clientBottom = client.y() + client.height();
    if (!m_header)
        clientBottom -= MISSING_HEADER_HEIGHT;

    const int right = std::max(clientRight - LOG_RIGHT_MARGIN, log.left());
    const int bottom = std::max(clientBottom - LOG_BOTTOM_MARGIN, log.top());
    m_logView->setGeometry(QRect(log.left(), log.top(), right - log.left(), bottom - log.top()));
    if (m_column) {
        // The column reaches the client's bottom; its content keeps the designed height.
        const QRect column = m_column->geometry();
        m_column->setGeometry(column.left(), column.top(), column.width(), std::max(0, client.bottom() + 1 - column.top()));
        m_column->widget()->resize(m_column->viewport()->width(), m_column->widget()->height());
    }

    QWidget *clear = control(IDC_CLEAR);
    const QRect clearRect(right - CLEAR_WIDTH, bottom + CLEAR_GAP, CLEAR_WIDTH, CLEAR_HEIGHT);
    if (clear && clearRect.left() > log.left())
        clear->setGeometry(clearRect);
}

QScreen *CMainDialogLayout::screen() const { return m_window.screen(); }
QRect CMainDialogLayout::frameGeometry() const { return m_window.frameGeometry(); }
QRect CMainDialogLayout::geometry() const { return m_window.geometry(); }
int CMainDialogLayout::width() const { return m_window.width(); }
int CMainDialogLayout::height() const { return m_window.height(); }
QSize CMainDialogLayout::size() const { return m_window.size(); }
void CMainDialogLayout::resize(const QSize &size) { m_window.resize(size); }
void CMainDialogLayout::move(const QPoint &topLeft) { m_window.move(topLeft); }
