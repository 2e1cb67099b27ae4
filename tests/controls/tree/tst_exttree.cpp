// CExtTree behaviour: the selection filter, FindItem and the check boxes.

#include "tests/controls/tree/ExtTreeRecorder.h"

#include <QImage>
#include <QtTest>

namespace {

// roots: A, B{B1, B2}, C, D ; B starts collapsed unless expanded by the test
struct Fixture
{
    CTreeRecorder parent;
    CExtTree *tree;
    QHash<QString, QTreeWidgetItem *> items;

    Fixture()
    {
        parent.resize(300, 400);
        tree = new CExtTree(&parent, 1001);
        parent.tree = tree;
        tree->setGeometry(0, 0, 300, 400);
        tree->Initialize();
        for (const char *name : {"A", "B", "C", "D"})
            items[name] = tree->InsertItem(name, 0, 0);
        items["B1"] = tree->InsertItem("B1", 0, 0, items["B"]);
        items["B2"] = tree->InsertItem("B2", 0, 0, items["B"]);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        tree->grab(); // one paint: text extents are known
    }
    QTreeWidgetItem *operator[](const QString &name) { return items.value(name); }
    QString nameOf(QTreeWidgetItem *item) const { return items.key(item, QStringLiteral("<none>")); }
};

} // namespace

class TestExtTree : public QObject
{
    Q_OBJECT

private slots:
    void selectionNotifiedOnceBeforeMove_data();
    void selectionNotifiedOnceBeforeMove();
    void expansion_data();
    void expansion();
    void initializeSendsNothing();
    void deleteAllItemsSelectsFirstRootOnce();
    void findItem_data();
    void findItem();
    void smartCheck_data();
    void smartCheck();
    void setCheckSameValueStillNotifies();
    void hotBox_data();
    void hotBox();
    void checkStrip_data();
    void checkStrip();
};

void TestExtTree::selectionNotifiedOnceBeforeMove_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("how"); // down, up, click, select, or a mouse gesture below
    QTest::addColumn<QString>("disable");
    QTest::addColumn<bool>("expandB");
    QTest::addColumn<QString>("expected"); // "" = no notification, selection stays

    QTest::newRow("Down") << "A" << "down" << "" << false << "B";
    QTest::newRow("Down skips hidden children") << "B" << "down" << "" << false << "C";
    QTest::newRow("Down into expanded children") << "B" << "down" << "" << true << "B1";
    QTest::newRow("Down skips disabled") << "A" << "down" << "B" << false << "C";
    QTest::newRow("Up") << "C" << "up" << "" << false << "B";
    QTest::newRow("Up skips disabled") << "D" << "up" << "C" << true << "B2";
    QTest::newRow("Down on last item") << "D" << "down" << "" << false << "";
    QTest::newRow("Down with all following disabled") << "C" << "down" << "D" << false << "";
    QTest::newRow("mouse click") << "A" << "click" << "" << false << "C";
    QTest::newRow("mouse click on disabled") << "A" << "click" << "C" << false << "";
    QTest::newRow("right button") << "A" << "right" << "" << false << "";
    QTest::newRow("middle button") << "A" << "middle" << "" << false << "";
    QTest::newRow("click right of the text") << "A" << "besideText" << "" << false << "";
    QTest::newRow("press on B, drag over C and D") << "A" << "drag" << "" << false << "B";
    QTest::newRow("SelectItem") << "A" << "select" << "" << false << "D";
    QTest::newRow("SelectItem of disabled") << "A" << "select" << "D" << false << "";
}

