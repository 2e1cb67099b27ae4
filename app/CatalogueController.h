#pragma once

#include "app/MainWindowEnvironment.h"
#include "controls/tree/TreeImageList.h"
#include "platform/WorkQueue.h"
#include "xml/XML.h"

#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class CExtTree;
class CNotifyEvent;
class CPropGrid;
class QWidget;

// The catalogue half of the main window: the command tree, the property panel below it and
// Save Data. Owns the catalogue, the element of each tree item and panel row, and the saves'
// queue; the work lives in catalogue/, this only wires it to the window's controls. Runs on
// the user-interface thread; a save's file is written on the queue's thread of its own.
class CCatalogueController : public QObject
{
public:
    CCatalogueController(QWidget &window, const MainWindowEnvironment &environment);

    // Loads the catalogue into the tree (the parser's warnings over the window); the panel
    // shows the entry the tree selects.
    void LoadCatalogue(CExtTree &tree, CPropGrid &panel);
    // Positions the panel below the tree and shows it.
    void CreatePropertyPanel();
    // The tree's selection and the panel's edits: true when `commandText` changed.
    bool OnCommandSelected(CNotifyEvent &notify, QString &commandText);
    bool OnParameterChanged(CNotifyEvent &notify, QString &commandText);
    void OnSaveData();   // "Save Data (xml)", 1008
    void OnSaveAs();     // "Save As...", 1009 (hidden)
    // Saves asked for whose file is still being made or written.
    int SavesPending() const;
    // With saves pending, keeps `close` for when the last outcome is shown and returns true
    // (a later call replaces it); false when there is nothing to wait for.
    bool DeferClose(std::function<void()> close);

private:
    void saveCatalogue(const QString &filter);
    void sliceCatalogueSave();
    void OnCatalogueSaved(const QString &path, const QString &error);

    QWidget &m_window;
    const MainWindowEnvironment &m_environment;   // the window's, which outlives this
    CExtTree *m_catalogueTree = nullptr;  // 1001, the window's child
    CPropGrid *m_propertyTree = nullptr;  // 100, the window's child
    QList<CXML *> treeItemElements;       // the catalogue element of each tree item (not owned)
    QList<CXML *> propertyRowElements;    // the elements shown in the property panel (not owned)
    CXML m_catalogue;
    // The catalogue library's warning and save-file functions for this window's catalogue.
    XMLHooks m_xmlHooks;
    CTreeImageList m_imageList;
    std::function<void()> m_closeWhenSaved;   // the window's close, deferred until saved
    // The catalogue's saves, written one after another on a thread of their own; their
    // outcomes are applied on this thread. Goes before the catalogue, dropping those not
    // applied.
    CWorkQueue m_catalogueSaves;
    // The saves asked for whose bytes are not made yet, oldest first; the oldest one's are
    // being made by m_catalogueBytes, a slice per pass of the event loop.
    std::deque<QString> m_catalogueSavePaths;
    std::unique_ptr<CXMLFileBytesWriter> m_catalogueBytes;
};
