// Rows of the property grid: value formats, password masking, the
// commit-once rule of the in-place editor, and the group row's drawing.
#include "tests/controls/grid/PropGridTestKit.h"

#include <QImage>
#include <QLineEdit>

class TestPropGridRows : public QObject
{
    Q_OBJECT
private slots:
    void formats_data();
    void formats();
    void passwordMasksRowAndEditor();
    void commitsOnce_data();
    void commitsOnce();
    void spaceCommitsWithoutSpace();
    void bareGroupDrawsBandAndButtonOnly_data();
    void bareGroupDrawsBandAndButtonOnly();
};

void TestPropGridRows::formats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QVariant>("readBack");

    QTest::newRow("integer") << int(CPropGridItemEdit::FormatInteger) << QVariant(42) << "42" << "7x" << QVariant(7);
    QTest::newRow("negative integer") << int(CPropGridItemEdit::FormatInteger) << QVariant(-5) << "-5" << "-12x3" << QVariant(-12);
    QTest::newRow("integer without digits") << int(CPropGridItemEdit::FormatInteger) << QVariant(1) << "1" << "x7" << QVariant(0);
    QTest::newRow("float") << int(CPropGridItemEdit::FormatFloat) << QVariant(1.5f) << "1.500000" << "2.25dB" << QVariant(2.25f);
    QTest::newRow("text") << int(CPropGridItemEdit::FormatText) << QVariant(QString("abc")) << "abc" << "a,b=c" << QVariant(QString("a,b=c"));
}

void TestPropGridRows::formats()
{
    QFETCH(int, format);
    QFETCH(QVariant, value);
    QFETCH(QString, shown);
    QFETCH(QString, typed);
    QFETCH(QVariant, readBack);

    GridFixture f;
    CPropGridItem *group = f.group("g", "Group");
    auto *row = new CPropGridItemEdit;
    row->SetFormat(CPropGridItemEdit::Format(format));
    row->SetValue(value);
    f.grid->AddItem(row, group);
    QCOMPARE(row->GetValueText(), shown);

    // Through the real editor: it opens with the shown text, all selected.
    f.click(f.valuePoint(row));
    QLineEdit *editor = row->GetEditor();
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->text(), shown);
    QCOMPARE(editor->selectedText(), shown);
    QTest::keyClicks(editor, typed);
    QCOMPARE(editor->text(), typed);
    QTest::keyClick(editor, Qt::Key_Return);
    QVERIFY(!editor->isVisible());
    QCOMPARE(row->GetValueText(), typed);
    QCOMPARE(row->GetValue(), readBack);
}

void TestPropGridRows::passwordMasksRowAndEditor()
{
    GridFixture f;
    CPropGridItem *group = f.group("g", "Group");
    CPropGridItemEdit *secret = f.edit("secret", group, "abc");
    secret->SetPasswordMode(true);
    CPropGridItemEdit *stars = f.edit("stars", group, "***");
    CPropGridItemEdit *longer = f.edit("longer", group, "abcd");
    longer->SetPasswordMode(true);

    // The value areas of the three rows, drawn: "abc" masked must look
    // exactly like a literal "***", and unlike four stars.
    const QImage image = f.viewport()->grab().toImage();
    auto valueImage = [&](CPropGridItemEdit *row) { return image.copy(row->GetValueRect()); };
    QCOMPARE(valueImage(secret), valueImage(stars));
    QVERIFY(valueImage(longer) != valueImage(stars));

    f.click(f.valuePoint(secret));
    QLineEdit *editor = secret->GetEditor();
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->text(), QString("abc"));
    QCOMPARE(editor->displayText(), QString("***"));
    QTest::keyClick(editor, Qt::Key_End);
    QTest::keyClicks(editor, "de");
    QCOMPARE(editor->displayText(), QString("*****"));
}

void TestPropGridRows::commitsOnce_data()
{
    QTest::addColumn<bool>("pressEnter");
    QTest::newRow("Enter, then a click elsewhere") << true;
    QTest::newRow("a click elsewhere only") << false;
}

