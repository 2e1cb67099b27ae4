// The main window's layout: every control of template 102 at its converted place (under
// the banner), hidden ones hidden, and resizing moving only the log's right and bottom
// edges and "Clear". On a small screen (offscreen, sized by a file) every control is in reach.

#include "tests/support/IsolatedWindow.h"
#include "app/ControlTextFit.h"
#include "app/RFID_LorixDlg.h"
#include "app/VersionCaption.h"
#include "settings/SettingsStore.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <memory>

static QString offscreenOn(const QTemporaryDir &dir, const QSize &screen)
{
    QFile file(dir.filePath(QStringLiteral("screen.json")));
    const bool written = file.open(QIODevice::WriteOnly)
                         && file.write(QStringLiteral(R"({"screens": [{"name": "s", "width": %1, "height": %2}]})")
                                           .arg(screen.width()).arg(screen.height()).toLatin1()) > 0;
    return written ? QStringLiteral("offscreen:configfile=") + file.fileName() : QStringLiteral("offscreen");
}

class TestMainWindowLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void templateControls();
    void resizeMovesOnlyLogAndClear_data();
    void resizeMovesOnlyLogAndClear();
    void everyControlInReach_data();
    void everyControlInReach();
    void caption_data();
    void caption();

private:
    IsolatedShownWindow m_shown;
};

void TestMainWindowLayout::init()
{
    QVERIFY(m_shown.Open());
}

void TestMainWindowLayout::templateControls()
{
    const DialogTemplate &dialog = MainDialogTemplate();
    const DialogBaseUnits units = BaseUnitsFor(DialogFont(dialog));
    // The banner moved every control down by the same amount; find it from "Open Port".
    QWidget *open = m_shown.window->control(IDC_OPEN_PORT);
    QVERIFY(open);
    int shift = -1;
    for (const DialogControlTemplate &item : dialog.controls) {
        if (item.id == IDC_STATIC)
            continue;
        QWidget *widget = m_shown.window->control(item.id);
        QVERIFY2(widget, qPrintable(QString::number(item.id)));
        const QRect pixels = DialogUnitsToPixels(item.rect, units);
        if (shift < 0)
            shift = widget->y() - pixels.y();
        QCOMPARE(widget->isVisible(), !item.hidden);
        // The log and "Clear" follow the window's size from its first showing on.
        if (item.id == IDC_LOG_VIEW || item.id == IDC_CLEAR)
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
             DialogUnitsToPixels(QRect(QPoint(), dialog.size), units).height() + bannerHeight);
    // The caption carries the version the build was configured with.
    QCOMPARE(m_shown.window->windowTitle(), QStringLiteral("RFID Lorix v." RFID_PROJECT_VERSION " - not connected"));
    QVERIFY(!m_shown.window->control(IDC_DETAILS)->isVisible());
    QVERIFY(!m_shown.window->control(IDC_SAVE_AS)->isVisible());
    QVERIFY(m_shown.window->control(IDC_SAVE_DATA)->isVisible());
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

    QWidget *client = m_shown.window->client();
    QHash<QWidget *, QRect> before;
    for (QWidget *child : client->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        before.insert(child, child->geometry());
    QWidget *log = m_shown.window->control(IDC_LOG_VIEW);
    QWidget *clear = m_shown.window->control(IDC_CLEAR);
    const QRect logBefore = log->geometry();
    const QRect clearBefore = clear->geometry();

    m_shown.window->resize(m_shown.window->width() + dx, m_shown.window->height() + dy);
    QCoreApplication::processEvents();

    // The client follows the window down to its designed size; below that it scrolls (one
    // scroll bar takes room from the other direction: both show).
    QCOMPARE(client->size(), m_shown.window->scroller()->viewport()->size().expandedTo(client->minimumSize()));
    for (const QScrollBar *bar : {m_shown.window->scroller()->horizontalScrollBar(), m_shown.window->scroller()->verticalScrollBar()})
        QCOMPARE(bar->maximum() > 0, dx < 0 || dy < 0);
    // The log keeps its left and top edges and follows the client's right and bottom.
    QCOMPARE(log->geometry().topLeft(), logBefore.topLeft());
    QCOMPARE(client->width() - (log->x() + log->width()), 5);
    QCOMPARE(client->height() - (log->y() + log->height()), 54);
    // "Clear" hangs under the log's right edge.
    QCOMPARE(clear->geometry(), QRect(log->x() + log->width() - 60, log->y() + log->height() + 10, 60, 22));
    QCOMPARE(clear->geometry() != clearBefore, dx > 0 || dy > 0);

    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key() == log || it.key() == clear || it.key()->isWindow())
            continue;
        QCOMPARE(it.key()->geometry(), it.value());
    }
}

