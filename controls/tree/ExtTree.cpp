#include "controls/tree/ExtTree.h"

#include "controls/tree/ExtTreePrivate.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimerEvent>

const QEvent::Type WM_EXTTREE_CHECKBOX_CLICKED =
    CNotifyEvent::registeredType("WM_EXTTREE_CHECKBOX_CLICKED");
const QEvent::Type WM_EXTTREE_ITEM_EXPANDED = CNotifyEvent::registeredType("WM_EXTTREE_ITEM_EXPANDED");
const QEvent::Type WM_EXTTREE_DISPLAY_TOOLTIP =
    CNotifyEvent::registeredType("WM_EXTTREE_DISPLAY_TOOLTIP");
const QEvent::Type WM_EXTTREE_INIT_TOOLTIP = CNotifyEvent::registeredType("WM_EXTTREE_INIT_TOOLTIP");

// ---------------------------------------------------------------------------
// Selection model: the one door every selection change of the view passes
// through, so the parent hears of a change before the view shows it.

CExtTreeSelectionModel::CExtTreeSelectionModel(CExtTree *tree)
    : QItemSelectionModel(tree->model(), tree), m_tree(tree)
{
}

void CExtTreeSelectionModel::setCurrentIndex(const QModelIndex &index,
                                             QItemSelectionModel::SelectionFlags command)
{
    const QModelIndex row = index.siblingAtColumn(0);
    const QModelIndex old = currentIndex().siblingAtColumn(0);
    if (row != old) {
        QTreeWidgetItem *newItem = m_tree->itemFromIndex(row);
        QTreeWidgetItem *oldItem = m_tree->itemFromIndex(old);
        if (!m_tree->OnSelChanging(newItem, oldItem, true))
            return;
    }
    m_approved = row;
    QItemSelectionModel::setCurrentIndex(index, command);
}

void CExtTreeSelectionModel::select(const QItemSelection &selection,
                                    QItemSelectionModel::SelectionFlags command)
{
    // A selection of a row whose current change was refused is refused too.
    if ((command & (Select | Toggle)) && !selection.isEmpty()) {
        const QModelIndex row = selection.indexes().first().siblingAtColumn(0);
        if (row != currentIndex().siblingAtColumn(0) && row != QModelIndex(m_approved))
            return;
    }
    QItemSelectionModel::select(selection, command);
}

// ---------------------------------------------------------------------------
// Delegate: images and label are drawn by the control; the label editor is
// placed over the label, and an edited text goes to the parent only.

CExtTreeDelegate::CExtTreeDelegate(CExtTree *tree) : QStyledItemDelegate(tree), m_tree(tree) {}

void CExtTreeDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    m_tree->paintItem(painter, option, m_tree->itemFromIndex(index));
}

QSize CExtTreeDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int h = std::max({option.fontMetrics.height() + ROW_PADDING,
                            m_tree->imageList().cellSize().height(), m_tree->m_checkImageSize});
    size.setHeight(std::max(size.height(), h));
    return size;
}

QWidget *CExtTreeDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                        const QModelIndex &) const
{
    auto *editor = new QLineEdit(parent);
    editor->setFrame(true);
    editor->setPalette(QApplication::palette(editor)); // the tree's highlight is blanked
    m_editor = editor;
    return editor;
}

void CExtTreeDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    static_cast<QLineEdit *>(editor)->setText(index.data(Qt::DisplayRole).toString());
}

void CExtTreeDelegate::setModelData(QWidget *editor, QAbstractItemModel *, const QModelIndex &index) const
{
    m_tree->onEndLabelEdit(m_tree->itemFromIndex(index), static_cast<QLineEdit *>(editor)->text());
}

void CExtTreeDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &,
                                            const QModelIndex &index) const
{
    editor->setGeometry(m_tree->editBoxRect(m_tree->itemFromIndex(index)));
}

// ---------------------------------------------------------------------------

