#include "app/DialogHeader.h"
#include "res/AppIcon.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

class tst_DialogHeader : public QObject
{
    Q_OBJECT

private slots:
    void height_data();
    void height();
    void textPlaces_data();
    void textPlaces();
    void ellipsis_data();
    void ellipsis();
    void childrenMoveDown();
};

void tst_DialogHeader::height_data()
{
    QTest::addColumn<int>("iconSize");
    QTest::addColumn<int>("descFontSize");
    QTest::addColumn<int>("startHeight");
    QTest::addColumn<int>("expected");
    QTest::newRow("defaults, 32-pixel icon") << 32 << 13 << 60 << 60;
    QTest::newRow("40-pixel description") << 32 << 40 << 60 << 68;
    QTest::newRow("48-pixel icon over a low start") << 48 << 13 << 20 << 59;
    QTest::newRow("text minimum over a low start") << 16 << 13 << 0 << 41;
}

void tst_DialogHeader::height()
{
    QFETCH(int, iconSize);
    QFETCH(int, descFontSize);
    QFETCH(int, startHeight);
    QFETCH(int, expected);
    QDialog dialog;
    dialog.resize(400, 300);
    auto *header = new CDialogHeader;
    header->SetIcon(ApplicationIcon());
    header->iconWidth = iconSize;
    header->iconHeight = iconSize;
    header->descFontSize = descFontSize;
    header->headerHeight = startHeight;
    header->AttachToDialog(&dialog);
    QCOMPARE(header->headerHeight, expected);
    QCOMPARE(header->height(), expected);
    QCOMPARE(dialog.height(), 300 + expected);
    QCOMPARE(header->parentWidget(), &dialog);
    QCOMPARE(header->geometry().topLeft(), QPoint(-1, -1));
}

void tst_DialogHeader::textPlaces_data()
{
    QTest::addColumn<bool>("withIcon");
    QTest::addColumn<int>("reserve");
    QTest::addColumn<int>("titleLeft");
    QTest::addColumn<int>("descLeft");
    QTest::newRow("icon") << true << 1 << 47 << 57;
    QTest::newRow("no icon, space kept") << false << 1 << 47 << 57;
    QTest::newRow("no icon, no space") << false << 0 << 10 << 20;
}

void tst_DialogHeader::textPlaces()
{
    QFETCH(bool, withIcon);
    QFETCH(int, reserve);
    QFETCH(int, titleLeft);
    QFETCH(int, descLeft);
    QDialog dialog;
    dialog.resize(400, 300);
    auto *header = new CDialogHeader;
    header->iconWidth = 32;
    header->iconHeight = 32;
    header->reserveIconSpace = reserve;
    if (withIcon)
        header->SetIcon(ApplicationIcon());
    header->AttachToDialog(&dialog);
    const QRect client = header->ClientRect();
    QCOMPARE(header->TitleRect().left() - client.left(), titleLeft);
    QCOMPARE(header->DescriptionRect().left() - client.left(), descLeft);
    QCOMPARE(header->TitleRect().top() - client.top(), 5);
    QCOMPARE(header->TitleRect().height(), 15);
    QCOMPARE(header->DescriptionRect().top(), header->TitleRect().bottom() + 1);
    QCOMPARE(header->DescriptionRect().bottom(), client.bottom());
}

void tst_DialogHeader::ellipsis_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("elided");
    QTest::newRow("short title whole") << "Ondo Device Test Tool" << false;
    QTest::newRow("long title with spaces") << QString("Ondo Device Test Tool ").repeated(20) << true;
    QTest::newRow("one long word") << QString("X").repeated(400) << true;
}

void tst_DialogHeader::ellipsis()
{
    QFETCH(QString, title);
    QFETCH(bool, elided);
    QDialog dialog;
    dialog.resize(400, 300);
    auto *header = new CDialogHeader;
    header->SetTitle(title);
    header->AttachToDialog(&dialog);
    const QRect rect = header->TitleRect();
    const QStringList lines = WrapWithEllipsis(title, header->TitleFont(), rect.width(), rect.height());
    QCOMPARE(lines.size(), 1);
    QFontMetrics metrics(header->TitleFont());
    QVERIFY(metrics.horizontalAdvance(lines.first()) <= rect.width());
    QCOMPARE(lines.first().endsWith(QChar(0x2026)), elided);
    if (!elided)
        QCOMPARE(lines.first(), title);
}

void tst_DialogHeader::childrenMoveDown()
{
    QDialog dialog;
    dialog.resize(500, 400);
    QList<QWidget *> children;
    children << new QLabel(QStringLiteral("Select by Port"), &dialog);
    children << new QPushButton(QStringLiteral("Open Port"), &dialog);
    auto *hidden = new QPushButton(QStringLiteral("Save As..."), &dialog);
    hidden->hide();
    children << hidden;
    QList<QPoint> before;
    for (int i = 0; i < children.size(); ++i) {
        children.at(i)->move(10 + 20 * i, 7 + 30 * i);
        before << children.at(i)->pos();
    }
    auto *header = new CDialogHeader;
    header->iconWidth = 32;
    header->iconHeight = 32;
    header->AttachToDialog(&dialog);
    header->ShiftDialogChildren(&dialog);
    QCOMPARE(dialog.height(), 460);
    QCOMPARE(header->pos(), QPoint(-1, -1));
    for (int i = 0; i < children.size(); ++i)
        QCOMPARE(children.at(i)->pos(), before.at(i) + QPoint(0, 60));
    QVERIFY(hidden->isHidden());
}

QTEST_MAIN(tst_DialogHeader)
#include "tst_dialogheader.moc"
