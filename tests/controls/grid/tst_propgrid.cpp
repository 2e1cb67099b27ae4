// The property grid control and its list pane, driven through real mouse,
// wheel and key events, with a parent that records and vetoes notifications.
#include "tests/controls/grid/PropGridTestKit.h"

#include <QAccessible>
#include <QWheelEvent>

namespace {

// G1 (expanded): E1 (edit), S1 (read-only), E2 (edit); G2 (collapsed): E3.
void BuildStandardTree(GridFixture &f)
{
    CPropGridItem *g1 = f.group("G1", "First");
    f.edit("E1", g1, "1");
    f.fixed("S1", g1, "fixed");
    f.edit("E2", g1, "2");
    CPropGridItem *g2 = f.group("G2", "Second", false);
    f.edit("E3", g2, "3");
}

// A group with `count` rows, enough to overflow the 300-pixel pane when large.
void BuildLongTree(GridFixture &f, int count)
{
    CPropGridItem *g = f.group("G", "Long");
    for (int i = 0; i < count; ++i)
        f.edit(QString("R%1").arg(i), g, QString::number(i));
}

void Wheel(QWidget *target, int delta)
{
    const QPoint at(50, 50);
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

int CountRows(CPropGrid *grid)
{
    int n = 0;
    grid->ForEachItem(grid->GetRoot(), [&n](CPropGridItem *) { return ++n, true; });
    return n;
}

} // namespace

class TestPropGrid : public QObject
{
    Q_OBJECT
private slots:
    void accessibleRows_data();
    void accessibleRows();
    // control
    void removeAllDropsFocus();
    void removalVeto_data();
    void removalVeto();
    void identifiersCountUp();
    void splitterLimits_data();
    void splitterLimits();
    void splitterSurvivesHiddenFilling();
    void withoutNotifyStyleNothingIsSentOrVetoed();
    void forEachStops();
    // list pane
    void shortContentDoesNotScroll();
    void splitterGrab_data();
    void splitterGrab();
    void splitterRelease_data();
    void splitterRelease();
    void collapsingFocusedGroupDropsFocus();
    void doubleClickOnLeafDoesNothing_data();
    void doubleClickOnLeafDoesNothing();
    void scrollSteps_data();
    void scrollSteps();
    void keyboard_data();
    void keyboard();
};

void TestPropGrid::accessibleRows_data()
{
    QTest::addColumn<int>("row");         // the row whose action runs; -1: none
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("rows");    // name|value|e(ditable) or r(ead-only)|- expanded, + collapsed
    QTest::addColumn<QString>("focused"); // the grid's focused row afterwards, * when its editor is open
    const QString all = "Properties||r|- Name: Inventory|Inventory|r| Parameters||r|- Power: -12|-12|e| Mode: 1|1|e|";
    QTest::newRow("every row shown") << -1 << "" << all << "";
    QTest::newRow("collapsing Parameters") << 2 << QAccessibleActionInterface::toggleAction()
                                           << "Properties||r|- Name: Inventory|Inventory|r| Parameters||r|+" << "Parameters";
    QTest::newRow("editing Mode") << 4 << "Edit" << all << "Mode*";
    QTest::newRow("no edit on a read-only row") << 1 << "Edit" << all << "";
}

// The list pane is a tree to assistive technology: its children are the rows drawn, with
// label, value, editable or not and expanded or not, and their actions act on the grid.
void TestPropGrid::accessibleRows()
{
    QFETCH(int, row);
    QFETCH(QString, action);
    GridFixture f;
    CPropGridItem *props = f.group("props", "Properties");
    f.fixed("Name", props, "Inventory");
    auto *params = new CPropGridItem;
    params->SetLabel("Parameters");
    params->SetExpanded(true);
    f.grid->AddItem(params, props);
    f.edit("Power", params, "-12");
    f.edit("Mode", params, "1");
    QAccessibleInterface *pane = QAccessible::queryAccessibleInterface(f.list());
    QCOMPARE(pane->role(), QAccessible::Tree);
    if (row >= 0)
        pane->child(row)->actionInterface()->doAction(action);
    QStringList shown;
    for (int i = 0; i < pane->childCount(); ++i) {
        QAccessibleInterface *child = pane->child(i);
        const QAccessible::State state = child->state();
        QVERIFY(child->role() == QAccessible::TreeItem && pane->indexOfChild(child) == i && state.editable != state.readOnly);
        QCOMPARE(child->actionInterface()->actionNames().contains("Edit"), bool(state.editable));
        shown << child->text(QAccessible::Name) + "|" + child->text(QAccessible::Value) + "|"
                     + (state.editable ? "e" : "r") + "|" + (state.expanded ? "-" : state.collapsed ? "+" : "");
    }
    QTEST(shown.join(' '), "rows");
    CPropGridItem *focus = f.grid->GetFocusItem();
    QTEST(focus ? focus->GetLabel() + (focus->IsActivated() ? "*" : "") : QString(), "focused");
}

void TestPropGrid::removeAllDropsFocus()
{
    GridFixture f;
    BuildStandardTree(f);
    f.click(f.labelPoint(f.rows["E2"]));
    QCOMPARE(f.grid->GetFocusItem(), f.rows["E2"]);
    QCOMPARE(f.grid->GetInfoPane()->TitleText(), QString("E2"));

    QVERIFY(f.grid->RemoveItem(nullptr));
    QCOMPARE(f.grid->GetFocusItem(), nullptr);
    QCOMPARE(f.grid->GetRoot()->GetFirstChild(), nullptr);
    QCOMPARE(f.grid->GetVisibleHead(), nullptr);
    QCOMPARE(f.grid->GetInfoPane()->TitleText(), QString(PG_NO_FOCUS_TITLE));
    QCOMPARE(f.grid->GetInfoPane()->BodyText(), QString(PG_NO_FOCUS_TEXT));
    QCOMPARE(f.sink.count(PGN_ITEMREMOVING), 6);
    // Painting and a click where the rows were touch nothing that is gone.
    f.sink.notes.clear();
    f.grid->grab();
    f.click(QPoint(100, 30));
    QCOMPARE(f.sink.codes(), QList<int>{PGN_FOCUSCHANGED});
    QCOMPARE(f.sink.notes.first().item, nullptr);
}

void TestPropGrid::removalVeto_data()
{
    QTest::addColumn<QString>("vetoed");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("group vetoed: group and rows stay") << "G1" << QStringList{"G1", "E1", "S1", "E2"};
    QTest::newRow("a row vetoed: the group keeps it") << "S1" << QStringList{"G1", "S1"};
    QTest::newRow("no veto: all gone") << "" << QStringList{};
}

void TestPropGrid::removalVeto()
{
    QFETCH(QString, vetoed);
    QFETCH(QStringList, left);
    GridFixture f;
    BuildStandardTree(f);
    CPropGridItem *g1 = f.rows["G1"];
    CPropGridItem *refused = f.rows.value(vetoed);
    f.sink.veto = [refused](int code, CPropGridItem *item) {
        return qintptr(code == PGN_ITEMREMOVING && item == refused);
    };
    QCOMPARE(f.grid->RemoveItem(g1), left.isEmpty());

    QStringList remaining;
    f.grid->ForEachItem(f.grid->GetRoot(), [&](CPropGridItem *row) {
        if (row->GetParent() == g1 || row == g1)
            remaining << (row == g1 ? "G1" : row->GetLabel());
        return true;
    });
    QCOMPARE(remaining, left);
    // The other group is untouched and still drawn below what stayed.
    QCOMPARE(CountRows(f.grid), left.size() + 2);
    f.grid->grab();
    QCOMPARE(f.list()->rowAt(f.centreY(f.rows["G2"])), f.rows["G2"]);
}

void TestPropGrid::identifiersCountUp()
{
    GridFixture f;
    QList<int> ids;
    for (int i = 0; i < 3; ++i)
        ids << f.group(QString::number(i), "g")->GetItemId();
    QCOMPARE(ids, (QList<int>{1, 2, 3}));
    QCOMPARE(f.sink.count(PGN_ITEMADDED), 3);

    f.grid->RemoveItem(nullptr);
    QCOMPARE(f.group("again", "g")->GetItemId(), 4);
    f.grid->RemoveItem(nullptr);
    f.grid->SetNextItemId(1);
    QCOMPARE(f.group("reset", "g")->GetItemId(), 1);
    QCOMPARE(f.edit("child", f.rows["reset"], "x")->GetItemId(), 2);
    // Refused additions take no identifier.
    CPropGridItem *placed = f.rows["child"];
    QCOMPARE(f.grid->AddItem(placed), nullptr);
    QCOMPARE(f.grid->AddItem(nullptr), nullptr);
    QCOMPARE(f.grid->GetNextItemId(), 3);
}

void TestPropGrid::splitterLimits_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("fromRight"); // the expected position is width - this, if >= 0
    QTest::addColumn<int>("expected");
    QTest::newRow("5 gives 16") << 5 << -1 << 16;
    QTest::newRow("16 stays") << 16 << -1 << 16;
    QTest::newRow("middle stays") << 150 << -1 << 150;
    QTest::newRow("past the right edge") << 5000 << 16 << 0;
    QTest::newRow("just inside the limit") << -17 << 17 << 0;
    QTest::newRow("at the limit") << -16 << 16 << 0;
}