CExtTree::CExtTree(QWidget *parent, int controlId) : QTreeWidget(parent), m_controlId(controlId)
{
    setColumnCount(1);
    header()->hide();
    header()->setStretchLastSection(true);
    setUniformRowHeights(true);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setExpandsOnDoubleClick(false); // the control's own double-click rule expands
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    setSelectionModel(new CExtTreeSelectionModel(this));
    m_delegate = new CExtTreeDelegate(this);
    setItemDelegate(m_delegate);
    readSystemColours();
    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem *item) { onPlatformExpansion(item, true); });
    connect(this, &QTreeWidget::itemCollapsed, this,
            [this](QTreeWidgetItem *item) { onPlatformExpansion(item, false); });
}

CExtTree::~CExtTree()
{
    deleteToolTip();
    m_busy = true; // the view's teardown must not reach records or the parent
    m_itemData.clear();
}

void CExtTree::SetImageList(const CTreeImageList &images)
{
    m_images = images;
    scheduleDelayedItemsLayout();
    viewport()->update();
}

void CExtTree::Initialize(const CTreeImageList &images)
{
    SetImageList(images);
    Initialize();
}

void CExtTree::Initialize()
{
    m_busy = true;
    DeleteAllItems();
    deleteToolTip();
    m_stateImages.clear();
    m_checkBoxes = false;
    m_toolTipsEnabled = true;
    m_smartCheck = false;
    m_selectOnCheck = true;
    m_checkImageSize = DEFAULT_CHECK_IMAGE_SIZE;
    m_firstPaint = true;
    m_hotCheckItem = nullptr;
    readSystemColours();
    createToolTip();
    if (m_checkBoxes)
        BuildCheckImages();
    m_busy = false;
    viewport()->update();
}

bool CExtTree::DeleteAllItems()
{
    CollapseAll();
    const bool wasBusy = m_busy;
    m_busy = true;
    const bool had = topLevelItemCount() > 0;
    clear();
    m_itemData.clear();
    // Item addresses are reused by later insertions: a remembered pointer to a
    // deleted item would swallow the first notification of a new one.
    m_lastNotifiedItem = nullptr;
    m_hotCheckItem = nullptr;
    m_busy = wasBusy;
    return had || topLevelItemCount() == 0;
}

void CExtTree::forgetRecords(QTreeWidgetItem *item)
{
    for (int i = 0; i < item->childCount(); ++i)
        forgetRecords(item->child(i));
    m_itemData.erase(item);
    if (m_lastNotifiedItem == item)
        m_lastNotifiedItem = nullptr;
    if (m_hotCheckItem == item)
        m_hotCheckItem = nullptr;
}

void CExtTree::DeleteItem(QTreeWidgetItem *item)
{
    if (!item || item->treeWidget() != this)
        return;
    forgetRecords(item);
    delete item;
}

QTreeWidgetItem *CExtTree::InsertItem(const TVINSERTITEM &insert)
{
    auto record = std::make_unique<EXTTREEDATA>();
    int image = insert.image;
    int selectedImage = insert.selectedImage;
    if (!m_hasImages)
        image = selectedImage = NO_IMAGE;
    int state = (record->isChecked && m_checkBoxes) ? 2 : 1;
    if (!record->enabled)
        state += CHECK_DISABLED_OFFSET;

    if (insert.parent && insert.parent->treeWidget() != this)
        return nullptr;
    auto *item = new QTreeWidgetItem;
    item->setText(0, insert.text);
    item->setData(0, ImageRole, image);
    item->setData(0, SelectedImageRole, selectedImage);
    item->setData(0, StateImageRole, state);
    item->setData(0, ItemDataRole, QVariant::fromValue<quintptr>(insert.data));
    item->setFlags(item->flags() | Qt::ItemIsEditable);

    QTreeWidgetItem *parent = insert.parent;
    const int count = parent ? parent->childCount() : topLevelItemCount();
    int pos = count;
    if (insert.first) {
        pos = 0;
    } else if (insert.insertAfter) {
        const int after = parent ? parent->indexOfChild(insert.insertAfter)
                                 : indexOfTopLevelItem(insert.insertAfter);
        if (after >= 0)
            pos = after + 1;
    }
    if (parent)
        parent->insertChild(pos, item);
    else
        insertTopLevelItem(pos, item);

    m_itemData[item] = std::move(record);
    if (m_smartCheck)
        smartCheckInsert(item);
    return item;
}

