#pragma once

#include "controls/propgrid/PropGridConstants.h"

#include <QRect>
#include <QString>
#include <QVariant>

class CPropGrid;
class QPainter;

// One row of the property grid. The base kind serves for group rows; the grid
// owns every item from AddItem on and destroys it in RemoveItem.
// Geometry (posX, posY, valueRect, expandRect, checkRect) and the visible-row
// link are written by the grid's layout pass only; the row drawing reads them.
// User-interface thread only.
class CPropGridItem
{
public: // API
    CPropGridItem();
    virtual ~CPropGridItem();
    CPropGridItem(const CPropGridItem &) = delete;
    CPropGridItem &operator=(const CPropGridItem &) = delete;

    // Value drawing inside the clip of `valueRect` (list-pane client coordinates).
    virtual void DrawValue(QPainter &painter, const QRect &valueRect);
    virtual int GetRowHeight() const;
    // The base has no value: an invalid QVariant; SetValue ignores it.
    virtual QVariant GetValue() const;
    virtual void SetValue(const QVariant &value);
    virtual void OnMove();    // after a resize of the pane or a splitter move
    virtual void OnRefresh(); // after a commit, for the committed item and its subtree
    virtual void OnCommit();
    virtual void OnActivate();

    // Opens the value editor of this row.
    void Activate();
    // Closes the editor and commits its value, at most once per activation.
    void Commit();
    int GetTotalHeight() const;

    const QString &GetLabel() const { return label; }
    void SetLabel(const QString &text) { label = text; }
    const QString &GetInfo() const { return info; }
    void SetInfo(const QString &text) { info = text; }
    quint32 GetFlags() const { return flags; }
    void SetFlags(quint32 value) { flags = value; }
    bool HasFlag(quint32 bit) const { return (flags & bit) != 0; }
    void SetFlag(quint32 bit, bool on);
    void SetExpanded(bool on) { SetFlag(PGIF_EXPANDED, on); }
    void SetSelected(bool on) { SetFlag(PGIF_SELECTED, on); }
    bool IsExpanded() const { return HasFlag(PGIF_EXPANDED); }
    bool IsSelected() const { return HasFlag(PGIF_SELECTED); }
    bool IsReadOnly() const { return HasFlag(PGIF_READONLY); }
    bool IsActivated() const { return activated; }
    // A row directly below the grid's invisible root.
    bool IsTopLevel() const;

    int GetItemId() const { return itemId; }
    CPropGrid *GetOwnerTree() const { return ownerTree; }
    CPropGridItem *GetParent() const { return parent; }
    CPropGridItem *GetFirstChild() const { return firstChild; }
    CPropGridItem *GetNextSibling() const { return nextSibling; }
    CPropGridItem *GetNextVisible() const { return nextVisible; }
    int GetPosX() const { return posX; }
    int GetPosY() const { return posY; }
    const QRect &GetValueRect() const { return valueRect; }
    const QRect &GetExpandRect() const { return expandRect; }
    const QRect &GetCheckRect() const { return checkRect; }

    // Free for the owner (the panel keeps the parameter's index here).
    quint32 userData = 0;

protected:
    // Draws this row alone from its stored geometry; `inner` is the pane's
    // client area inside its frame, `hasFocus` whether the grid holds the focus.
    void DrawRow(QPainter &painter, const QRect &inner, bool hasFocus) const;

private:
    friend class CPropGrid;
    friend class CPropGridList;

    void DrawExpandButton(QPainter &painter, int top) const;
    void DrawLabel(QPainter &painter, const QRect &labelArea, bool hasFocus) const;
    void RefreshSubtree();

    CPropGrid *ownerTree = nullptr;
    QString label;
    QString info;
    int posX = 0;
    int posY = 0;
    QRect valueRect;
    int itemId = 0;
    quint32 flags = 0;
    bool activated = false;
    bool committed = false;
    QRect expandRect;
    QRect checkRect;
    CPropGridItem *parent = nullptr;
    CPropGridItem *nextSibling = nullptr;
    CPropGridItem *firstChild = nullptr;
    CPropGridItem *nextVisible = nullptr;
};

// A read-only text value.
class CPropGridItemStatic : public CPropGridItem
{
public:
    void DrawValue(QPainter &painter, const QRect &valueRect) override;
    // The value text; SetValue stores a string and ignores anything else.
    QVariant GetValue() const override;
    void SetValue(const QVariant &value) override;
    const QString &GetValueText() const { return valueText; }

private:
    QString valueText;
};