void TestMainWindowLayout::everyControlInReach_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<bool>("acrossFits");   // the designed width, and a vertical scroll bar beside it
    QTest::newRow("800x600") << QSize(800, 600) << false << false;
    QTest::newRow("1280x720") << QSize(1280, 720) << false << true;
    QTest::newRow("1366x768") << QSize(1366, 768) << false << true;
    QTest::newRow("1920x1080") << QSize(1920, 1080) << true << true;
}

void TestMainWindowLayout::everyControlInReach()
{
    QFETCH(QSize, screen);
    QFETCH(bool, fits);
    QFETCH(bool, acrossFits);
    if (m_shown.window->screen()->size() != screen) {
        QTemporaryDir dir;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), offscreenOn(dir, screen));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QString("everyControlInReach:") + QTest::currentDataTag()});
        QVERIFY(child.waitForFinished(120000));
        QVERIFY2(child.exitCode() == 0, child.readAll().constData());
        return;
    }
    CRFID_LorixDlg &window = *m_shown.window;
    QVERIFY(window.screen()->availableGeometry().contains(window.frameGeometry()));
    QCOMPARE(window.size() == window.client()->minimumSize(), fits);
    QWidget *viewport = window.scroller()->viewport();
    // Where only the height scrolls, the vertical bar leaves the client's whole width in view:
    // its right edge is not hidden under the bar nor reached through a second bar.
    QCOMPARE(viewport->width() >= window.client()->width(), acrossFits);
    QCOMPARE(window.scroller()->horizontalScrollBar()->isVisible(), !acrossFits);
    for (const DialogControlTemplate &item : MainDialogTemplate().controls) {
        QWidget *control = window.control(item.id);
        if (!control || item.hidden)
            continue;
        window.scroller()->ensureWidgetVisible(control, 0, 0);
        const QRect shown(control->mapTo(viewport, QPoint()), control->size());
        // A button shows whole; a text control is scrolled to its text cursor, the log and
        // the tree may be taller than the view: they are in reach when they show.
        const bool whole = qobject_cast<QAbstractButton *>(control) != nullptr;
        QVERIFY2(whole ? viewport->rect().contains(shown) : viewport->rect().intersects(shown), qPrintable(QString::number(item.id)));
    }
    // Nothing is cut: every child of the client (group frames and labels too) no larger than
    // the view shows whole once scrolled to, and none reaches past the client. The banner
    // bleeds one pixel over the client's edges by design: its part inside counts.
    for (QWidget *child : window.client()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (child->isHidden())
            continue;
        const QRect placed = child->geometry() & window.client()->rect();
        // The margins reach one past the far edge: the centre rounds down, and a margin counts
        // from the view's edge, not its last pixel.
        window.scroller()->ensureVisible(placed.center().x(), placed.center().y(), placed.width() / 2 + 1,
                                         placed.height() / 2 + 1);
        const QRect shown(window.client()->mapTo(viewport, placed.topLeft()), placed.size());
        const QRect fit = viewport->rect();
        QVERIFY2(placed.width() > fit.width() || (shown.left() >= 0 && shown.right() <= fit.right()), qPrintable(child->objectName()));
        QVERIFY2(placed.height() > fit.height() || (shown.top() >= 0 && shown.bottom() <= fit.bottom()), qPrintable(child->objectName()));
        QVERIFY2(window.client()->rect().contains(child->geometry().adjusted(1, 1, -1, -1)), qPrintable(child->objectName()));
    }
}

void TestMainWindowLayout::caption_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");
    QTest::addColumn<int>("tweak");
    QTest::addColumn<QString>("expected");
    QTest::newRow("2.3.4.5") << 2 << 3 << 4 << 5 << "RFID Lorix v.2.3.4.5";
    QTest::newRow("field order") << 10 << 0 << 65535 << 7 << "RFID Lorix v.10.0.65535.7";
}

void TestMainWindowLayout::caption()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);
    QFETCH(int, tweak);
    QFETCH(QString, expected);
    QCOMPARE(VersionCaption(FileVersion{major, minor, patch, tweak}, QStringLiteral("z")), expected);
}

int main(int argc, char **argv)
{
    QTemporaryDir dir;   // ctest's offscreen screen (800 by 800) is smaller than the window
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen")
        qputenv("QT_QPA_PLATFORM", offscreenOn(dir, QSize(1920, 1080)).toLocal8Bit());
    QApplication app(argc, argv);
    TestMainWindowLayout test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindowlayout.moc"