QTreeWidgetItem *CExtTree::InsertItem(const QString &text, int image, int selectedImage,
                                      QTreeWidgetItem *parent)
{
    TVINSERTITEM insert;
    insert.parent = parent;
    insert.text = text;
    insert.image = image;
    insert.selectedImage = selectedImage;
    return InsertItem(insert);
}

EXTTREEDATA *CExtTree::GetItemRecord(QTreeWidgetItem *item) const
{
    if (!item || m_busy)
        return nullptr;
    const auto it = m_itemData.find(item);
    return it == m_itemData.end() ? nullptr : it->second.get();
}

QString CExtTree::GetItemText(QTreeWidgetItem *item) const
{
    return item ? item->text(0) : QString();
}

void CExtTree::SetItemData(QTreeWidgetItem *item, quintptr data)
{
    if (item)
        item->setData(0, ItemDataRole, QVariant::fromValue<quintptr>(data));
}

quintptr CExtTree::GetItemData(QTreeWidgetItem *item) const
{
    return item ? item->data(0, ItemDataRole).value<quintptr>() : 0;
}

void CExtTree::SetItemEnabled(QTreeWidgetItem *item, bool enabled)
{
    if (EXTTREEDATA *rec = GetItemRecord(item)) {
        rec->enabled = enabled ? 1 : 0;
        setStateImage(item, m_checkBoxes ? GetCheckImageIndex(item) : GetStateImage(item));
        updateRow(item);
    }
}

void CExtTree::SetItemSeparator(QTreeWidgetItem *item, bool separator)
{
    if (EXTTREEDATA *rec = GetItemRecord(item)) {
        rec->separator = separator ? 1 : 0;
        setStateImage(item, separator ? 0 : GetCheckImageIndex(item));
        updateRow(item);
    }
}

void CExtTree::SetItemColours(QTreeWidgetItem *item, QColor text, QColor back, QColor textBack)
{
    if (EXTTREEDATA *rec = GetItemRecord(item)) {
        rec->textColour = text;
        rec->backColour = back;
        rec->textBackColour = textBack;
        updateRow(item);
    }
}

void CExtTree::SetItemFont(QTreeWidgetItem *item, bool bold, bool italic, bool underline,
                           bool strikeOut)
{
    if (EXTTREEDATA *rec = GetItemRecord(item)) {
        rec->bold = bold;
        rec->italic = italic;
        rec->underline = underline;
        rec->strikeOut = strikeOut;
        updateRow(item);
    }
}

// ---------------------------------------------------------------------------
// Notifications

qintptr CExtTree::notifyParent(int code, QTreeWidgetItem *item, QTreeWidgetItem *oldItem,
                               const QString &text)
{
    CNotifyEvent ev(CNotifyEvent::notifyType(), this, m_controlId, code, item, oldItem);
    ev.text = text;
    return SendNotify(parentWidget(), ev);
}

qintptr CExtTree::sendRegistered(QEvent::Type type, QTreeWidgetItem *item, qintptr param)
{
    CNotifyEvent ev(type, this, m_controlId, 0, item, nullptr, param);
    return SendNotify(parentWidget(), ev);
}

// ---------------------------------------------------------------------------
// Selection

QTreeWidgetItem *CExtTree::GetSelectedItem() const
{
    return currentItem();
}

