#pragma once

// Helpers of CExtTree that nobody else uses.

#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStyledItemDelegate>

class CExtTree;

// Layout constants of the tree's rows, in pixels.
constexpr int ROW_PADDING = 2;            // added to the font height for a row
constexpr int STATE_GAP = 1;              // between cell start and check box
constexpr int LABEL_GAP = 3;              // between image and label
constexpr int DEFAULT_CHECK_IMAGE_SIZE = 16;
constexpr int EDIT_BOX_GROW = 1;           // the label editor overlaps the label by this much

class CExtTreeSelectionModel : public QItemSelectionModel
{
public:
    explicit CExtTreeSelectionModel(CExtTree *tree);
    using QItemSelectionModel::select;
    void setCurrentIndex(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override;
    void select(const QItemSelection &selection, QItemSelectionModel::SelectionFlags command) override;

private:
    CExtTree *m_tree;
    QPersistentModelIndex m_approved; // the last row whose current change was let through
};

class CExtTreeDelegate : public QStyledItemDelegate
{
public:
    explicit CExtTreeDelegate(CExtTree *tree);
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

    mutable QPointer<QWidget> m_editor; // the open label editor, if any

private:
    CExtTree *m_tree;
};