void TestExtTree::selectionNotifiedOnceBeforeMove()
{
    QFETCH(QString, from);
    QFETCH(QString, how);
    QFETCH(QString, disable);
    QFETCH(bool, expandB);
    QFETCH(QString, expected);

    Fixture f;
    if (expandB)
        f.tree->Expand(f["B"], TVE_EXPAND);
    if (!disable.isEmpty())
        f.tree->SetItemEnabled(f[disable], false);
    QVERIFY(f.tree->SelectItem(f[from]));
    f.tree->setFocus();
    f.tree->grab();
    f.parent.notes.clear();

    if (how == "down" || how == "up") {
        QTest::keyClick(f.tree, how == "down" ? Qt::Key_Down : Qt::Key_Up);
    } else if (how == "click") {
        QTreeWidgetItem *target = f[disable.isEmpty() ? "C" : disable];
        QTest::mouseClick(f.tree->viewport(), Qt::LeftButton, {}, f.tree->textRect(target).center());
    } else if (how == "right" || how == "middle") {
        const Qt::MouseButton button = how == "right" ? Qt::RightButton : Qt::MiddleButton;
        QTest::mouseClick(f.tree->viewport(), button, {}, f.tree->textRect(f["C"]).center());
    } else if (how == "besideText") {
        const QRect text = f.tree->textRect(f["C"]);
        QTest::mouseClick(f.tree->viewport(), Qt::LeftButton, {}, QPoint(text.right() + 20, text.center().y()));
    } else if (how == "drag") {
        QTest::mousePress(f.tree->viewport(), Qt::LeftButton, {}, f.tree->textRect(f["B"]).center());
        for (const char *over : {"C", "D"})
            QTest::mouseMove(f.tree->viewport(), f.tree->textRect(f[over]).center());
        QTest::mouseRelease(f.tree->viewport(), Qt::LeftButton, {}, f.tree->textRect(f["D"]).center());
    } else {
        f.tree->SelectItem(f[disable.isEmpty() ? "D" : disable]);
    }

    const auto changes = f.parent.selChanges();
    if (expected.isEmpty()) {
        QCOMPARE(changes.size(), 0);
        QCOMPARE(f.nameOf(f.tree->currentItem()), from);
        return;
    }
    QCOMPARE(changes.size(), 1);
    QCOMPARE(f.nameOf(changes[0].item), expected);
    QCOMPARE(f.nameOf(changes[0].selectedAtDelivery), from); // told before the move
    // The view's move is announced as "changing" too, whoever asked for it.
    const auto changing = f.parent.notesOf(CNotifyEvent::notifyType(), TVN_SELCHANGING);
    QCOMPARE(changing.size(), 1);
    QCOMPARE(f.nameOf(changing[0].item), expected);
    QCOMPARE(f.nameOf(f.tree->currentItem()), expected);
    QCOMPARE(f.tree->selectedItems().size(), 1);
    QCOMPARE(f.nameOf(f.tree->selectedItems().first()), expected);
}

void TestExtTree::expansion_data()
{
    QTest::addColumn<QString>("how"); // a key on the selected B, or an operation on B
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("startExpanded");
    QTest::addColumn<bool>("shown");  // expanded on screen afterwards
    QTest::addColumn<int>("recorded"); // B's expanded flag afterwards; one note per change

    QTest::newRow("pad +") << "pad+" << true << false << true << 1;
    QTest::newRow("main +") << "+" << true << false << false << 0;
    QTest::newRow("pad *") << "pad*" << true << false << true << 1;
    QTest::newRow("main *") << "*" << true << false << false << 0;
    QTest::newRow("pad -") << "pad-" << true << true << false << 0;
    QTest::newRow("main -") << "-" << true << true << true << 1;
    QTest::newRow("ExpandBranch of disabled") << "ExpandBranch" << false << false << true << 0;
    QTest::newRow("Expand of disabled") << "Expand" << false << false << true << 0;
    QTest::newRow("Expand of enabled") << "Expand" << true << false << true << 1;
}

