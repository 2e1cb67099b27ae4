#pragma once

#include "controls/common/NotifyEvent.h"
#include "controls/tree/TreeImageList.h"

#include <QColor>
#include <QEvent>
#include <QTreeWidget>
#include <memory>
#include <unordered_map>

class QLabel;
class QStyleOptionViewItem;
class CExtTreeDelegate;
class CExtTreeSelectionModel;

// Image index meaning "this item has no image" (not -1 or -2, which the
// platform tree reserves).
constexpr int NO_IMAGE = 65534;

// The tree's notification codes, sent to the parent with CNotifyEvent::notifyType() (beside
// NM_CLICK and NM_DBLCLK, which every control shares).
constexpr int TVN_SELCHANGING = -450;
constexpr int TVN_SELCHANGED = -451;
constexpr int TVN_BEGINLABELEDIT = -459;
constexpr int TVN_ENDLABELEDIT = -460;

// Expand actions.
constexpr int TVE_COLLAPSE = 0x0001;
constexpr int TVE_EXPAND = 0x0002;
constexpr int TVE_TOGGLE = 0x0003;
constexpr int TVE_COLLAPSERESET = 0x8000;

// Hit-test flags of CExtTree::HitTest.
constexpr unsigned TVHT_NOWHERE = 0x0001;
constexpr unsigned TVHT_ONITEMICON = 0x0002;
constexpr unsigned TVHT_ONITEMLABEL = 0x0004;
constexpr unsigned TVHT_ONITEMINDENT = 0x0008;
constexpr unsigned TVHT_ONITEMBUTTON = 0x0010;
constexpr unsigned TVHT_ONITEMRIGHT = 0x0020;
constexpr unsigned TVHT_ONITEMSTATEICON = 0x0040;
constexpr unsigned TVHT_ONITEM = TVHT_ONITEMICON | TVHT_ONITEMLABEL | TVHT_ONITEMSTATEICON;

// The four registered messages sent to the parent (type registered once per
// process by name). The event's item is the tree item (or null), its param the
// message's second parameter.
extern const QEvent::Type WM_EXTTREE_CHECKBOX_CLICKED; // param: new check value
extern const QEvent::Type WM_EXTTREE_ITEM_EXPANDED;    // param: new expanded value
extern const QEvent::Type WM_EXTTREE_DISPLAY_TOOLTIP;  // param: the tip widget; result != 0 = no tip
extern const QEvent::Type WM_EXTTREE_INIT_TOOLTIP;     // param: the tip widget

// The control's own record of one item, created by InsertItem.
struct EXTTREEDATA
{
    virtual ~EXTTREEDATA() = default;

    int isChecked = 0;
    int enabled = 1;
    int separator = 0;
    int expanded = 0;
    int descendantCount = 0;
    int checkedDescendantCount = 0;
    QColor textColour;     // invalid = control default
    QColor backColour;     // invalid = control window colour
    QColor textBackColour; // invalid = same as the row background
    int bold = 0;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    int textRight = 0; // viewport x of the right edge of the text as last drawn
};

// The platform insert description of InsertItem's full form.
struct TVINSERTITEM
{
    QTreeWidgetItem *parent = nullptr;      // null = root level
    QTreeWidgetItem *insertAfter = nullptr; // null = last
    bool first = false;                     // insert as first child instead
    QString text;
    int image = 0;
    int selectedImage = 0;
    quintptr data = 0;
};

// The command tree: a QTreeWidget with a record per item, label drawing of
// its own, optional tri-state check boxes, tooltips for texts that do not fit,
// and selection, expansion, keyboard and mouse rules of its own. Notifications
// go to parentWidget() as CNotifyEvents through sendEvent. User-interface
// thread only.
class CExtTree : public QTreeWidget
{
    Q_OBJECT

public: // item data roles
    static constexpr int ItemDataRole = Qt::UserRole;
    static constexpr int ImageRole = Qt::UserRole + 1;
    static constexpr int SelectedImageRole = Qt::UserRole + 2;
    static constexpr int StateImageRole = Qt::UserRole + 3;

    // Timer ids (mapped to Qt's timer ids).
    static constexpr int TIMER_HOVER = 1;
    static constexpr int TIMER_LABELEDIT = 2;
    static constexpr int HOVER_INTERVAL_MS = 100;
    static constexpr int LABELEDIT_INTERVAL_MS = 100;

    // Tooltip limits.
    static constexpr int TIP_FIRST_TOOL_ID = 10000;
    static constexpr int TIP_MAX_CHARS = 78;
    static constexpr int TIP_EDGE_SLACK = 3;
    static constexpr int TIP_FALLBACK_WIDTH = 200;