void TestPropGrid::splitterLimits()
{
    QFETCH(int, requested);
    QFETCH(int, fromRight);
    QFETCH(int, expected);
    GridFixture f;
    const int width = f.viewport()->width();
    if (requested < 0)
        requested += width;
    f.grid->SetSplitter(requested);
    QCOMPARE(f.grid->GetSplitter(), fromRight >= 0 ? width - fromRight : expected);
}

void TestPropGrid::splitterSurvivesHiddenFilling()
{
    // Filled before it is shown, as a window's initialisation does: the pane
    // has no real width yet, so that must not clamp the splitter.
    NotifySink sink;
    sink.resize(400, 500);
    auto *grid = new CPropGrid(&sink, PGS_NOTIFY);
    grid->setGeometry(0, 0, 400, 500);
    CPropGridItem *group = grid->AddItem(new CPropGridItem);
    grid->AddItem(new CPropGridItemEdit, group);
    grid->SetSplitter(200);
    sink.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sink));
    QCOMPARE(grid->GetSplitter(), 200);
    grid->resize(150, 500);
    QCOMPARE(grid->GetSplitter(), grid->GetListPane()->viewport()->width() - PG_MARGIN);
}

void TestPropGrid::withoutNotifyStyleNothingIsSentOrVetoed()
{
    GridFixture f(0);
    f.sink.veto = [](int, CPropGridItem *) { return qintptr(1); };
    BuildStandardTree(f);
    CPropGridItem *g2 = f.rows["G2"];
    f.click(f.buttonPoint(g2));
    QVERIFY(g2->IsExpanded());
    f.click(f.valuePoint(f.rows["E1"]));
    QVERIFY(f.rows["E1"]->IsActivated());
    QTest::keyClick(static_cast<CPropGridItemEdit *>(f.rows["E1"])->GetEditor(), Qt::Key_Return);
    QTest::keyClick(f.list(), Qt::Key_Tab);
    QTest::keyClick(f.list(), Qt::Key_Space);
    QVERIFY(f.grid->RemoveItem(f.rows["G1"]));
    QCOMPARE(CountRows(f.grid), 2);
    QVERIFY(f.sink.notes.isEmpty());
}