void TestExtTree::expansion()
{
    QFETCH(QString, how);
    QFETCH(bool, enabled);
    QFETCH(bool, startExpanded);
    QFETCH(bool, shown);
    QFETCH(int, recorded);

    Fixture f;
    QTreeWidgetItem *b = f["B"];
    QVERIFY(f.tree->SelectItem(b));
    if (startExpanded)
        f.tree->Expand(b, TVE_EXPAND);
    f.tree->SetItemEnabled(b, enabled);
    f.tree->setFocus();
    const int before = f.tree->GetItemRecord(b)->expanded;
    f.parent.notes.clear();

    if (how == "ExpandBranch") {
        f.tree->ExpandBranch(b);
    } else if (how == "Expand") {
        f.tree->Expand(b, TVE_EXPAND);
    } else {
        const QChar sign = how.back();
        const Qt::Key key = sign == '+' ? Qt::Key_Plus : sign == '-' ? Qt::Key_Minus : Qt::Key_Asterisk;
        QTest::keyClick(f.tree, key, how.startsWith("pad") ? Qt::KeypadModifier : Qt::NoModifier);
    }

    QCOMPARE(b->isExpanded(), shown);
    QCOMPARE(f.tree->GetItemRecord(b)->expanded, recorded);
    const auto notes = f.parent.notesOf(WM_EXTTREE_ITEM_EXPANDED);
    QCOMPARE(notes.size(), recorded == before ? 0 : 1);
}

void TestExtTree::initializeSendsNothing()
{
    Fixture f;
    f.tree->SelectItem(f["C"]);
    f.parent.notes.clear();
    f.tree->Initialize();
    QCOMPARE(f.parent.notes.size(), 0);
    QCOMPARE(f.tree->topLevelItemCount(), 0);
    f.tree->Initialize(); // empty tree as well
    QCOMPARE(f.parent.notes.size(), 0);

    // A new item that happens to reuse a deleted item's address is still announced.
    QTreeWidgetItem *fresh = f.tree->InsertItem("fresh", 0, 0);
    QVERIFY(f.tree->SelectItem(fresh));
    QCOMPARE(f.parent.selChanges().size(), 1);
}

void TestExtTree::deleteAllItemsSelectsFirstRootOnce()
{
    Fixture f;
    f.tree->SelectItem(f["C"]);
    f.parent.notes.clear();
    f.tree->DeleteAllItems();
    const auto changes = f.parent.selChanges();
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes[0].item, f["A"]); // compare pointers only: the item is gone now
    QCOMPARE(changes[0].selectedAtDelivery, f["C"]);
    QCOMPARE(f.tree->topLevelItemCount(), 0);
    QVERIFY(!f.tree->GetItemRecord(f.tree->currentItem()));
}

void TestExtTree::findItem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<bool>("down");
    QTest::addColumn<bool>("wholeWord");
    QTest::addColumn<bool>("wrap");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("expected");

    // pre-order: group, reset, set_power, g,set,1, x, SET
    QTest::newRow("whole word skips reset and set_power") << "set" << false << true << true << false << "" << "g,set,1";
    QTest::newRow("substring finds reset") << "set" << false << true << false << false << "" << "reset";
    QTest::newRow("whole word case-insensitive after start") << "set" << false << true << true << false << "g,set,1" << "SET";
    QTest::newRow("match case") << "SET" << true << true << false << false << "group" << "SET";
    QTest::newRow("down runs off without wrap") << "reset" << false << true << false << false << "set_power" << "";
    QTest::newRow("down wraps") << "reset" << false << true << false << true << "set_power" << "reset";
    QTest::newRow("up") << "set" << false << false << true << false << "SET" << "g,set,1";
    QTest::newRow("up runs off without wrap") << "SET" << true << false << false << false << "set_power" << "";
    QTest::newRow("up wraps to the deepest last") << "SET" << true << false << false << true << "set_power" << "SET";
    QTest::newRow("first step off the end restarts") << "group" << false << true << false << false << "SET" << "group";
    QTest::newRow("start itself is not found again") << "set_power" << false << true << false << true << "set_power" << "";
    QTest::newRow("empty text") << "" << false << true << false << true << "" << "";
}

