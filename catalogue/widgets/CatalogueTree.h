#pragma once

// The command tree filled from the catalogue document (the GUI half of the catalogue).
// User-interface thread only.

#include "xml/XML.h"

#include <QList>
#include <QString>

class CExtTree;
class CTreeImageList;
class CXML;
class QTreeWidgetItem;

// Entries nested deeper than this below the root get no tree item (they stay in the
// document and are saved): the platform tree frees and draws its items recursively, so a
// hostile file nested a million levels deep must not reach it.
inline constexpr int CATALOGUE_TREE_MAX_DEPTH = 512;

// The tree's pictures: bitmap 129 cut into 16 by 16 cells, cyan transparent.
CTreeImageList CreateCatalogueImageList();

// Adds the item of `element` (as a top-level item when `parent` is null: the root) and
// then those of its descendants, each element before its children, in document order.
// Parameter elements and everything below them get no item. Each item's data is the
// index of its element in `treeItemElements`, to which the element is appended. Returns
// the element's item, or null when it was left out.
QTreeWidgetItem *AddCatalogueItems(CExtTree &tree, CXML *element, QTreeWidgetItem *parent,
                                   QList<CXML *> &treeItemElements);

// The whole loading: the image list set on the tree, the tree initialised, the file read
// into `document` and the tree filled from its root. A file that cannot be opened leaves
// the tree empty, silently. `treeItemElements` is emptied first. The parser's warnings go
// to `warning`.
void LoadCatalogueTree(CExtTree &tree, CTreeImageList &images, CXML &document, const QString &path,
                       QList<CXML *> &treeItemElements, const CXMLWarningFunction &warning = {});

// The element of a tree item through its item data; null for a foreign or stale index.
CXML *CatalogueElementOf(const CExtTree &tree, QTreeWidgetItem *item, const QList<CXML *> &treeItemElements);
