#include "app/RFID_LorixDlg.h"

#include "catalogue/Catalogue.h"
#include "catalogue/widgets/CatalogueDialogs.h"
#include "catalogue/widgets/CatalogueTree.h"
#include "catalogue/widgets/PropertiesPanel.h"
#include "controls/common/NotifyEvent.h"
#include "platform/AtomicFile.h"

// The catalogue half of the main window: the command tree, the property panel and
// saving. The work lives in catalogue/; these handlers only wire it to the window.

namespace {

// The property panel hangs below the command tree, as wide as the tree, this tall.
constexpr int PANEL_HEIGHT = 400;
// Elements a save turns into the file's bytes in one pass of the event loop: a few
// milliseconds' work, so that typing, painting and the reader's data go on between passes.
constexpr qsizetype CATALOGUE_SAVE_SLICE_ELEMENTS = 2000;

} // namespace

void CRFID_LorixDlg::LoadCatalogue()
{
    // The parser's warnings appear while the window initialises, so the message box is
    // in place before the file is read: the environment's functions, or else the window's
    // message box and save-file dialog. They are this window's alone.
    m_xmlHooks = CatalogueDialogs(this, XMLHooks{m_environment.xmlWarning, m_environment.xmlSaveFile});
    const QString path = m_environment.cataloguePath.isEmpty() ? CatalogueFilePath() : m_environment.cataloguePath;
    LoadCatalogueTree(*m_catalogueTree, m_imageList, m_catalogue, path, treeItemElements, m_xmlHooks.warning);
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

void CRFID_LorixDlg::OnSaveData()
{
    saveCatalogue(CATALOGUE_SAVE_FILTER);
}

void CRFID_LorixDlg::OnSaveAs()
{
    saveCatalogue(CATALOGUE_SAVE_AS_FILTER);
}

// Both save buttons propose the user's copy, the file read first at the next start; the
// folder is made first so that the dialog opens in it. The tree becomes the file's bytes
// here, on the thread that owns it, in slices between the window's other work (a large
// catalogue takes hundreds of milliseconds in one piece); the bytes are written and flushed
// to the disk on m_catalogueSaves' thread, and OnCatalogueSaved shows the outcome when it is
// back. A save asked for while another is being made or written is queued behind it: saves
// reach the disk in the order they were asked for, so the file ends with the last one.
void CRFID_LorixDlg::saveCatalogue(const QString &filter)
{
    MakeUserCatalogueFolder();
    const QString path = AskXMLSaveFile(m_catalogue, filter, UserCatalogueFilePath(), m_xmlHooks.saveFile);
    if (path.isEmpty())
        return;
    m_catalogueSavePaths.push_back(path);
    if (!m_catalogueBytes) {
        m_catalogueBytes = std::make_unique<CXMLFileBytesWriter>(m_catalogue);
        sliceCatalogueSave();
    }
}

// One slice of the oldest save asked for; the next slice comes after the event loop's other
// work. A finished file goes to the writing thread, and the next save starts.
void CRFID_LorixDlg::sliceCatalogueSave()
{
    if (!m_catalogueBytes || m_catalogueSavePaths.empty())
        return;
    if (!m_catalogueBytes->Step(CATALOGUE_SAVE_SLICE_ELEMENTS)) {
        QMetaObject::invokeMethod(this, [this] { sliceCatalogueSave(); }, Qt::QueuedConnection);
        return;
    }
    const QByteArray bytes = m_catalogueBytes->Take();
    const QString path = m_catalogueSavePaths.front();
    m_catalogueSavePaths.pop_front();
    m_catalogueBytes.reset();
    std::function<QString(const QString &, const QByteArray &)> write = m_environment.catalogueWriter;
    if (!write)
        write = WriteFileAtomically;
    // The job holds copies only; `this` is used by the closure it returns, on this thread.
    m_catalogueSaves.Run([this, write, path, bytes]() -> CWorkQueue::Apply {
        const QString error = write(path, bytes);
        return [this, path, error] { OnCatalogueSaved(path, error); };
    });
    if (!m_catalogueSavePaths.empty()) {
        m_catalogueBytes = std::make_unique<CXMLFileBytesWriter>(m_catalogue);
        QMetaObject::invokeMethod(this, [this] { sliceCatalogueSave(); }, Qt::QueuedConnection);
    }
}

int CRFID_LorixDlg::catalogueSavesPending() const
{
    return m_catalogueSaves.Pending() + int(m_catalogueSavePaths.size());
}

// On failure the file at the path is as it was, and the warning says so.
void CRFID_LorixDlg::OnCatalogueSaved(const QString &path, const QString &error)
{
    FinishXMLSave(m_catalogue, path, error, m_xmlHooks.warning);
    if (m_closeWhenSaved && catalogueSavesPending() == 0) {
        m_closeWhenSaved = false;
        QDialog::done(m_closeResult);
    }
}

void CRFID_LorixDlg::done(int result)
{
    if (catalogueSavesPending() > 0) {
        m_closeWhenSaved = true;
        m_closeResult = result;
        return;
    }
    QDialog::done(result);
}