void TestPropGrid::forEachStops()
{
    GridFixture f;
    BuildStandardTree(f);
    QStringList seen;
    const bool finished = f.grid->ForEachItem(f.grid->GetRoot(), [&](CPropGridItem *row) {
        seen << row->GetLabel();
        return row != f.rows["E2"];
    });
    QVERIFY(!finished);
    QCOMPARE(seen, (QStringList{"First", "E1", "S1", "E2"}));
    QVERIFY(!f.grid->ForEachItem(nullptr, [](CPropGridItem *) { return true; }));
}

void TestPropGrid::shortContentDoesNotScroll()
{
    GridFixture f;
    BuildLongTree(f, 40);
    Wheel(f.viewport(), -120);
    QCOMPARE(f.grid->GetScrollY(), PG_ROW_HEIGHT);
    Wheel(f.viewport(), -1); // one line whatever the delta
    QCOMPARE(f.grid->GetScrollY(), 2 * PG_ROW_HEIGHT);

    for (int i = 3; i < 40; ++i)
        f.grid->RemoveItem(f.rows[QString("R%1").arg(i)]);
    QCOMPARE(f.grid->GetScrollY(), 0);
    Wheel(f.viewport(), -120);
    QCOMPARE(f.grid->GetScrollY(), 0);
    QCOMPARE(f.list()->rowAt(f.centreY(f.rows["G"])), f.rows["G"]);
}

