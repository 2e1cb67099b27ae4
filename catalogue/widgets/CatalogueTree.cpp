#include "catalogue/widgets/CatalogueTree.h"

#include "catalogue/Catalogue.h"
#include "xml/XML.h"
#include "controls/tree/ExtTree.h"
#include "res/Bitmap129.h"

#include <vector>

CTreeImageList CreateCatalogueImageList()
{
    CTreeImageList images(QSize(BITMAP129_CELL, BITMAP129_CELL));
    images.addStrip(Bitmap129(), BITMAP129_MASK);
    return images;
}

namespace {

// The cell of bitmap 129 that shows each picture.
int pictureCell(CataloguePictureKind picture)
{
    switch (picture) {
    case CataloguePictureKind::RfidTag:
        return BITMAP129_RFID_TAG;
    case CataloguePictureKind::Barcode:
        return BITMAP129_BARCODE;
    case CataloguePictureKind::Gear:
        return BITMAP129_GEAR;
    case CataloguePictureKind::Prompt:
        break;
    }
    return BITMAP129_PROMPT;
}

QTreeWidgetItem *addOneItem(CExtTree &tree, CXML *element, QTreeWidgetItem *parent,
                            QList<CXML *> &treeItemElements)
{
    const QString text = element->GetAttribute(CATALOGUE_NAME_ATTRIBUTE);
    const int picture = pictureCell(
        CataloguePicture(text, element->GetAttribute(CATALOGUE_INSTRUCTION_ATTRIBUTE), parent == nullptr));
    QTreeWidgetItem *item = tree.InsertItem(text, picture, picture, parent);
    treeItemElements.append(element);
    tree.SetItemData(item, quintptr(treeItemElements.size() - 1));
    return item;
}

} // namespace

QTreeWidgetItem *AddCatalogueItems(CExtTree &tree, CXML *element, QTreeWidgetItem *parent,
                                   QList<CXML *> &treeItemElements)
{
    if (element == nullptr || IsParameterName(element->name))
        return nullptr;
    QTreeWidgetItem *top = addOneItem(tree, element, parent, treeItemElements);

    // Depth first without recursion, children in order: each pending entry is an element
    // whose children are still to be visited, with its item, depth and next child index.
    struct Pending
    {
        CXML *element;
        QTreeWidgetItem *item;
        int depth;
        qsizetype next;
    };
    std::vector<Pending> stack{{element, top, 0, 0}};
    while (!stack.empty()) {
        Pending &at = stack.back();
        if (at.next >= at.element->children.size() || at.depth >= CATALOGUE_TREE_MAX_DEPTH) {
            stack.pop_back();
            continue;
        }
        CXML *child = at.element->children.at(at.next++);
        if (IsParameterName(child->name))
            continue;
        QTreeWidgetItem *item = addOneItem(tree, child, at.item, treeItemElements);
        const int depth = at.depth + 1;
        stack.push_back({child, item, depth, 0}); // `at` is not used after this
    }
    return top;
}

void LoadCatalogueTree(CExtTree &tree, CTreeImageList &images, CXML &document, const QString &path,
                       QList<CXML *> &treeItemElements, const CXMLWarningFunction &warning)
{
    images = CreateCatalogueImageList();
    tree.SetImageList(images);
    tree.Initialize();
    if (!LoadCatalogueDocument(document, path, warning))
        return;
    treeItemElements.clear();
    treeItemElements.squeeze();
    AddCatalogueItems(tree, &document, nullptr, treeItemElements);
}

CXML *CatalogueElementOf(const CExtTree &tree, QTreeWidgetItem *item, const QList<CXML *> &treeItemElements)
{
    if (item == nullptr)
        return nullptr;
    const quintptr index = tree.GetItemData(item);
    if (index >= quintptr(treeItemElements.size()))
        return nullptr;
    return treeItemElements.at(qsizetype(index));
}
