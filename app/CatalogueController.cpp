#include "app/CatalogueController.h"

#include "catalogue/Catalogue.h"
#include "catalogue/widgets/CatalogueDialogs.h"
#include "catalogue/widgets/CatalogueTree.h"
#include "catalogue/widgets/PropertiesPanel.h"
#include "controls/common/NotifyEvent.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/tree/ExtTree.h"
#include "platform/AtomicFile.h"

#include <QWidget>

#include <utility>

namespace {

// The property panel hangs below the command tree, as wide as the tree, this tall.
constexpr int PANEL_HEIGHT = 400;
// Elements a save turns into the file's bytes in one pass of the event loop: a few
// milliseconds' work, so that typing, painting and the reader's data go on between passes.
constexpr qsizetype CATALOGUE_SAVE_SLICE_ELEMENTS = 2000;

} // namespace

CCatalogueController::CCatalogueController(QWidget &window, const MainWindowEnvironment &environment)
    : m_window(window)
    , m_environment(environment)
{
}

void CCatalogueController::LoadCatalogue(CExtTree &tree, CPropGrid &panel)
{
    m_catalogueTree = &tree;
    m_propertyTree = &panel;
    // The parser's warnings appear while the window initialises, so the message box is
    // in place before the file is read: the environment's functions, or else the window's
    // message box and save-file dialog. They are this window's alone.
    m_xmlHooks = CatalogueDialogs(&m_window, XMLHooks{m_environment.xmlWarning, m_environment.xmlSaveFile});
    const QString path = m_environment.cataloguePath.isEmpty() ? CatalogueFilePath() : m_environment.cataloguePath;
    LoadCatalogueTree(*m_catalogueTree, m_imageList, m_catalogue, path, treeItemElements, m_xmlHooks.warning);
}

void CCatalogueController::CreatePropertyPanel()
{
    const QRect tree = m_catalogueTree->geometry();
    // Edges as the platform counts them: right and bottom are one past the last pixel.
    const int left = tree.left();
    const int right = tree.left() + tree.width();
    const int top = tree.top() + tree.height();
    m_propertyTree->setGeometry(QRect(left, top, right - left, PANEL_HEIGHT));
    m_propertyTree->show();
}

bool CCatalogueController::OnCommandSelected(CNotifyEvent &notify, QString &commandText)
{
    auto *item = notify.itemAs<QTreeWidgetItem>();
    if (item == nullptr)
        return false;
    CXML *entry = CatalogueElementOf(*m_catalogueTree, item, treeItemElements);
    return ShowCatalogueEntry(*m_propertyTree, entry, propertyRowElements, commandText);
}

bool CCatalogueController::OnParameterChanged(CNotifyEvent &notify, QString &commandText)
{
    notify.result = 0;
    return StoreParameterValue(notify.itemAs<CPropGridItem>(), propertyRowElements, commandText);
}

void CCatalogueController::OnSaveData()
{
    saveCatalogue(CATALOGUE_SAVE_FILTER);
}

void CCatalogueController::OnSaveAs()
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
void CCatalogueController::saveCatalogue(const QString &filter)
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
void CCatalogueController::sliceCatalogueSave()
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

int CCatalogueController::SavesPending() const
{
    return m_catalogueSaves.Pending() + int(m_catalogueSavePaths.size());
}

// On failure the file at the path is as it was, and the warning says so.
void CCatalogueController::OnCatalogueSaved(const QString &path, const QString &error)
{
    FinishXMLSave(m_catalogue, path, error, m_xmlHooks.warning);
    if (m_closeWhenSaved && SavesPending() == 0)
        std::exchange(m_closeWhenSaved, nullptr)();
}

bool CCatalogueController::DeferClose(std::function<void()> close)
{
    if (SavesPending() == 0)
        return false;
    m_closeWhenSaved = std::move(close);
    return true;
}