void CExtTree::selectOnPlatform(QTreeWidgetItem *item)
{
    if (!item)
        return;
    selectionModel()->setCurrentIndex(indexFromItem(item),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

bool CExtTree::SelectItem(QTreeWidgetItem *item)
{
    QTreeWidgetItem *selected = GetSelectedItem();
    if (item && item == selected)
        return true;
    const EXTTREEDATA *rec = GetItemRecord(item);
    if (rec && rec->enabled) {
        // The parent hears of the change first; the same notification passes
        // the filter, so the view's own one that follows is swallowed.
        if (OnSelChanging(item, nullptr, false)) {
            selectOnPlatform(item);
            return GetSelectedItem() == item;
        }
        return false;
    }
    selectOnPlatform(selected);
    return false;
}

bool CExtTree::OnSelChanging(QTreeWidgetItem *newItem, QTreeWidgetItem *oldItem, bool byView)
{
    if (m_busy) {
        // Bulk operations move the view's selection without telling anyone.
        m_lastNotifiedItem = nullptr;
        return true;
    }
    const EXTTREEDATA *rec = GetItemRecord(newItem);
    if (rec && !rec->enabled)
        return false;
    // Every change the view makes is announced as "changing" and may be
    // refused, also the one that follows SelectItem's own "changed".
    if (byView && notifyParent(TVN_SELCHANGING, newItem, oldItem) != 0)
        return false;
    if (newItem == m_lastNotifiedItem)
        return true;
    m_lastNotifiedItem = newItem;
    notifyParent(TVN_SELCHANGED, newItem, oldItem);
    return true;
}

// ---------------------------------------------------------------------------
// Expansion

void CExtTree::setExpandedFlag(QTreeWidgetItem *item, int expanded)
{
    EXTTREEDATA *rec = GetItemRecord(item);
    if (!rec || rec->expanded == expanded)
        return;
    rec->expanded = expanded;
    sendRegistered(WM_EXTTREE_ITEM_EXPANDED, item, expanded);
}

void CExtTree::onPlatformExpansion(QTreeWidgetItem *item, bool expanded)
{
    // The view expands on its own too (Left/Right with no smart check, its
    // keyboard search); keep the record true to the screen. A disabled item's
    // record stays as it is: the user cannot expand it, and what the view
    // does to it (ExpandBranch, Expand) is no change the parent hears of.
    const EXTTREEDATA *rec = GetItemRecord(item);
    if (rec && rec->enabled)
        setExpandedFlag(item, expanded ? 1 : 0);
}

void CExtTree::platformExpand(QTreeWidgetItem *item, int action)
{
    switch (action) {
    case TVE_EXPAND:
        item->setExpanded(true);
        break;
    case TVE_TOGGLE:
        item->setExpanded(!item->isExpanded());
        break;
    case TVE_COLLAPSE:
        item->setExpanded(false);
        break;
    case TVE_COLLAPSE | TVE_COLLAPSERESET:
    case TVE_COLLAPSERESET:
        item->setExpanded(false);
        while (item->childCount() > 0)
            DeleteItem(item->child(0));
        break;
    default:
        break;
    }
}

bool CExtTree::Expand(QTreeWidgetItem *item, int action)
{
    if (!item)
        return false;
    EXTTREEDATA *rec = GetItemRecord(item);
    if (item->childCount() > 0 && rec && rec->enabled) {
        int expanded = rec->expanded;
        if (action == TVE_EXPAND)
            expanded = 1;
        else if (action == TVE_TOGGLE)
            expanded = !rec->expanded;
        else if (action & (TVE_COLLAPSE | TVE_COLLAPSERESET))
            expanded = 0;
        setExpandedFlag(item, expanded);
    }
    platformExpand(item, action);
    return true;
}

void CExtTree::ExpandBranch(QTreeWidgetItem *item)
{
    if (!item || item->childCount() == 0)
        return;
    EXTTREEDATA *rec = GetItemRecord(item);
    if (rec && rec->enabled)
        setExpandedFlag(item, 1);
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i)
        ExpandBranch(item->child(i));
}

void CExtTree::CollapseBranch(QTreeWidgetItem *item)
{
    if (!item || item->childCount() == 0)
        return;
    Expand(item, TVE_COLLAPSE);
    for (int i = 0; i < item->childCount(); ++i)
        CollapseBranch(item->child(i));
}

void CExtTree::CollapseAll()
{
    for (int i = 0; i < topLevelItemCount(); ++i)
        CollapseBranch(topLevelItem(i));
    SelectItem(topLevelItem(0));
    horizontalScrollBar()->setValue(0);
    viewport()->update();
}

// ---------------------------------------------------------------------------
// Keyboard

void CExtTree::keyPressEvent(QKeyEvent *e)
{
    if (handleKey(e)) {
        e->accept();
        return;
    }
    const bool keypad = e->modifiers() & Qt::KeypadModifier;
    const int key = e->key();
    if (!keypad && (key == Qt::Key_Plus || key == Qt::Key_Minus || key == Qt::Key_Asterisk)) {
        // The view would expand on the main keyboard's signs too; only the
        // numeric pad expands, the signs typed elsewhere are a keyboard search.
        QAbstractItemView::keyPressEvent(e);
        return;
    }
    QTreeWidget::keyPressEvent(e);
}

bool CExtTree::handleKey(QKeyEvent *e)
{
    QTreeWidgetItem *selected = GetSelectedItem();
    const bool keypad = e->modifiers() & Qt::KeypadModifier;
    switch (e->key()) {
    case Qt::Key_Space: {
        if (!m_checkBoxes || m_readOnly)
            return false;
        const EXTTREEDATA *rec = GetItemRecord(selected);
        if (rec && !rec->separator)
            SetCheck(selected, rec->isChecked ? 0 : 1);
        return true;
    }
    case Qt::Key_Right:
    case Qt::Key_Left: {
        const EXTTREEDATA *rec = GetItemRecord(selected);
        const int wanted = e->key() == Qt::Key_Right ? 1 : 0;
        if (rec && rec->enabled && rec->descendantCount != 0 && rec->expanded != wanted) {
            Expand(selected, wanted ? TVE_EXPAND : TVE_COLLAPSE);
            return true;
        }
        return false;
    }
    case Qt::Key_Down:
    case Qt::Key_Up: {
        const bool down = e->key() == Qt::Key_Down;
        for (QTreeWidgetItem *it = selected ? (down ? itemBelow(selected) : itemAbove(selected)) : nullptr;
             it; it = down ? itemBelow(it) : itemAbove(it)) {
            const EXTTREEDATA *rec = GetItemRecord(it);
            if (rec && rec->enabled) {
                SelectItem(it);
                scrollToItem(it);
                return true;
            }
        }
        return false;
    }
    case Qt::Key_Asterisk:
        if (!keypad || !selected)
            return false;
        ExpandBranch(selected);
        scrollToItem(selected);
        horizontalScrollBar()->setValue(0);
        return true;
    case Qt::Key_Plus:
    case Qt::Key_Minus:
        if (!keypad || !selected)
            return false;
        Expand(selected, e->key() == Qt::Key_Plus ? TVE_EXPAND : TVE_COLLAPSE);
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// Mouse

void CExtTree::startTimerId(int id)
{
    int &qtId = id == TIMER_HOVER ? m_hoverTimer : m_labelEditTimer;
    if (qtId)
        killTimer(qtId);
    qtId = startTimer(id == TIMER_HOVER ? HOVER_INTERVAL_MS : LABELEDIT_INTERVAL_MS);
}

void CExtTree::stopTimerId(int id)
{
    int &qtId = id == TIMER_HOVER ? m_hoverTimer : m_labelEditTimer;
    if (qtId)
        killTimer(qtId);
    qtId = 0;
}

void CExtTree::mousePressEvent(QMouseEvent *e)
{
    // Only the left button selects or expands; the view would select on any
    // button (and so rebuild the parent's panel on a right click).
    if (e->button() != Qt::LeftButton || handleLeftPress(e))
        e->accept();
    else
        QTreeWidget::mousePressEvent(e);
}

bool CExtTree::handleLeftPress(QMouseEvent *e)
{
    unsigned flags = 0;
    QTreeWidgetItem *item = HitTest(e->position().toPoint(), &flags);
    setFocus(Qt::MouseFocusReason);
    if (!item)
        return false;
    EXTTREEDATA *rec = GetItemRecord(item);
    if (flags & TVHT_ONITEMBUTTON) {
        closeLabelEditor();
        if (rec && !rec->enabled)
            return true;
        if (rec && item->childCount() > 0) {
            Expand(item, rec->expanded ? TVE_COLLAPSE : TVE_EXPAND);
            return true;
        }
        return false;
    }
    if (flags & TVHT_ONITEMSTATEICON)
        return handleCheckClick(item);
    if (rec && !rec->enabled)
        return true; // clicks on disabled items are swallowed
    if (flags & TVHT_ONITEM) {
        if (rec && rec->separator) {
            if (item != GetSelectedItem())
                SelectItem(item);
            startTimerId(TIMER_LABELEDIT);
            return true;
        }
        if (item == GetSelectedItem()) {
            startTimerId(TIMER_LABELEDIT);
            notifyParent(NM_CLICK, item);
            return true;
        }
        QTreeWidget::mousePressEvent(e);
        notifyParent(NM_CLICK, item);
        return true;
    }
    // Beside the label (indent, right of the text) nothing is selected.
    return true;
}

bool CExtTree::handleCheckClick(QTreeWidgetItem *item)
{
    EXTTREEDATA *rec = GetItemRecord(item);
    if (!rec)
        return false;
    if (rec->separator || !rec->enabled || m_readOnly)
        return true;
    SetCheck(item, rec->isChecked ? 0 : 1);
    if (m_selectOnCheck)
        SelectItem(item);
    const int index = GetCheckImageIndex(item);
    if (index > 0 && index < CHECK_HOT_OFFSET) {
        setStateImage(item, index + CHECK_HOT_OFFSET);
        m_hotCheckItem = item;
        startTimerId(TIMER_HOVER);
    }
    notifyParent(NM_CLICK, item);
    return true;
}

void CExtTree::mouseDoubleClickEvent(QMouseEvent *e)
{
    unsigned flags = 0;
    QTreeWidgetItem *item = HitTest(e->position().toPoint(), &flags);
    EXTTREEDATA *rec = GetItemRecord(item);
    if (e->button() == Qt::LeftButton && rec && (flags & (TVHT_ONITEM | TVHT_ONITEMBUTTON))) {
        if (!rec->enabled) {
            e->accept();
            return;
        }
        notifyParent(NM_DBLCLK, item);
        if (item->childCount() > 0)
            Expand(item, TVE_TOGGLE);
        e->accept();
        return;
    }
    QTreeWidget::mouseDoubleClickEvent(e);
}

void CExtTree::mouseMoveEvent(QMouseEvent *e)
{
    updateHot(e->position().toPoint());
    // The selection moves on the press only: the view's drag-select, which
    // makes each row passed over current, stays out.
    if (e->buttons() == Qt::NoButton)
        QTreeWidget::mouseMoveEvent(e);
}

void CExtTree::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_labelEditTimer && m_labelEditTimer)
        onLabelEditTick();
    else if (e->timerId() == m_hoverTimer && m_hoverTimer)
        onHoverTick();
    QTreeWidget::timerEvent(e);
}

void CExtTree::onLabelEditTick()
{
    const Qt::MouseButton primary = Qt::LeftButton;
    if (QGuiApplication::mouseButtons() & primary)
        return;
    stopTimerId(TIMER_LABELEDIT);
    const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
    QTreeWidgetItem *item = rowAt(pos.y());
    const EXTTREEDATA *rec = GetItemRecord(item);
    if (!item || item != GetSelectedItem() || (rec && rec->separator))
        return;
    if (textRect(item).contains(pos))
        editItem(item, 0);
    else
        closeLabelEditor();
}

void CExtTree::closeLabelEditor()
{
    if (m_delegate->m_editor)
        closeEditor(m_delegate->m_editor, QAbstractItemDelegate::NoHint);
}

// ---------------------------------------------------------------------------
// Label editing

bool CExtTree::edit(const QModelIndex &index, EditTrigger trigger, QEvent *e)
{
    if (trigger == QAbstractItemView::AllEditTriggers && state() != EditingState) {
        QTreeWidgetItem *item = itemFromIndex(index);
        const EXTTREEDATA *rec = GetItemRecord(item);
        if (!item || (rec && rec->separator) || m_readOnly)
            return false;
        m_savedScrollPos = horizontalScrollBar()->value();
        if (notifyParent(TVN_BEGINLABELEDIT, item) != 0)
            return false;
    }
    return QTreeWidget::edit(index, trigger, e);
}

void CExtTree::onEndLabelEdit(QTreeWidgetItem *item, const QString &text)
{
    if (m_savedScrollPos == 0 && horizontalScrollBar()->value() != 0)
        horizontalScrollBar()->setValue(0);
    // The control never keeps an edited text itself; a parent that answers
    // nonzero accepts it.
    if (item && notifyParent(TVN_ENDLABELEDIT, item, nullptr, text) != 0)
        item->setText(0, text);
}

// ---------------------------------------------------------------------------

bool CExtTree::event(QEvent *e)
{
    if (e->type() == QEvent::PaletteChange || e->type() == QEvent::StyleChange
        || e->type() == QEvent::ApplicationPaletteChange) {
        readSystemColours();
        viewport()->update();
    }
    return QTreeWidget::event(e);
}

void CExtTree::resizeEvent(QResizeEvent *e)
{
    m_firstPaint = true;
    QTreeWidget::resizeEvent(e);
}

// ---------------------------------------------------------------------------
// Find

QTreeWidgetItem *CExtTree::lastItem() const
{
    QTreeWidgetItem *item = topLevelItemCount() ? topLevelItem(topLevelItemCount() - 1) : nullptr;
    while (item && item->childCount() > 0)
        item = item->child(item->childCount() - 1);
    return item;
}

QTreeWidgetItem *CExtTree::nextPreOrder(QTreeWidgetItem *item, bool down) const
{
    if (!item)
        return nullptr;
    auto siblingOf = [this](QTreeWidgetItem *it, int offset) -> QTreeWidgetItem * {
        QTreeWidgetItem *parent = it->parent();
        const int i = (parent ? parent->indexOfChild(it) : indexOfTopLevelItem(it)) + offset;
        const int n = parent ? parent->childCount() : topLevelItemCount();
        if (i < 0 || i >= n)
            return nullptr;
        return parent ? parent->child(i) : topLevelItem(i);
    };
    if (down) {
        if (item->childCount() > 0)
            return item->child(0);
        for (QTreeWidgetItem *it = item; it; it = it->parent())
            if (QTreeWidgetItem *next = siblingOf(it, 1))
                return next;
        return nullptr;
    }
    if (QTreeWidgetItem *prev = siblingOf(item, -1)) {
        while (prev->childCount() > 0)
            prev = prev->child(prev->childCount() - 1);
        return prev;
    }
    return item->parent();
}

static bool isWordChar(QChar c)
{
    return (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || c == QLatin1Char('_');
}

static bool textMatches(const QString &itemText, const QString &wanted, bool matchCase, bool wholeWord)
{
    const QString hay = matchCase ? itemText : itemText.toLower();
    const QString needle = matchCase ? wanted : wanted.toLower();
    for (qsizetype at = hay.indexOf(needle); at >= 0; at = hay.indexOf(needle, at + 1)) {
        if (!wholeWord)
            return true;
        const qsizetype end = at + needle.size();
        const bool before = at > 0 && isWordChar(hay.at(at - 1));
        const bool after = end < hay.size() && isWordChar(hay.at(end));
        if (!before && !after)
            return true;
    }
    return false;
}

QTreeWidgetItem *CExtTree::FindItem(const QString &text, bool matchCase, bool searchDown,
                                    bool wholeWord, bool wrap, QTreeWidgetItem *start)
{
    if (text.isEmpty())
        return nullptr;
    if (!start)
        start = GetSelectedItem();
    QTreeWidgetItem *firstEnd = searchDown ? (topLevelItemCount() ? topLevelItem(0) : nullptr) : lastItem();
    auto test = [&](QTreeWidgetItem *it) {
        return textMatches(GetItemText(it), text, matchCase, wholeWord) && AcceptFindMatch(it);
    };
    if (!start) {
        for (QTreeWidgetItem *it = firstEnd; it; it = nextPreOrder(it, searchDown))
            if (test(it))
                return it;
        return nullptr;
    }
    // A first step off the end starts over at the other end, wrap or not.
    QTreeWidgetItem *it = nextPreOrder(start, searchDown);
    if (!it)
        it = firstEnd;
    while (it && it != start) {
        if (test(it))
            return it;
        it = nextPreOrder(it, searchDown);
        if (!it && wrap)
            it = firstEnd;
    }
    return nullptr;
}

bool CExtTree::AcceptFindMatch(QTreeWidgetItem *)
{
    return true;
}