    // Check box strip.
    static constexpr int CHECK_CELL_COUNT = 17;
    static constexpr int CHECK_DISABLED_OFFSET = 4;
    static constexpr int CHECK_HOT_OFFSET = 8;

public:
    explicit CExtTree(QWidget *parent = nullptr, int controlId = 0);
    ~CExtTree() override;

    int controlId() const { return m_controlId; }
    void setControlId(int id) { m_controlId = id; }

    // The normal image list; image 0's width is the "image width" of the label geometry.
    void SetImageList(const CTreeImageList &images);
    const CTreeImageList &imageList() const { return m_images; }

    // Resets the control: all items and records gone, tooltips on, check boxes off.
    void Initialize();
    // SetImageList followed by Initialize.
    void Initialize(const CTreeImageList &images);

    bool DeleteAllItems();
    // Removes one item and its subtree together with their records.
    void DeleteItem(QTreeWidgetItem *item);
    QTreeWidgetItem *InsertItem(const TVINSERTITEM &insert);
    QTreeWidgetItem *InsertItem(const QString &text, int image, int selectedImage,
                                QTreeWidgetItem *parent = nullptr);

    bool SelectItem(QTreeWidgetItem *item);
    QTreeWidgetItem *GetSelectedItem() const;
    bool Expand(QTreeWidgetItem *item, int action);
    void ExpandBranch(QTreeWidgetItem *item);
    void CollapseBranch(QTreeWidgetItem *item);
    void CollapseAll();
    QString GetItemText(QTreeWidgetItem *item) const;
    void SetItemData(QTreeWidgetItem *item, quintptr data);
    quintptr GetItemData(QTreeWidgetItem *item) const;

    virtual QTreeWidgetItem *FindItem(const QString &text, bool matchCase, bool searchDown,
                                      bool wholeWord, bool wrap, QTreeWidgetItem *start);
    virtual bool AcceptFindMatch(QTreeWidgetItem *item);

    // The record of an item, or null (null item, busy, or no record).
    EXTTREEDATA *GetItemRecord(QTreeWidgetItem *item) const;
    bool busy() const { return m_busy; }
    bool hasImages() const { return m_hasImages; }

    // Setters the system itself never uses.
    void SetItemEnabled(QTreeWidgetItem *item, bool enabled);
    void SetItemSeparator(QTreeWidgetItem *item, bool separator);
    void SetItemColours(QTreeWidgetItem *item, QColor text, QColor back, QColor textBack);
    void SetItemFont(QTreeWidgetItem *item, bool bold, bool italic, bool underline, bool strikeOut);
    void SetReadOnly(bool readOnly) { m_readOnly = readOnly; }
    void SetSmartCheck(bool smartCheck) { m_smartCheck = smartCheck; }
    void SetSelectOnCheck(bool selectOnCheck) { m_selectOnCheck = selectOnCheck; }
    void SetDefaultTipWidth(int width) { m_defaultTipWidth = width; }
    // Stands for attaching to a tree that has the check-box style: switches
    // check boxes on (building the images) or off.
    void SetCheckBoxes(bool on);
    bool checkBoxes() const { return m_checkBoxes; }
    // The "themed" look draws the boxes with the current QStyle; off = classic plain boxes.
    void SetThemedChecks(bool themed) { m_themedChecks = themed; }

public: // check boxes
    int GetCheckImageIndex(QTreeWidgetItem *item) const;
    void SetCheck(QTreeWidgetItem *item, int value);
    bool BuildCheckImages();
    const CTreeImageList &stateImages() const { return m_stateImages; }
    int GetStateImage(QTreeWidgetItem *item) const;
    QTreeWidgetItem *hotCheckItem() const { return m_hotCheckItem; }

public: // tooltips
    int ComputeTipWidth() const;
    bool GetTipText(QPoint viewportPos, QString &text);
    virtual bool OnToolTipText(QPoint viewportPos, QString &text);
    int toolCount() const { return int(m_toolStrips.size()); }
    QRect toolStrip(int toolId) const;
    QLabel *toolTipWidget() const { return m_toolTip; }

public: // geometry, in viewport coordinates; every handler and the painter ask here
    QTreeWidgetItem *rowAt(int y) const;
    QRect rowRect(QTreeWidgetItem *item) const;
    QRect buttonRect(QTreeWidgetItem *item) const;
    QRect stateRect(QTreeWidgetItem *item) const;
    QRect iconRect(QTreeWidgetItem *item) const;
    QRect labelRect(QTreeWidgetItem *item) const; // right edge = row right
    QRect textRect(QTreeWidgetItem *item) const;  // right edge = textRight
    QRect editBoxRect(QTreeWidgetItem *item) const;
    int imageWidth() const;
    QTreeWidgetItem *HitTest(QPoint pos, unsigned *flags = nullptr) const;

