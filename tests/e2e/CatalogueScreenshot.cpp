// Not a test: puts the real main window, with the shipped catalogue, into the two states
// the catalogue screenshots show, and grabs the screen after each. Run it on a private X
// server (scripts/screenshot-catalogue.sh); it uses a temporary settings file.
// Usage: catalogue_screenshot <catalogue.xml> <expanded.png> <editing.png>

#include "tests/support/IsolatedWindow.h"
#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "catalogue/Catalogue.h"
#include "controls/propgrid/PropGridItemEdit.h"
#include "controls/propgrid/PropGridList.h"
#include "res/Resource.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int SETTLE_MS = 800;
const QString COMMAND_SHOWN = QStringLiteral("Set TX Power");
const QString PARAMETER_EDITED = QStringLiteral("Power (dBm)");
const QString TYPED_VALUE = QStringLiteral("-12");

bool grabScreen(const QString &path)
{
    QTest::qWait(SETTLE_MS);
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
    auto *tree = qobject_cast<CExtTree *>(window.control(IDC_CATALOGUE_TREE));
    if (!tree || tree->topLevelItemCount() == 0)
        return 1;
    tree->ExpandBranch(tree->topLevelItem(0));
    tree->setFocus();
    if (!grabScreen(args[2]))
        return 1;

    const QList<QTreeWidgetItem *> found = tree->findItems(COMMAND_SHOWN, Qt::MatchExactly | Qt::MatchRecursive);
    if (found.size() != 1)
        return 1;
    tree->SelectItem(found.first());
    auto *grid = qobject_cast<CPropGrid *>(window.control(IDC_PROPERTY_TREE));
    CPropGridItem *row = nullptr;
    grid->ForEachItem(grid->GetRoot(), [&](CPropGridItem *item) {
        if (item->GetLabel() == PARAMETER_EDITED)
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
    QTest::keyClicks(editor, TYPED_VALUE);
    return grabScreen(args[3]) ? 0 : 1;
}