void TestPropGrid::splitterGrab_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("dx");
    QTest::addColumn<bool>("grab");
    QTest::addColumn<QString>("focus"); // where the press lands when it is no grab
    QTest::newRow("nested row, right of the splitter") << "E1" << 3 << true << "";
    QTest::newRow("nested row, left of the splitter") << "E1" << -5 << true << "";
    QTest::newRow("nested row, 6 pixels off") << "E1" << 6 << false << "E1";
    QTest::newRow("top-level row, right of the splitter") << "G1" << 3 << false << "G1";
    QTest::newRow("top-level row, left of the splitter") << "G1" << -3 << false << "G1";
}

void TestPropGrid::splitterGrab()
{
    QFETCH(QString, row);
    QFETCH(int, dx);
    QFETCH(bool, grab);
    QFETCH(QString, focus);
    GridFixture f;
    BuildStandardTree(f);
    const QPoint at(f.grid->GetSplitter() + dx, f.centreY(f.rows[row]));
    QTest::mousePress(f.viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(f.list()->IsDragging(), grab);
    QCOMPARE(f.sink.count(PGN_SPLITTERGRAB), grab ? 1 : 0);
    QCOMPARE(f.grid->GetFocusItem(), f.rows.value(focus));
    // A grab on a top-level row never opens an editor; 6 pixels off on an
    // editable row is its value area.
    QCOMPARE(f.rows[row]->IsActivated(), dx == 6);
    QTest::mouseRelease(f.viewport(), Qt::LeftButton, {}, at);
}

void TestPropGrid::splitterRelease_data()
{
    QTest::addColumn<int>("releaseX");
    QTest::addColumn<bool>("vetoed");
    QTest::addColumn<int>("fromRight"); // expected = width - this, when >= 0
    QTest::addColumn<int>("expected");
    QTest::newRow("released at 3") << 3 << false << -1 << 16;
    QTest::newRow("released at 200") << 200 << false << -1 << 200;
    QTest::newRow("released past the right edge") << 1000 << false << 16 << 0;
    QTest::newRow("grab vetoed") << 200 << true << -1 << 150;
}

void TestPropGrid::splitterRelease()
{
    QFETCH(int, releaseX);
    QFETCH(bool, vetoed);
    QFETCH(int, fromRight);
    QFETCH(int, expected);
    GridFixture f;
    BuildStandardTree(f);
    f.sink.veto = [vetoed](int code, CPropGridItem *) { return qintptr(vetoed && code == PGN_SPLITTERGRAB); };
    CPropGridItemEdit *e1 = static_cast<CPropGridItemEdit *>(f.rows["E1"]);
    f.click(f.valuePoint(e1)); // an open editor follows the splitter
    const int y = f.centreY(e1);
    QTest::mousePress(f.viewport(), Qt::LeftButton, {}, QPoint(f.grid->GetSplitter(), y));
    QTest::mouseMove(f.viewport(), QPoint(releaseX / 2, y));
    if (!vetoed)
        QCOMPARE(f.list()->GetDragX(), releaseX / 2);
    QTest::mouseRelease(f.viewport(), Qt::LeftButton, {}, QPoint(releaseX, y));
    QVERIFY(!f.list()->IsDragging());
    const int want = fromRight >= 0 ? f.viewport()->width() - fromRight : expected;
    QCOMPARE(f.grid->GetSplitter(), want);
    QCOMPARE(e1->GetValueRect().left(), want + PG_SPLITTER_GRIP);
    QCOMPARE(e1->GetEditor()->geometry().left(), e1->GetValueRect().left());
}

void TestPropGrid::collapsingFocusedGroupDropsFocus()
{
    GridFixture f;
    BuildStandardTree(f);
    f.click(f.labelPoint(f.rows["S1"]));
    f.sink.notes.clear();
    f.click(f.buttonPoint(f.rows["G1"]));
    QVERIFY(!f.rows["G1"]->IsExpanded());
    QCOMPARE(f.sink.codes(), (QList<int>{PGN_EXPANDING, PGN_FOCUSCHANGED}));
    QCOMPARE(f.sink.notes.last().item, nullptr);
    QCOMPARE(f.grid->GetFocusItem(), nullptr);
    QVERIFY(!f.rows["S1"]->IsSelected());
    // Collapsing a group that does not hold the focus keeps it.
    f.click(f.labelPoint(f.rows["G1"]));
    f.click(f.buttonPoint(f.rows["G1"]));
    f.sink.notes.clear();
    f.click(f.buttonPoint(f.rows["G1"]));
    QCOMPARE(f.sink.codes(), QList<int>{PGN_EXPANDING});
    QCOMPARE(f.grid->GetFocusItem(), f.rows["G1"]);
}

void TestPropGrid::doubleClickOnLeafDoesNothing_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<bool>("onValue");
    QTest::addColumn<QList<int>>("codes");
    QTest::newRow("leaf label") << "E2" << false << QList<int>{};
    QTest::newRow("leaf value") << "E2" << true << QList<int>{};
    QTest::newRow("group label") << "G2" << false << QList<int>{PGN_FOCUSCHANGED, PGN_EXPANDING};
    QTest::newRow("group value") << "G2" << true << QList<int>{PGN_FOCUSCHANGED, PGN_EXPANDING};
}

