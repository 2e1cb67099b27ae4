#pragma once

#include "controls/propgrid/PropGridItem.h"
#include "controls/propgrid/PropGridConstants.h"

#include <QFont>
#include <QWidget>
#include <functional>

class CPropGridList;

// Description pane: the focused row's label as a title and its description
// text below, on a button-face ground inside a sunken edge.
class CPropGridInfo : public QWidget
{
    Q_OBJECT
public:
    explicit CPropGridInfo(CPropGrid *owner);
    // What the pane shows now: the focused row's label and description, or
    // the two texts for "nothing focused".
    QString TitleText() const;
    QString BodyText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    CPropGrid *m_owner;
};

// Two-column property grid: a tree of rows with a label left of a movable
// splitter and a value right of it (the list pane), and a description pane
// below. Notifications (PGN_*) go synchronously to the parent widget as a
// CNotifyEvent, and only when the style has PGS_NOTIFY.
// User-interface thread only.
class CPropGrid : public QWidget
{
    Q_OBJECT
public: // API
    explicit CPropGrid(QWidget *parent = nullptr, quint32 style = 0,
                       int controlId = PROPGRID_CONTROL_ID);
    ~CPropGrid() override;

    quint32 GetStyle() const { return m_style; }
    void SetStyle(quint32 style) { m_style = style; }
    int GetControlId() const { return m_controlId; }

    // Appends `item` as the last child of `parent` (of the invisible root when
    // null), gives it the next identifier and takes ownership. A null item, an
    // item already in a grid or a parent from another grid is refused (null).
    CPropGridItem *AddItem(CPropGridItem *item, CPropGridItem *parent = nullptr);
    // Removes and destroys `item` with its subtree; null removes every row.
    // Returns false when the parent vetoed the removal of the item or of one
    // of its rows; a row whose child was kept stays too, so nothing dangles.
    bool RemoveItem(CPropGridItem *item);
    // Calls `callback` for `start` (unless it is the root) and then depth first
    // for its subtree; stops and returns false when the callback returns false.
    bool ForEachItem(CPropGridItem *start, const std::function<bool(CPropGridItem *)> &callback);
    bool Contains(const CPropGridItem *item);

    // Makes `item` (or none) the focused, selected row; no notification.
    void SetFocusItem(CPropGridItem *item);
    CPropGridItem *GetFocusItem() const { return focusItem; }
    void ScrollIntoView(CPropGridItem *item);
    // Splitter limits: 16 on the left, the list pane's client width - 16 on the right.
    void SetSplitter(int x);
    int GetSplitter() const { return splitterX; }
    int GetScrollY() const { return scrollY; }
    void MoveFocusFirst();
    void MoveFocusLast();
    void MoveFocusPrev();
    void MoveFocusNext();

    // The owner may restart identifiers at 1 after removing every row.
    int GetNextItemId() const { return nextItemId; }
    void SetNextItemId(int id) { nextItemId = id; }
    int GetInfoHeight() const { return infoHeight; }
    void SetInfoHeight(int height);

    CPropGridItem *GetRoot() { return &root; }
    CPropGridItem *GetVisibleHead() const { return visibleHead; }
    CPropGridList *GetListPane() const { return listPane; }
    CPropGridInfo *GetInfoPane() const { return infoPane; }

    // The grid's own font (the window's, inherited) and its bold cut, for the rows and
    // the description.
    const QFont &NormalFont() const { return font(); }
    const QFont &BoldFont() const { return m_boldFont; }

public: // used by the panes and the items
    // Sends a notification to the parent; returns its answer (non-zero vetoes),
    // 0 without PGS_NOTIFY or without a parent.
    qintptr Notify(int code, CPropGridItem *item, qintptr param = 0);
    // Rebuilds the visible-row chain and every row's geometry: the one place
    // where row positions, value, expand and check rectangles are computed.
    void UpdateLayout();
    // Label area of a laid-out row, list-pane client coordinates.
    QRect LabelArea(const CPropGridItem *item) const;
    // Relayout, repaint both panes and update the scroll range.
    void RefreshAll();
    void SetScrollY(int y);
    bool HasGridFocus() const;
    // Focus change of a click or a focus move: clears all marks, focuses and
    // marks `row`, scrolls it into view, notifies if the focus changed.
    void ChangeFocus(CPropGridItem *row);
    // Focus to none with a PGN_FOCUSCHANGED carrying no item.
    void DropFocus();
    void ClearAllMarks();
    void MoveAllItems();
    // Scroll extent: the root's row height plus every top-level row's total height.
    int ContentHeight() const;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void LayoutPanes();
    int PlaceRow(CPropGridItem *item, int x, int y, CPropGridItem *&tail);
    bool RemoveSubtree(CPropGridItem *item, bool notify);
    CPropGridItem *LastVisible() const;
    void Unlink(CPropGridItem *item);

    CPropGridList *listPane;
    CPropGridInfo *infoPane;
    int infoHeight = PG_INFO_HEIGHT;
    CPropGridItem root;
    CPropGridItem *visibleHead = nullptr;
    CPropGridItem *focusItem = nullptr;
    int splitterX = PG_SPLITTER_INITIAL;
    int scrollY = 0;
    int nextItemId = 1;

    quint32 m_style;
    int m_controlId;
    QFont m_boldFont;   // follows font(): set in the constructor and on every FontChange
};
