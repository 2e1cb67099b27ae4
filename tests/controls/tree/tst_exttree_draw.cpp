// CExtTree drawing and tooltips, checked on rendered pixels.

#include "tests/controls/tree/ExtTreeRecorder.h"
#include "controls/common/ReadableColours.h"

#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QtTest>

namespace {

CTreeImageList redImages()
{
    CTreeImageList images(QSize(16, 16));
    QPixmap red(16, 16);
    red.fill(Qt::red);
    images.add(red);
    return images;
}

struct View
{
    CTreeRecorder parent;
    CExtTree *tree;

    explicit View(int treeWidth = 300, int parentWidth = 300)
    {
        parent.resize(parentWidth, 300);
        tree = new CExtTree(&parent, 1001);
        parent.tree = tree;
        tree->setFrameShape(QFrame::NoFrame);
        tree->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        tree->setGeometry(0, 0, treeWidth, 300);
        tree->Initialize(redImages());
    }
    void show()
    {
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
    }
    QImage render() { return tree->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

// Columns of `rect` in `img` holding at least one pixel of `colour`.
int columnsWith(const QImage &img, const QRect &rect, QColor colour, int *rightmost = nullptr)
{
    int n = 0;
    if (rightmost)
        *rightmost = -1;
    for (int x = std::max(0, rect.left()); x <= std::min(img.width() - 1, rect.right()); ++x)
        for (int y = std::max(0, rect.top()); y <= std::min(img.height() - 1, rect.bottom()); ++y)
            if (img.pixel(x, y) == colour.rgb()) {
                ++n;
                if (rightmost)
                    *rightmost = x;
                break;
            }
    return n;
}

// Rightmost column of `rect` holding a pixel that is not `background`.
int rightmostInk(const QImage &img, const QRect &rect, QColor background)
{
    int right = -1;
    for (int x = std::max(0, rect.left()); x <= std::min(img.width() - 1, rect.right()); ++x)
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            if (img.pixel(x, y) != background.rgb())
                right = x;
    return right;
}

// A point on the start of an item's label, inside the viewport.
QPoint onLabel(CExtTree *tree, QTreeWidgetItem *item)
{
    return QPoint(tree->labelRect(item).left() + 2, tree->rowRect(item).center().y());
}

} // namespace

class TestExtTreeDraw : public QObject
{
    Q_OBJECT

private slots:
    void textRightOfDrawnItem_data();
    void textRightOfDrawnItem();
    void selectionBoxSpansText_data();
    void selectionBoxSpansText();
    void itemWithoutRecordShowsNoText();
    void noImageMovesLabelLeft();
    void tipAtRightEdge_data();
    void tipAtRightEdge();
    void tipCutAt78_data();
    void tipCutAt78();
    void tipWidth_data();
    void tipWidth();
    void parentSuppressesTips();
    void stripsFollowResize();
};

void TestExtTreeDraw::textRightOfDrawnItem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("bold");
    QTest::newRow("plain") << "inventory" << false;
    QTest::newRow("bold") << "inventory" << true;
    QTest::newRow("ampersands kept") << "a&&b&c" << false;
    QTest::newRow("angle brackets kept") << "<b>x</b> & <i>" << false;
}

void TestExtTreeDraw::textRightOfDrawnItem()
{
    QFETCH(QString, text);
    QFETCH(bool, bold);
    View v;
    QTreeWidgetItem *item = v.tree->InsertItem(text, 0, 0);
    v.tree->InsertItem("other", 0, 0);
    v.tree->SetItemFont(item, bold, false, false, false);
    v.show();
    const QImage img = v.render();

    QFont font = v.tree->font();
    font.setBold(bold);
    const QRect label = v.tree->labelRect(item);
    const int expected = label.left() + QFontMetrics(font).horizontalAdvance(text);
    QCOMPARE(v.tree->GetItemRecord(item)->textRight, expected);
    // The ink reaches the measured end: nothing of the text was eaten as mark-up.
    const int ink = rightmostInk(img, label, v.tree->windowColour());
    QVERIFY2(ink >= expected - 4 && ink < expected + 2,
             qPrintable(QString("ink ends at %1, text at %2").arg(ink).arg(expected)));
}

void TestExtTreeDraw::selectionBoxSpansText_data()
{
    QTest::addColumn<bool>("focus");
    QTest::newRow("with focus") << true;
    QTest::newRow("without focus") << false;
}

void TestExtTreeDraw::selectionBoxSpansText()
{
    QFETCH(bool, focus);
    View v;
    auto *other = new QWidget(&v.parent);
    other->setFocusPolicy(Qt::StrongFocus);
    other->setGeometry(0, 280, 10, 10);
    v.tree->InsertItem("first", 0, 0);
    QTreeWidgetItem *item = v.tree->InsertItem("selected text", 0, 0);
    v.show();
    v.parent.activateWindow();
    if (!QTest::qWaitForWindowActive(&v.parent))
        QSKIP("the platform gives no window the focus");
    QVERIFY(v.tree->SelectItem(item));
    (focus ? static_cast<QWidget *>(v.tree) : other)->setFocus();
    QTRY_COMPARE(v.tree->hasFocus(), focus);
    const QImage img = v.render();

    const QColor box = focus ? v.tree->selectionColour() : v.tree->inactiveSelectionColour();
    const QColor wrong = focus ? v.tree->inactiveSelectionColour() : v.tree->selectionColour();
    QVERIFY(focus || ContrastRatio(box, v.tree->inactiveSelectionTextColour()) >= MIN_CONTRAST);   // unfocused reads
    const int textRight = v.tree->GetItemRecord(item)->textRight;
    const QRect row = v.tree->rowRect(item);
    const QRect label = v.tree->labelRect(item);
    int right = -1;
    const int boxColumns = columnsWith(img, row, box, &right);
    QCOMPARE(right, textRight - 1);                           // ends with the text
    QCOMPARE(boxColumns, textRight - label.left());           // and has no gaps from its start
    if (wrong != box)   // a palette may give the selection one colour with and without focus
        QCOMPARE(columnsWith(img, row, wrong), 0);
    QVERIFY(textRight < row.right() - 10);
    QCOMPARE(QColor(img.pixel(textRight + 5, row.center().y())), v.tree->windowColour());
}

void TestExtTreeDraw::itemWithoutRecordShowsNoText()
{
    View v;
    v.tree->InsertItem("recorded", 0, 0);
    auto *bare = new QTreeWidgetItem(v.tree, QStringList{QStringLiteral("WWWWWWWW")});
    v.show();
    const QImage img = v.render();
    QVERIFY(!v.tree->GetItemRecord(bare));
    const QRect label = v.tree->labelRect(bare);
    QVERIFY(label.width() > 50);
    QCOMPARE(rightmostInk(img, label, v.tree->windowColour()), -1);
    // The recorded item next to it does show ink in the same place.
    QVERIFY(rightmostInk(img, v.tree->labelRect(v.tree->topLevelItem(0)), v.tree->windowColour()) > 0);
}

void TestExtTreeDraw::noImageMovesLabelLeft()
{
    View v;
    QTreeWidgetItem *withImage = v.tree->InsertItem("same text", 0, 0);
    QTreeWidgetItem *without = v.tree->InsertItem("same text", NO_IMAGE, NO_IMAGE);
    v.show();
    const QImage img = v.render();
    const int imageWidth = v.tree->imageList().image(0).width();
    QCOMPARE(imageWidth, 16);
    QCOMPARE(v.tree->GetItemRecord(without)->textRight,
             v.tree->GetItemRecord(withImage)->textRight - imageWidth);
    QCOMPARE(v.tree->labelRect(without).left(), v.tree->labelRect(withImage).left() - imageWidth);
    QVERIFY(columnsWith(img, v.tree->rowRect(withImage), Qt::red) == imageWidth);
    QCOMPARE(columnsWith(img, v.tree->rowRect(without), Qt::red), 0);
}

void TestExtTreeDraw::tipAtRightEdge_data()
{
    QTest::addColumn<int>("slack"); // viewport width - textRight
    QTest::addColumn<bool>("tip");
    QTest::newRow("ends at right edge - 3") << 3 << false;
    QTest::newRow("one pixel further") << 2 << true;
    QTest::newRow("well inside") << 40 << false;
    QTest::newRow("past the edge") << -30 << true;
}

void TestExtTreeDraw::tipAtRightEdge()
{
    QFETCH(int, slack);
    QFETCH(bool, tip);
    View v;
    QTreeWidgetItem *item = v.tree->InsertItem("a command name that is rather long", 0, 0);
    v.show();
    v.render();
    const int textRight = v.tree->GetItemRecord(item)->textRight;
    v.tree->resize(textRight + slack, v.tree->height());
    v.render();
    QCOMPARE(v.tree->viewport()->width(), textRight + slack);
    QCOMPARE(v.tree->GetItemRecord(item)->textRight, textRight);

    QString text;
    const QPoint pos = onLabel(v.tree, item);
    QCOMPARE(v.tree->OnToolTipText(pos, text), tip);
    QCOMPARE(text, tip ? item->text(0) : QString());

    // Through the view's own tooltip request as well.
    QHelpEvent help(QEvent::ToolTip, pos, v.tree->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(v.tree->viewport(), &help);
    QCOMPARE(v.tree->toolTipWidget()->isVisible(), tip);
    if (tip)
        QCOMPARE(v.tree->toolTipWidget()->text().replace('\n', ' '), item->text(0));
}

void TestExtTreeDraw::tipCutAt78_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("100 characters") << 100;
    QTest::newRow("79 characters") << 79;
    QTest::newRow("78 characters") << 78;
}

void TestExtTreeDraw::tipCutAt78()
{
    QFETCH(int, length);
    View v(200, 400);
    QString text;
    for (int i = 0; i < length; ++i)
        text += QChar('a' + i % 26);
    QTreeWidgetItem *item = v.tree->InsertItem(text, 0, 0);
    v.show();
    v.render();
    QString tip;
    QVERIFY(v.tree->OnToolTipText(onLabel(v.tree, item), tip));
    QCOMPARE(tip, text.left(std::min(length, CExtTree::TIP_MAX_CHARS)));
}

void TestExtTreeDraw::tipWidth_data()
{
    QTest::addColumn<int>("treeWidth");
    QTest::addColumn<int>("parentWidth");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("label");
    const QString words = QString("word ").repeated(15).trimmed();
    const QString oneWord = QString("abcdefghij").repeated(7);
    QTest::newRow("400 wide") << 400 << 600 << 300 << words;
    QTest::newRow("240 wide: half the parent") << 240 << 600 << 300 << words;
    QTest::newRow("240 wide, narrower parent") << 240 << 300 << 150 << words;
    QTest::newRow("exactly 200 at three quarters") << 267 << 900 << 200 << words;
    QTest::newRow("a word wider than the tip") << 240 << 300 << 150 << oneWord;
    QTest::newRow("a wide word among short ones") << 240 << 300 << 150 << "set " + oneWord.left(40) + " to on";
}

// The tip's lines are as wide as the tip allows (never one word a line when more fit), no
// line is wider than the tip, and together they hold the whole text.
void TestExtTreeDraw::tipWidth()
{
    QFETCH(int, treeWidth);
    QFETCH(int, parentWidth);
    QFETCH(int, expected);
    QFETCH(QString, label);
    View v(treeWidth, parentWidth);
    QTreeWidgetItem *item = v.tree->InsertItem(label, 0, 0);
    v.show();
    v.render();
    QCOMPARE(v.tree->ComputeTipWidth(), expected);

    const QPoint pos = onLabel(v.tree, item);
    QHelpEvent help(QEvent::ToolTip, pos, v.tree->viewport()->mapToGlobal(pos));
    QCoreApplication::sendEvent(v.tree->viewport(), &help);
    QLabel *tip = v.tree->toolTipWidget();
    QVERIFY(tip->isVisible());
    QVERIFY(tip->width() <= expected);
    const QStringList lines = tip->text().split('\n');
    const QFontMetrics metrics(tip->font());
    const int room = tip->contentsRect().width() - 2 * tip->margin();
    QString joined;
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(metrics.horizontalAdvance(lines[i]) <= room, qPrintable(lines[i]));
        // The next line's first word did not fit on this one.
        if (i + 1 < lines.size()) {
            const QString next = lines[i] + ' ' + lines[i + 1].section(' ', 0, 0);
            QVERIFY2(metrics.horizontalAdvance(next) > room, qPrintable(next));
        }
        joined += lines[i];
    }
    QCOMPARE(QString(joined).remove(' '), QString(label.left(CExtTree::TIP_MAX_CHARS)).remove(' '));
}