void TestPropGrid::doubleClickOnLeafDoesNothing()
{
    QFETCH(QString, row);
    QFETCH(bool, onValue);
    QFETCH(QList<int>, codes);
    GridFixture f;
    BuildStandardTree(f);
    f.click(f.labelPoint(f.rows["E1"]));
    f.sink.notes.clear();
    // The double-click event alone, as it follows a press and a release.
    const QPoint at = onValue ? f.valuePoint(f.rows[row]) : f.labelPoint(f.rows[row]);
    QTest::mouseDClick(f.viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(f.sink.codes(), codes);
    QCOMPARE(f.grid->GetFocusItem(), codes.isEmpty() ? f.rows["E1"] : f.rows[row]);
    QVERIFY(!f.rows[row]->IsActivated());
    QCOMPARE(f.rows["G2"]->IsExpanded(), row == "G2");
}

void TestPropGrid::scrollSteps_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("pageSteps"); // expected move in pages (client height + 1)
    QTest::addColumn<int>("lineSteps"); // and in lines (21)
    QTest::newRow("page down") << int(QAbstractSlider::SliderPageStepAdd) << 0 << 1 << 0;
    QTest::newRow("page up") << int(QAbstractSlider::SliderPageStepSub) << 400 << -1 << 0;
    QTest::newRow("line down") << int(QAbstractSlider::SliderSingleStepAdd) << 0 << 0 << 1;
    QTest::newRow("line up") << int(QAbstractSlider::SliderSingleStepSub) << 400 << 0 << -1;
}

void TestPropGrid::scrollSteps()
{
    QFETCH(int, action);
    QFETCH(int, start);
    QFETCH(int, pageSteps);
    QFETCH(int, lineSteps);
    GridFixture f;
    BuildLongTree(f, 60);
    const int page = f.viewport()->height() + 1;
    QScrollBar *bar = f.list()->verticalScrollBar();
    QCOMPARE(bar->maximum(), f.grid->ContentHeight() - page);
    bar->setValue(start);
    QCOMPARE(f.grid->GetScrollY(), start);
    bar->triggerAction(QAbstractSlider::SliderAction(action));
    QCOMPARE(f.grid->GetScrollY(), start + pageSteps * page + lineSteps * PG_ROW_HEIGHT);
    QVERIFY(f.list()->hasFocus());
    // Hit-testing follows the offset.
    CPropGridItem *top = f.list()->rowAt(PG_FRAME);
    QVERIFY(top);
    QVERIFY(top->GetPosY() <= f.grid->GetScrollY() + PG_FRAME);
    QVERIFY(top->GetPosY() + PG_ROW_HEIGHT > f.grid->GetScrollY() + PG_FRAME);
}

