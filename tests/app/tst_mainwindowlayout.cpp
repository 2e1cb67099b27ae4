// The main window's layout: every control of template 102 at its converted place (under
// the banner), hidden ones hidden, and resizing moving only the log's right and bottom
// edges and "Clear".

#include "tests/support/IsolatedWindow.h"
#include "app/ControlTextFit.h"
#include "app/RFID_LorixDlg.h"
#include "app/SettingsStore.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"

#include <QTest>

#include <memory>

class TestMainWindowLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void templateControls();
    void resizeMovesOnlyLogAndClear_data();
    void resizeMovesOnlyLogAndClear();

private:
    IsolatedShownWindow m_shown;
};

void TestMainWindowLayout::init()
{
    QVERIFY(m_shown.Open());
}

void TestMainWindowLayout::templateControls()
{
    const res::DialogTemplate &dialog = res::MainDialogTemplate();
    const res::DialogBaseUnits units = res::BaseUnitsFor(res::DialogFont(dialog));
    // The banner moved every control down by the same amount; find it from "Open Port".
    QWidget *open = m_shown.window->control(res::IDC_OPEN_PORT);
    QVERIFY(open);
    int shift = -1;
    for (const res::DialogControlTemplate &item : dialog.controls) {
        if (item.id == res::IDC_STATIC)
            continue;
        QWidget *widget = m_shown.window->control(item.id);
        QVERIFY2(widget, qPrintable(QString::number(item.id)));
        const QRect pixels = res::DialogUnitsToPixels(item.rect, units);
        if (shift < 0)
            shift = widget->y() - pixels.y();
        QCOMPARE(widget->isVisible(), !item.hidden);
        // The log and "Clear" follow the window's size from its first showing on.
        if (item.id == res::IDC_LOG_VIEW || item.id == res::IDC_CLEAR)
            continue;
        QCOMPARE(widget->x(), pixels.x());
        QCOMPARE(widget->y(), pixels.y() + shift);
        // A control grows to its text, by exactly as much as its text overflowed.
        const int grownWidth = widget->width();
        if (grownWidth != pixels.width()) {
            widget->resize(pixels.width(), widget->height());
            const int overflow = TextOverflow(widget);
            widget->resize(grownWidth, widget->height());
            QCOMPARE(grownWidth, pixels.width() + overflow);
        }
    }
    // The banner, 60 pixels high with its default fonts and icon, sits above the controls;
    // the window grew by as much.
    const int bannerHeight = 60;
    QCOMPARE(shift, bannerHeight);
    QCOMPARE(m_shown.window->height(),
             res::DialogUnitsToPixels(QRect(QPoint(), dialog.size), units).height() + bannerHeight);
    // The caption carries the version the build was configured with.
    QCOMPARE(m_shown.window->windowTitle(), QStringLiteral("RFID Lorix v." RFID_PROJECT_VERSION));
    QVERIFY(!m_shown.window->control(res::IDC_DETAILS)->isVisible());
    QVERIFY(!m_shown.window->control(res::IDC_SAVE_AS)->isVisible());
    QVERIFY(m_shown.window->control(res::IDC_SAVE_DATA)->isVisible());
}

void TestMainWindowLayout::resizeMovesOnlyLogAndClear_data()
{
    QTest::addColumn<int>("dx");
    QTest::addColumn<int>("dy");
    QTest::newRow("wider and taller") << 120 << 80;
    QTest::newRow("narrower") << -60 << 0;
    QTest::newRow("shorter") << 0 << -50;
}

void TestMainWindowLayout::resizeMovesOnlyLogAndClear()
{
    QFETCH(int, dx);
    QFETCH(int, dy);

    QHash<QWidget *, QRect> before;
    for (QWidget *child : m_shown.window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        before.insert(child, child->geometry());
    QWidget *log = m_shown.window->control(res::IDC_LOG_VIEW);
    QWidget *clear = m_shown.window->control(res::IDC_CLEAR);
    const QRect logBefore = log->geometry();
    const QRect clearBefore = clear->geometry();

    m_shown.window->resize(m_shown.window->width() + dx, m_shown.window->height() + dy);
    QCoreApplication::processEvents();

    // The log keeps its left and top edges and follows the client's right and bottom.
    QCOMPARE(log->geometry().topLeft(), logBefore.topLeft());
    QCOMPARE(m_shown.window->width() - (log->x() + log->width()), 5);
    QCOMPARE(m_shown.window->height() - (log->y() + log->height()), 54);
    // "Clear" hangs under the log's right edge.
    QCOMPARE(clear->geometry(), QRect(log->x() + log->width() - 60, log->y() + log->height() + 10, 60, 22));
    QVERIFY(clear->geometry() != clearBefore || (dx == 0 && dy == 0));

    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key() == log || it.key() == clear || it.key()->isWindow())
            continue;
        QCOMPARE(it.key()->geometry(), it.value());
    }
}

QTEST_MAIN(TestMainWindowLayout)
#include "tst_mainwindowlayout.moc"