void TestExtTreeDraw::parentSuppressesTips()
{
    View v(120);
    v.parent.tipAnswer = 1;
    QList<QTreeWidgetItem *> items;
    for (int i = 0; i < 4; ++i)
        items << v.tree->InsertItem(QString("long command text number %1").arg(i), 0, 0);
    v.show();
    v.render();
    for (QTreeWidgetItem *item : items) {
        QString text;
        QVERIFY(!v.tree->OnToolTipText(onLabel(v.tree, item), text));
        QVERIFY(text.isEmpty());
    }
    const auto asked = v.parent.notesOf(WM_EXTTREE_DISPLAY_TOOLTIP);
    QCOMPARE(asked.size(), items.size());
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(asked[i].item, items[i]);

    v.parent.tipAnswer = 0;
    QString text;
    QVERIFY(v.tree->OnToolTipText(onLabel(v.tree, items[0]), text));
}

void TestExtTreeDraw::stripsFollowResize()
{
    View v;
    for (int i = 0; i < 40; ++i)
        v.tree->InsertItem(QString::number(i), 0, 0);
    v.tree->resize(300, 100);
    v.show();
    v.render();
    const int rowHeight = v.tree->rowRect(v.tree->topLevelItem(0)).height();
    QCOMPARE(v.tree->toolCount(), 100 / rowHeight);
    const int inits = v.parent.notesOf(WM_EXTTREE_INIT_TOOLTIP).size();
    QVERIFY(inits >= 1);

    v.tree->resize(300, 250);
    v.render();
    QCOMPARE(v.tree->toolCount(), 250 / rowHeight);
    QCOMPARE(v.tree->toolStrip(CExtTree::TIP_FIRST_TOOL_ID + 1),
             QRect(0, rowHeight, 300, rowHeight));
    QVERIFY(v.parent.notesOf(WM_EXTTREE_INIT_TOOLTIP).size() > inits);
}

QTEST_MAIN(TestExtTreeDraw)
#include "tst_exttree_draw.moc"