void TestExtTree::findItem()
{
    QFETCH(QString, text);
    QFETCH(bool, matchCase);
    QFETCH(bool, down);
    QFETCH(bool, wholeWord);
    QFETCH(bool, wrap);
    QFETCH(QString, start);
    QFETCH(QString, expected);

    CExtTree tree;
    tree.Initialize();
    QHash<QString, QTreeWidgetItem *> items;
    items["group"] = tree.InsertItem("group", 0, 0);
    items["reset"] = tree.InsertItem("reset", 0, 0, items["group"]);
    items["set_power"] = tree.InsertItem("set_power", 0, 0, items["group"]);
    items["g,set,1"] = tree.InsertItem("g,set,1", 0, 0);
    items["x"] = tree.InsertItem("x", 0, 0);
    items["SET"] = tree.InsertItem("SET", 0, 0, items["x"]);
    tree.setCurrentItem(nullptr);

    QTreeWidgetItem *found = tree.FindItem(text, matchCase, down, wholeWord, wrap, items.value(start));
    QCOMPARE(items.key(found, QString()), expected);
}

void TestExtTree::smartCheck_data()
{
    QTest::addColumn<bool>("extras"); // a separator B and a disabled C below R
    QTest::addColumn<QStringList>("ops");
    QTest::addColumn<QString>("states"); // state images of R A A1 A2 [B C]

    QTest::newRow("check parent goes down and up") << false << QStringList{"A+"} << "2 2 2 2";
    QTest::newRow("uncheck one leaf: ancestors tri-state") << false << QStringList{"R+", "A1-"} << "3 3 1 2";
    QTest::newRow("uncheck every leaf: ancestors unchecked") << false << QStringList{"R+", "A1-", "A2-"} << "1 1 1 1";
    QTest::newRow("check leaves one by one") << false << QStringList{"A1+", "A2+"} << "2 2 2 2";
    QTest::newRow("one leaf checked: tri-state") << false << QStringList{"A2+"} << "3 3 1 2";
    QTest::newRow("separator and disabled keep out") << true << QStringList{"R+"} << "2 2 2 2 0 5";
    QTest::newRow("disabled item cannot be checked") << true << QStringList{"C+"} << "1 1 1 1 0 5";
    QTest::newRow("leaf unchecked below checked root") << true << QStringList{"R+", "A1-"} << "3 3 1 2 0 5";
}

void TestExtTree::smartCheck()
{
    QFETCH(bool, extras);
    QFETCH(QStringList, ops);
    QFETCH(QString, states);

    CTreeRecorder parent;
    auto *tree = new CExtTree(&parent);
    parent.tree = tree;
    tree->SetCheckBoxes(true);
    tree->SetSmartCheck(true);
    QHash<QString, QTreeWidgetItem *> it;
    it["R"] = tree->InsertItem("R", 0, 0);
    it["A"] = tree->InsertItem("A", 0, 0, it["R"]);
    it["A1"] = tree->InsertItem("A1", 0, 0, it["A"]);
    it["A2"] = tree->InsertItem("A2", 0, 0, it["A"]);
    QStringList order{"R", "A", "A1", "A2"};
    if (extras) {
        it["B"] = tree->InsertItem("----", 0, 0, it["R"]);
        tree->SetItemSeparator(it["B"], true);
        it["C"] = tree->InsertItem("C", 0, 0, it["R"]);
        tree->SetItemEnabled(it["C"], false);
        order << "B" << "C";
    }
    QCOMPARE(tree->GetItemRecord(it["R"])->descendantCount, order.size() - 1);

    for (const QString &op : ops)
        tree->SetCheck(it[op.chopped(1)], op.endsWith('+') ? 1 : 0);

    QStringList got;
    for (const QString &name : order)
        got << QString::number(tree->GetStateImage(it[name]));
    QCOMPARE(got.join(' '), states);

    // An unchecked item inserted below a fully checked parent makes it tri-state.
    if (!extras && states == "2 2 2 2") {
        tree->InsertItem("A3", 0, 0, it["A"]);
        QCOMPARE(tree->GetStateImage(it["A"]), 3);
        QCOMPARE(tree->GetStateImage(it["R"]), 3);
    }
}

