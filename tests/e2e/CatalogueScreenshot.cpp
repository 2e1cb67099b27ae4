// Not a test: puts the real main window, with the shipped catalogue, into the two states
// the catalogue screenshots show, and grabs the screen after each. Run it on a private X
// server (scripts/screenshot-catalogue.sh); it uses a temporary settings file.
// Usage: catalogue_screenshot <catalogue.xml> <expanded.png> <editing.png>

#include "tests/support/IsolatedWindow.h"
#include "app/RFID_LorixDlg.h"
#include "app/SettingsStore.h"
#include "catalogue/Catalogue.h"
#include "controls/propgrid/CPropGridItemEdit.h"
#include "controls/propgrid/CPropGridList.h"
#include "res/Resource.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kSettleMs = 800;
const QString kCommandShown = QStringLiteral("Set TX Power");
const QString kParameterEdited = QStringLiteral("Power (dBm)");
const QString kTypedValue = QStringLiteral("-12");

bool grabScreen(const QString &path)
{
    QTest::qWait(kSettleMs);
    return QGuiApplication::primaryScreen()->grabWindow(0).save(path);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("RFID_Lorix"));
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        qWarning("usage: catalogue_screenshot <catalogue.xml> <expanded.png> <editing.png>");
        return 2;
    }
    QTemporaryDir dir;
    CSettingsStore store(dir.filePath(QStringLiteral("settings.ini")));
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(dir.path());
    env.cataloguePath = args[1];
    CRFID_LorixDlg window(store, env);
    window.move(0, 0);
    window.show();
    auto *tree = qobject_cast<CExtTree *>(window.control(res::IDC_CATALOGUE_TREE));
    if (!tree || tree->topLevelItemCount() == 0)
        return 1;
    tree->ExpandBranch(tree->topLevelItem(0));
    tree->setFocus();
    if (!grabScreen(args[2]))
        return 1;

    const QList<QTreeWidgetItem *> found = tree->findItems(kCommandShown, Qt::MatchExactly | Qt::MatchRecursive);
    if (found.size() != 1)
        return 1;
    tree->SelectItem(found.first());
    auto *grid = qobject_cast<CPropGrid *>(window.control(res::IDC_PROPERTY_TREE));
    CPropGridItem *row = nullptr;
    grid->ForEachItem(grid->GetRoot(), [&](CPropGridItem *item) {
        if (item->GetLabel() == kParameterEdited)
            row = item;
        return row == nullptr;
    });
    if (!row)
        return 1;
    QTest::mouseClick(grid->GetListPane()->viewport(), Qt::LeftButton, {}, row->GetValueRect().center());
    auto *editor = static_cast<CPropGridItemEdit *>(row)->GetEditor();
    if (!editor)
        return 1;
    editor->selectAll();
    QTest::keyClicks(editor, kTypedValue);
    return grabScreen(args[3]) ? 0 : 1;
}