void TestPropGrid::keyboard_data()
{
    QTest::addColumn<QString>("focus");     // "" for none
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("vetoExpanding");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QString>("focusAfter");
    QTest::addColumn<QString>("expandedAfter"); // groups expanded afterwards
    QTest::addColumn<bool>("editing");          // the focused row's editor is open

    const QList<int> none;
    const QList<int> moved{PGN_FOCUSCHANGED};
    const QList<int> send{PGN_SENDCOMMAND};
    QTest::newRow("Tab") << "E1" << int(Qt::Key_Tab) << false << QList<int>{PGN_TABOUT} << "E1" << "G1" << false;
    QTest::newRow("Escape") << "E1" << int(Qt::Key_Escape) << false << QList<int>{PGN_ESCAPE} << "E1" << "G1" << false;
    QTest::newRow("Enter, no focus") << "" << int(Qt::Key_Return) << false << send << "" << "G1" << false;
    QTest::newRow("Enter, group") << "G1" << int(Qt::Key_Return) << false << send << "G1" << "G1" << false;
    QTest::newRow("Enter, read-only") << "S1" << int(Qt::Key_Return) << false << send << "S1" << "G1" << false;
    QTest::newRow("Enter, editable") << "E1" << int(Qt::Key_Return) << false << none << "E1" << "G1" << true;
    QTest::newRow("keypad Enter, editable") << "E2" << int(Qt::Key_Enter) << false << none << "E2" << "G1" << true;
    QTest::newRow("Space, editable") << "E1" << int(Qt::Key_Space) << false << send << "E1" << "G1" << false;
    QTest::newRow("Home") << "E2" << int(Qt::Key_Home) << false << moved << "G1" << "G1" << false;
    QTest::newRow("End") << "E1" << int(Qt::Key_End) << false << moved << "G2" << "G1" << false;
    QTest::newRow("Up") << "S1" << int(Qt::Key_Up) << false << moved << "E1" << "G1" << false;
    QTest::newRow("Up at the first row") << "G1" << int(Qt::Key_Up) << false << none << "G1" << "G1" << false;
    QTest::newRow("Up, no focus") << "" << int(Qt::Key_Up) << false << moved << "G2" << "G1" << false;
    QTest::newRow("Down") << "E1" << int(Qt::Key_Down) << false << moved << "S1" << "G1" << false;
    QTest::newRow("Down at the last row") << "G2" << int(Qt::Key_Down) << false << none << "G2" << "G1" << false;
    QTest::newRow("Down, no focus") << "" << int(Qt::Key_Down) << false << moved << "G1" << "G1" << false;
    QTest::newRow("Left collapses") << "G1" << int(Qt::Key_Left) << false << QList<int>{PGN_EXPANDING} << "G1" << "" << false;
    QTest::newRow("Left vetoed is Up") << "E2" << int(Qt::Key_Left) << true << moved << "S1" << "G1" << false;
    QTest::newRow("Left on a leaf is Up") << "S1" << int(Qt::Key_Left) << false << moved << "E1" << "G1" << false;
    QTest::newRow("Right expands") << "G2" << int(Qt::Key_Right) << false << QList<int>{PGN_EXPANDING} << "G2" << "G1,G2" << false;
    QTest::newRow("Right vetoed is Down") << "G2" << int(Qt::Key_Right) << true << QList<int>{PGN_EXPANDING} << "G2" << "G1" << false;
    QTest::newRow("Right on a leaf is Down") << "E2" << int(Qt::Key_Right) << false << moved << "G2" << "G1" << false;
    QTest::newRow("other key") << "E1" << int(Qt::Key_A) << false << none << "E1" << "G1" << false;
}

void TestPropGrid::keyboard()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(bool, vetoExpanding);
    QFETCH(QList<int>, codes);
    QFETCH(QString, focusAfter);
    QFETCH(QString, expandedAfter);
    QFETCH(bool, editing);
    GridFixture f;
    BuildStandardTree(f);
    if (!focus.isEmpty())
        f.click(f.labelPoint(f.rows[focus]));
    f.sink.notes.clear();
    f.sink.veto = [vetoExpanding](int code, CPropGridItem *) {
        return qintptr(vetoExpanding && code == PGN_EXPANDING);
    };
    QTest::keyClick(f.list(), Qt::Key(key));

    QCOMPARE(f.sink.codes(), codes);
    QCOMPARE(f.grid->GetFocusItem(), f.rows.value(focusAfter));
    QStringList expanded;
    for (const QString &group : {QString("G1"), QString("G2")})
        if (f.rows[group]->IsExpanded())
            expanded << group;
    QCOMPARE(expanded.join(','), expandedAfter);
    CPropGridItem *focused = f.grid->GetFocusItem();
    QCOMPARE(focused && focused->IsActivated(), editing);
    if (editing)
        QVERIFY(static_cast<CPropGridItemEdit *>(focused)->GetEditor()->hasFocus());
    for (const NotifySink::Note &note : f.sink.notes)
        if (note.code == PGN_FOCUSCHANGED)
            QCOMPARE(note.item, f.grid->GetFocusItem());
}

QTEST_MAIN(TestPropGrid)
#include "tst_propgrid.moc"