    QColor windowColour() const { return m_windowColour; }
    QColor windowTextColour() const { return m_windowTextColour; }
    QColor disabledTextColour() const { return m_disabledTextColour; }
    QColor selectionColour() const { return m_selectionColour; }
    QColor selectionTextColour() const { return m_selectionTextColour; }
    // The selection while the tree has not the focus (InactiveSelection).
    QColor inactiveSelectionColour() const { return m_inactiveSelectionColour; }
    QColor inactiveSelectionTextColour() const { return m_inactiveSelectionTextColour; }
    QColor separatorColour() const { return m_separatorColour; }

protected:
    bool event(QEvent *e) override;
    bool viewportEvent(QEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void timerEvent(QTimerEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void drawRow(QPainter *painter, const QStyleOptionViewItem &option,
                 const QModelIndex &index) const override;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *e) override;

private:
    friend class CExtTreeDelegate;
    friend class CExtTreeSelectionModel;

    // selection
    // byView: the view moves its selection (else SelectItem announces its own)
    bool OnSelChanging(QTreeWidgetItem *newItem, QTreeWidgetItem *oldItem, bool byView);
    void selectOnPlatform(QTreeWidgetItem *item);
    // notifications
    qintptr notifyParent(int code, QTreeWidgetItem *item, QTreeWidgetItem *oldItem = nullptr,
                         const QString &text = QString());
    qintptr sendRegistered(QEvent::Type type, QTreeWidgetItem *item, qintptr param);
    void setExpandedFlag(QTreeWidgetItem *item, int expanded);
    void onPlatformExpansion(QTreeWidgetItem *item, bool expanded);
    void platformExpand(QTreeWidgetItem *item, int action);
    // keyboard
    bool handleKey(QKeyEvent *e);
    // mouse
    bool handleLeftPress(QMouseEvent *e);
    bool handleCheckClick(QTreeWidgetItem *item);
    void onLabelEditTick();
    void onHoverTick();
    void updateHot(QPoint pos);
    // label editing, driven by the delegate
    void onEndLabelEdit(QTreeWidgetItem *item, const QString &text);
    void closeLabelEditor();
    // drawing
    void paintItem(QPainter *painter, const QStyleOptionViewItem &option, QTreeWidgetItem *item);
    void firstPaintSetup();
    int drawItemText(QPainter *painter, QTreeWidgetItem *item, const QRect &rect, QColor text,
                     QColor textBack, QColor rowBack);
    int drawSeparator(QPainter *painter, QTreeWidgetItem *item, const QRect &rect, QColor line,
                      QColor rowBack);
    void readSystemColours();
    void updateRow(QTreeWidgetItem *item);
    // check boxes
    void setStateImage(QTreeWidgetItem *item, int index);
    void applyCheckDown(QTreeWidgetItem *item, int value);
    void updateAncestors(QTreeWidgetItem *item, int delta);
    void smartCheckInsert(QTreeWidgetItem *item);
    QPixmap drawCheckStrip(int cell) const;
    // tooltips
    void LayoutToolStrips();
    void createToolTip();
    void deleteToolTip();
    // find
    QTreeWidgetItem *nextPreOrder(QTreeWidgetItem *item, bool down) const;
    QTreeWidgetItem *lastItem() const;
    void forgetRecords(QTreeWidgetItem *item);
    void startTimerId(int id);
    void stopTimerId(int id);

    int m_controlId = 0;
    std::unordered_map<QTreeWidgetItem *, std::unique_ptr<EXTTREEDATA>> m_itemData;
    bool m_readOnly = false;
    bool m_smartCheck = false;
    bool m_checkBoxes = false;
    bool m_selectOnCheck = true;
    bool m_toolTipsEnabled = false;
    bool m_hasImages = true;
    bool m_busy = false;
    bool m_firstPaint = true;
    bool m_themedChecks = true;
    QTreeWidgetItem *m_hotCheckItem = nullptr;
    QTreeWidgetItem *m_lastNotifiedItem = nullptr;
    int m_checkImageSize = 16;
    QList<QRect> m_toolStrips; // tool id TIP_FIRST_TOOL_ID + i covers m_toolStrips[i]
    int m_defaultTipWidth = 0;
    CTreeImageList m_stateImages;
    CTreeImageList m_images;
    int m_savedScrollPos = 0;
    QLabel *m_toolTip = nullptr;
    QTreeWidgetItem *m_tipItem = nullptr; // item whose text the shown tip carries
    QColor m_windowColour, m_windowTextColour, m_disabledTextColour, m_selectionColour,
        m_selectionTextColour, m_separatorColour, m_inactiveSelectionColour, m_inactiveSelectionTextColour;
    int m_hoverTimer = 0;     // Qt's id of TIMER_HOVER, 0 = stopped
    int m_labelEditTimer = 0; // Qt's id of TIMER_LABELEDIT, 0 = stopped
    CExtTreeDelegate *m_delegate = nullptr;
};