void TestPropGridRows::commitsOnce()
{
    QFETCH(bool, pressEnter);
    GridFixture f;
    CPropGridItem *group = f.group("g", "Group");
    CPropGridItemEdit *first = f.edit("first", group, "1");
    CPropGridItemEdit *second = f.edit("second", group, "2");

    f.click(f.valuePoint(first));
    QLineEdit *editor = first->GetEditor();
    QVERIFY(editor && editor->hasFocus());
    QTest::keyClicks(editor, "55");
    if (pressEnter) {
        QTest::keyClick(editor, Qt::Key_Return);
        QCOMPARE(f.sink.count(PGN_VALUECOMMITTED), 1);
        QVERIFY(f.list()->hasFocus());
        // Enter ends in the editor: the list pane does not reopen it.
        QVERIFY(!first->IsActivated());
        QCOMPARE(f.sink.count(PGN_SENDCOMMAND), 0);
    }
    f.click(f.labelPoint(second));
    QCOMPARE(f.sink.count(PGN_VALUECOMMITTED), 1);
    QCOMPARE(first->GetValueText(), QString("55"));
    QCOMPARE(f.grid->GetFocusItem(), second);
    QVERIFY(!editor->isVisible());
    for (const NotifySink::Note &note : f.sink.notes)
        if (note.code == PGN_VALUECOMMITTED)
            QCOMPARE(note.item, first);
}

void TestPropGridRows::spaceCommitsWithoutSpace()
{
    GridFixture f;
    CPropGridItem *group = f.group("g", "Group");
    CPropGridItemEdit *row = f.edit("row", group, "old");
    f.click(f.valuePoint(row));
    f.sink.notes.clear();
    QTest::keyClicks(row->GetEditor(), "ab");
    // Keys the editor does not use stay in it: no pane action, no commit.
    QTest::keyClick(row->GetEditor(), Qt::Key_Escape);
    QTest::keyClick(row->GetEditor(), Qt::Key_Tab);
    QVERIFY(row->IsActivated());
    QVERIFY(f.sink.notes.isEmpty());
    QTest::keyClick(row->GetEditor(), Qt::Key_Space);
    QCOMPARE(row->GetValueText(), QString("ab"));
    QCOMPARE(f.sink.count(PGN_VALUECOMMITTED), 1);
    QVERIFY(!row->GetEditor()->isVisible());
    // Space in the editor commits only; sending is the list pane's Space.
    QCOMPARE(f.sink.count(PGN_SENDCOMMAND), 0);
}

void TestPropGridRows::bareGroupDrawsBandAndButtonOnly_data()
{
    QTest::addColumn<bool>("expanded");
    QTest::newRow("collapsed: plus") << false;
    QTest::newRow("expanded: minus") << true;
}

void TestPropGridRows::bareGroupDrawsBandAndButtonOnly()
{
    QFETCH(bool, expanded);
    GridFixture f;
    CPropGridItem *group = f.group("g", QString(), expanded);
    f.edit("child", group, "value");
    f.grid->SetSplitter(120);

    const QImage image = f.viewport()->grab().toImage();
    const QPalette &pal = f.grid->palette();
    const QRgb face = pal.color(QPalette::Button).rgb();
    const QRgb shadow = pal.color(QPalette::Dark).rgb();
    const QRgb black = QColor(Qt::black).rgb();
    const QRect inner = f.list()->InnerRect();
    const QRect band = f.list()->rowRect(group) & inner;
    QVERIFY(!band.isEmpty());

    // Every pixel of the row is the band, the button's outline or its bars:
    // no label, no selection, no splitter groove, no value.
    int blacks = 0;
    for (int y = band.top(); y <= band.bottom(); ++y)
        for (int x = band.left(); x <= band.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            QVERIFY2(pixel == face || pixel == shadow || pixel == black,
                     qPrintable(QString("pixel %1,%2 is %3").arg(x).arg(y).arg(pixel, 0, 16)));
            blacks += pixel == black;
        }
    // Plus sign: two 5-pixel bars crossing; minus: one bar.
    QCOMPARE(blacks, expanded ? 5 : 9);
    const QPoint centre = group->GetExpandRect().topLeft()
                          + QPoint(PG_EXPAND_BAR_MID, PG_EXPAND_BAR_MID - f.grid->GetScrollY());
    QCOMPARE(image.pixel(centre), black);
    QCOMPARE(image.pixel(centre + QPoint(0, -2)) == black, !expanded);
}

QTEST_MAIN(TestPropGridRows)
#include "tst_propgrid_rows.moc"