void TestExtTree::setCheckSameValueStillNotifies()
{
    CTreeRecorder parent;
    auto *tree = new CExtTree(&parent);
    parent.tree = tree;
    tree->SetCheckBoxes(true);
    QTreeWidgetItem *a = tree->InsertItem("A", 0, 0);
    QTreeWidgetItem *off = tree->InsertItem("off", 0, 0);
    tree->SetItemEnabled(off, false);

    tree->SetCheck(a, 0);
    tree->SetCheck(a, 0);
    tree->SetCheck(a, 1);
    tree->SetCheck(off, 1);
    const auto clicked = parent.notesOf(WM_EXTTREE_CHECKBOX_CLICKED);
    QCOMPARE(clicked.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(clicked[i].item, a);
    QCOMPARE(clicked[0].param, 0);
    QCOMPARE(clicked[1].param, 0);
    QCOMPARE(clicked[2].param, 1);
    QCOMPARE(tree->GetStateImage(off), 5);
}

void TestExtTree::hotBox_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("checked");
    QTest::newRow("enabled unchecked") << true << false;
    QTest::newRow("enabled checked") << true << true;
    QTest::newRow("disabled unchecked") << false << false;
    QTest::newRow("disabled checked") << false << true;
}

void TestExtTree::hotBox()
{
    QFETCH(bool, enabled);
    QFETCH(bool, checked);

    CTreeRecorder parent;
    parent.resize(300, 200);
    auto *tree = new CExtTree(&parent);
    tree->setGeometry(0, 0, 300, 200);
    parent.tree = tree;
    tree->SetCheckBoxes(true);
    QTreeWidgetItem *other = tree->InsertItem("other", 0, 0);
    QTreeWidgetItem *item = tree->InsertItem("item", 0, 0);
    tree->SetCheck(item, checked ? 1 : 0);
    tree->SetItemEnabled(item, enabled);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    const int normal = tree->GetStateImage(item);

    QTest::mouseMove(tree->viewport(), tree->stateRect(item).center());
    if (enabled) {
        QCOMPARE(tree->GetStateImage(item), normal + CExtTree::CHECK_HOT_OFFSET);
        QCOMPARE(tree->hotCheckItem(), item);
    } else {
        QCOMPARE(tree->GetStateImage(item), normal);
        QCOMPARE(tree->hotCheckItem(), nullptr);
    }
    // Leaving the box for another item gives the normal image back.
    QTest::mouseMove(tree->viewport(), tree->textRect(other).center());
    QCOMPARE(tree->GetStateImage(item), normal);
    QCOMPARE(tree->hotCheckItem(), nullptr);
}

void TestExtTree::checkStrip_data()
{
    QTest::addColumn<bool>("themed");
    QTest::newRow("themed") << true;
    QTest::newRow("classic") << false;
}

void TestExtTree::checkStrip()
{
    QFETCH(bool, themed);
    CExtTree tree;
    tree.SetThemedChecks(themed);
    tree.SetCheckBoxes(true);
    const CTreeImageList &strip = tree.stateImages();
    QCOMPARE(strip.count(), CExtTree::CHECK_CELL_COUNT);
    const QRgb window = tree.windowColour().rgb();
    auto isBlank = [&](int cell) {
        const QImage img = strip.image(cell).toImage().convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.pixel(x, y) != window)
                    return false;
        return true;
    };
    auto img = [&](int cell) { return strip.image(cell).toImage().convertToFormat(QImage::Format_RGB32); };
    for (int cell = 0; cell < CExtTree::CHECK_CELL_COUNT; ++cell) {
        const bool blankCell = cell % 4 == 0;
        QVERIFY2(isBlank(cell) == blankCell, qPrintable(QString("cell %1").arg(cell)));
    }
    // Three distinct states, and disabled looks differ from normal ones.
    QVERIFY(img(1) != img(2));
    QVERIFY(img(2) != img(3));
    QVERIFY(img(1) != img(3));
    QVERIFY(img(1) != img(5));
    QVERIFY(img(2) != img(6));
    QCOMPARE(img(5), img(13)); // hot disabled repeats disabled
    if (!themed)
        QCOMPARE(img(1), img(9)); // the classic look has no hot variant
}

QTEST_MAIN(TestExtTree)
#include "tst_exttree.moc"
