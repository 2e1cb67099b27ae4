#include "app/RFID_LorixDlg.h"

#include "catalogue/Catalogue.h"
#include "catalogue/widgets/CatalogueDialogs.h"
#include "catalogue/widgets/CatalogueTree.h"
#include "catalogue/widgets/PropertiesPanel.h"
#include "controls/common/NotifyEvent.h"

// The catalogue half of the main window: the command tree, the property panel and
// saving. The work lives in catalogue/; these handlers only wire it to the window.

namespace {

// The property panel hangs below the command tree, as wide as the tree, this tall.
constexpr int PANEL_HEIGHT = 400;

// The window whose catalogue hooks are installed; user-interface thread only.
const CRFID_LorixDlg *g_catalogueHooksOwner = nullptr;

} // namespace

void CRFID_LorixDlg::LoadCatalogue()
{
    // The parser's warnings appear while the window initialises, so the message box is
    // in place before the file is read.
    installCatalogueHooks();
    const QString path = m_environment.cataloguePath.isEmpty() ? CatalogueFilePath() : m_environment.cataloguePath;
    LoadCatalogueTree(*m_catalogueTree, m_imageList, m_catalogue, path, treeItemElements);
}

// The environment's warning and save-file functions, or else the window's message box and
// save-file dialog, in place of whatever was installed before.
void CRFID_LorixDlg::installCatalogueHooks()
{
    SetXMLWarningFunction(m_environment.xmlWarning);
    SetXMLSaveFileFunction(m_environment.xmlSaveFile);
    InstallCatalogueDialogs(this);   // keeps a function the environment gave
    g_catalogueHooksOwner = this;
}

// A later window's hooks stay; the last window leaves none behind (warnings then go to the
// log, and nothing can ask for a file).
void CRFID_LorixDlg::removeCatalogueHooks()
{
    if (g_catalogueHooksOwner != this)
        return;
    g_catalogueHooksOwner = nullptr;
    SetXMLWarningFunction(nullptr);
    SetXMLSaveFileFunction(nullptr);
}

void CRFID_LorixDlg::CreatePropertyPanel()
{
    const QRect tree = m_catalogueTree->geometry();
    // Edges as the platform counts them: right and bottom are one past the last pixel.
    const int left = tree.left();
    const int right = tree.left() + tree.width();
    const int top = tree.top() + tree.height();
    m_propertyTree->setGeometry(QRect(left, top, right - left, PANEL_HEIGHT));
    m_propertyTree->show();
}

void CRFID_LorixDlg::OnCommandSelected(CNotifyEvent &notify)
{
    auto *item = notify.itemAs<QTreeWidgetItem>();
    if (item == nullptr)
        return;
    CXML *entry = CatalogueElementOf(*m_catalogueTree, item, treeItemElements);
    if (ShowCatalogueEntry(*m_propertyTree, entry, propertyRowElements, commandText))
        DoDataExchange(false);
}

void CRFID_LorixDlg::OnParameterChanged(CNotifyEvent &notify)
{
    notify.result = 0;
    if (StoreParameterValue(notify.itemAs<CPropGridItem>(), propertyRowElements, commandText))
        DoDataExchange(false);
}

// Both save buttons propose the user's copy, the file read first at the next start; the
// folder is made first so that the dialog opens in it.
void CRFID_LorixDlg::OnSaveData()
{
    MakeUserCatalogueFolder();
    SaveAs(m_catalogue, CATALOGUE_SAVE_FILTER, UserCatalogueFilePath());
}

void CRFID_LorixDlg::OnSaveAs()
{
    MakeUserCatalogueFolder();
    SaveAs(m_catalogue, CATALOGUE_SAVE_AS_FILTER, UserCatalogueFilePath());
}
