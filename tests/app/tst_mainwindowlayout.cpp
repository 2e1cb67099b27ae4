// The main window's layout: every control of template 102 at its converted place (under
// the banner), hidden ones hidden, and resizing moving only the log's right and bottom
// edges and "Clear". On a small screen (offscreen, sized by a file) every control is in reach.

#include "tests/support/IsolatedWindow.h"
#include "tests/support/XvfbRecorder.h"
#include "app/ControlTextFit.h"
#include "app/PaletteContrast.h"
#include "controls/common/ReadableColours.h"
#include "app/RFID_LorixDlg.h"
#include "app/VersionCaption.h"
#include "settings/SettingsStore.h"
#include "res/DialogTemplates.h"
#include "res/Resource.h"
#include "controls/propgrid/PropGrid.h"
#include "controls/propgrid/PropGridList.h"
#include "controls/tree/ExtTree.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QRadioButton>
#include <QSlider>
#include <QStyleOptionSlider>
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

// A control's place in the client, whether the client or its left column holds it.
static QRect inClient(const CRFID_LorixDlg &window, const QWidget *control)
{
    return QRect(control->mapTo(window.client(), QPoint()), control->size());
}

// The client's own children and those of the left column, the column itself left out.
static QList<QWidget *> placedChildren(const CRFID_LorixDlg &window)
{
    QList<QWidget *> all = window.client()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    all.removeAll(window.leftColumn());
    return all + window.leftColumn()->widget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
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
    void darkPaletteFaintParts_data();
    void darkPaletteFaintParts();
    void screenReaderHearsWindow();

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
        const QRect placed = inClient(*m_shown.window, widget);
        if (shift < 0)
            shift = placed.y() - pixels.y();
        QCOMPARE(widget->isVisible(), !item.hidden);
        // The log and "Clear" follow the window's size from its first showing on.
        if (item.id == IDC_LOG_VIEW || item.id == IDC_CLEAR)
            continue;
        QCOMPARE(placed.x(), pixels.x());
        QCOMPARE(placed.y(), pixels.y() + shift);
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
    QScrollArea *column = m_shown.window->leftColumn();
    QHash<QWidget *, QRect> before;
    for (QWidget *child : placedChildren(*m_shown.window))
        before.insert(child, inClient(*m_shown.window, child));
    QWidget *log = m_shown.window->control(IDC_LOG_VIEW);
    QWidget *clear = m_shown.window->control(IDC_CLEAR);
    const QRect logBefore = log->geometry();

    m_shown.window->resize(m_shown.window->width() + dx, m_shown.window->height() + dy);
    QCoreApplication::processEvents();

    // The client follows the window down to its designed width, below which it scrolls
    // across; a lower window keeps the log whole and scrolls the left column alone.
    QCOMPARE(client->size(), m_shown.window->scroller()->viewport()->size().expandedTo(client->minimumSize()));
    QCOMPARE(m_shown.window->scroller()->horizontalScrollBar()->maximum() > 0, dx < 0);
    QCOMPARE(m_shown.window->scroller()->verticalScrollBar()->maximum(), 0);
    QCOMPARE(column->verticalScrollBar()->maximum() > 0, dy < 0 || dx < 0);   // the bar across takes height
    QCOMPARE(column->geometry().bottom(), client->rect().bottom());
    // The log keeps its left and top edges and follows the client's right and bottom.
    QCOMPARE(log->geometry().topLeft(), logBefore.topLeft());
    QCOMPARE(client->width() - (log->x() + log->width()), 5);
    QCOMPARE(client->height() - (log->y() + log->height()), 54);
    // "Clear" hangs under the log's right edge.
    QCOMPARE(clear->geometry(), QRect(log->x() + log->width() - 60, log->y() + log->height() + 10, 60, 22));

    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key() == log || it.key() == clear || it.key()->isWindow())
            continue;
        QCOMPARE(inClient(*m_shown.window, it.key()), it.value());
    }
}

void TestMainWindowLayout::everyControlInReach_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("fits");         // the designed height: the left column needs no scrolling
    QTest::addColumn<bool>("acrossFits");   // the designed width
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
    QScrollArea *column = window.leftColumn();
    QCOMPARE(column->verticalScrollBar()->maximum() == 0, fits);
    QWidget *viewport = window.scroller()->viewport();
    // The window never scrolls up and down: the log's bottom, where new lines arrive, and
    // "Clear" are above the screen's edge as the window opens.
    QCOMPARE(viewport->width() >= window.client()->width(), acrossFits);
    QCOMPARE(window.scroller()->horizontalScrollBar()->isVisible(), !acrossFits);
    QVERIFY(!window.scroller()->verticalScrollBar()->isVisible());
    for (const int id : {IDC_LOG_VIEW, IDC_CLEAR}) {
        const QRect shown(window.control(id)->mapTo(viewport, QPoint()), window.control(id)->size());
        QVERIFY2(shown.top() >= 0 && shown.bottom() <= viewport->rect().bottom(), qPrintable(QString::number(id)));
    }
    for (const DialogControlTemplate &item : MainDialogTemplate().controls) {
        QWidget *control = window.control(item.id);
        if (!control || item.hidden)
            continue;
        // A control of the left column is scrolled to there, the column into the window.
        const bool inColumn = column->widget()->isAncestorOf(control);
        if (inColumn)
            column->ensureWidgetVisible(control, 0, 0);
        window.scroller()->ensureWidgetVisible(inColumn ? column : control, 0, 0);
        QRect shown(control->mapTo(viewport, QPoint()), control->size());
        if (inColumn)
            shown &= QRect(column->viewport()->mapTo(viewport, QPoint()), column->viewport()->size());
        // A button shows whole; a text control is scrolled to its text cursor, the log and
        // the tree may be taller than the view: they are in reach when they show.
        const bool whole = qobject_cast<QAbstractButton *>(control) != nullptr;
        QVERIFY2(whole ? viewport->rect().contains(shown) && shown.size() == control->size() : viewport->rect().intersects(shown),
                 qPrintable(QString::number(item.id)));
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

void TestMainWindowLayout::darkPaletteFaintParts_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("Bluetooth list's placeholder") << IDC_DEVICE_LIST;
    QTest::newRow("slider's ticks") << IDC_TX_POWER;
    QTest::newRow("unticked radio button") << IDC_MULTI_MODE;   // the single mode is the stored default
}

// On a desktop with a dark colour scheme (a KDE colour file, read by the toolkit as on such a
// desktop, in a child process on a private X server) each faint part shows at least one pixel that stands out from
// what is around it by 3:1: the placeholder's text, the ticks above the slider's groove, the
// unticked radio button's circle.
void TestMainWindowLayout::darkPaletteFaintParts()
{
    QFETCH(int, id);
    if (qgetenv("XDG_CURRENT_DESKTOP") != "KDE") {
        QTemporaryDir dir;
        QFile colours(dir.filePath("kdeglobals"));
        QVERIFY(colours.open(QIODevice::WriteOnly));
        colours.write("[Colors:Button]\nBackgroundNormal=49,54,59\nForegroundNormal=239,240,241\n"
                      "[Colors:View]\nBackgroundNormal=35,38,41\nForegroundNormal=239,240,241\n"
                      "[Colors:Window]\nBackgroundNormal=49,54,59\nForegroundNormal=239,240,241\n");
        colours.close();
        // The desktop's colours reach the toolkit through its X11 platform, not offscreen.
        CXvfbServer server;
        QString reason;
        if (!server.start(&reason))
            QSKIP(qPrintable("no Xvfb: " + reason));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", QString::fromStdString(server.displayName()));
        env.insert("XDG_CURRENT_DESKTOP", "KDE");
        env.insert("KDE_SESSION_VERSION", "5");
        env.insert("XDG_CONFIG_HOME", dir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QString("darkPaletteFaintParts:") + QTest::currentDataTag()});
        QVERIFY(child.waitForFinished(120000));
        QVERIFY2(child.exitCode() == 0, child.readAll().constData());
        return;
    }
    QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(49, 54, 59));
    CRFID_LorixDlg &window = *m_shown.window;
    QWidget *part = window.control(id);
    QRect area(QPoint(), part->size());
    if (auto *list = qobject_cast<QPlainTextEdit *>(part)) {   // the search's answer says why it is empty
        QTRY_VERIFY(!list->placeholderText().isEmpty());
        part = list->viewport();
        area = part->rect();
    } else if (auto *slider = qobject_cast<QSlider *>(part)) {   // the rows above the groove, beside the handle
        QStyleOptionSlider option;
        option.initFrom(slider);
        option.orientation = slider->orientation();
        option.tickPosition = slider->tickPosition();
        const QRect groove = slider->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, slider);
        area = QRect(0, 0, slider->width(), groove.top());
    } else {
        auto *radio = qobject_cast<QRadioButton *>(part);
        QVERIFY(radio && !radio->isChecked());
        QStyleOptionButton option;
        option.initFrom(radio);
        area = radio->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, radio);
    }
    // The client drawn whole, wherever the window is scrolled to on this X server's screen.
    const QImage shot = window.client()->grab(QRect(part->mapTo(window.client(), area.topLeft()), area.size())).toImage();
    const QColor around = qobject_cast<QAbstractScrollArea *>(window.control(id)) ? QApplication::palette().color(QPalette::Base)
                                                                                : QApplication::palette().color(QPalette::Window);
    double best = 1.0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x)
            best = std::max(best, ContrastRatio(shot.pixelColor(x, y), around));
    }
    QVERIFY2(best >= LEAST_PART_CONTRAST, qPrintable(QString::number(best)));
}

// What a screen reader asks over the accessibility bus: every object of the tool's windows
// with its role and name, then the focus changes until two came (or ten seconds passed).
static const char ATSPI_READER[] = R"(
import sys
import gi
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi, GLib
pid = int(sys.argv[1])
def walk(node, depth):
    if node is None or depth > 40:
        return
    print('object\t%s\t%s' % (node.get_role_name(), node.get_name() or ''))
    for i in range(node.get_child_count()):
        walk(node.get_child_at_index(i), depth + 1)
desktop = Atspi.get_desktop(0)
for i in range(desktop.get_child_count()):
    app = desktop.get_child_at_index(i)
    if app is not None and app.get_process_id() == pid:
        walk(app, 0)
focused = []
def on_focus(event):
    if event.detail1 == 1:
        print('focus\t%s' % (event.source.get_name() or ''), flush=True)
        focused.append(event)
        if len(focused) >= 2:
            Atspi.event_quit()
listener = Atspi.EventListener.new(on_focus)
listener.register('object:state-changed:focused')
GLib.timeout_add_seconds(10, lambda: Atspi.event_quit() or False)
print('ready', flush=True)
Atspi.event_main()
)";

// A screen reader over a real accessibility bus (a private session bus, the accessibility
// bus's launcher and registry, the tool on a private X server in a child process): the
// port picker and the command box named by their labels, a grid row read with its value,
// the row the arrows move to told as focused, the monitor's table, filter and clear button
// named.
void TestMainWindowLayout::screenReaderHearsWindow()
{
    if (qEnvironmentVariableIsEmpty("RFID_ATSPI_CHILD")) {
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        CXvfbServer server;
        QString reason;
        if (!server.start(&reason))
            QSKIP(qPrintable("no Xvfb: " + reason));
        QProcess bus;
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!bus.waitForStarted() || !QTest::qWaitFor([&] { return bus.canReadLine(); }, 10000))
            QSKIP("no D-Bus daemon");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine()).trimmed());
        env.insert("DISPLAY", QString::fromStdString(server.displayName()));
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        QProcess launcher;
        launcher.setProcessEnvironment(env);
        launcher.start("/usr/libexec/at-spi-bus-launcher", {"--launch-immediately"});
        if (!launcher.waitForStarted())
            QSKIP("no accessibility bus launcher (setup.sh installs at-spi2-core)");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        env.insert("RFID_ATSPI_CHILD", "1");
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"screenReaderHearsWindow"});
        const bool ended = child.waitForFinished(120000);
        launcher.terminate();
        bus.terminate();
        launcher.waitForFinished();
        bus.waitForFinished();
        QVERIFY2(ended && child.exitCode() == 0, child.readAll().constData());
        return;
    }
    m_shown.window.reset();
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(m_shown.dir->path());
    env.cataloguePath = qEnvironmentVariable("RFID_SOURCE_DIR") + "/res/Ondo214.xml";
    CRFID_LorixDlg window(*m_shown.store, env);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *tree = qobject_cast<CExtTree *>(window.control(IDC_CATALOGUE_TREE));
    const QList<QTreeWidgetItem *> found = tree->findItems("Set TX Power", Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY(!found.isEmpty() && tree->SelectItem(found.first()));
    window.OnTagMonitor();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // The operator clicks the row "Name" (the panel opened the power's editor).
    auto *grid = qobject_cast<CPropGrid *>(window.control(IDC_PROPERTY_TREE));
    CPropGridItem *name = grid->GetVisibleHead();
    while (name && name->GetLabel() != QLatin1String("Name"))
        name = name->GetNextVisible();
    QVERIFY(name);
    CPropGridList *list = grid->GetListPane();
    // The monitor's own activation may still be on its way: the operator brings the main
    // window up until it stays up.
    QTRY_VERIFY_WITH_TIMEOUT((window.activateWindow(), QCoreApplication::processEvents(), QApplication::activeWindow() == &window),
                             10000);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(10, list->rowRect(name).center().y()));
    QTRY_COMPARE(QApplication::focusWidget(), list);

    QProcess reader;
    reader.start("/usr/bin/python3", {"-c", ATSPI_READER, QString::number(QCoreApplication::applicationPid())});
    QString out;
    auto heard = [&](const QString &text) {
        return QTest::qWaitFor([&] {
            out += QString::fromUtf8(reader.readAllStandardOutput());
            return out.contains(text) || reader.state() == QProcess::NotRunning;
        }, 60000) && out.contains(text);
    };
    QVERIFY2(heard("ready\n"), qPrintable(out + reader.readAllStandardError()));
    // The registry tells the tool of the new listener on its own: a moment for that message.
    QTest::qWait(1000);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QVERIFY(QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, 30000));
    out += QString::fromUtf8(reader.readAllStandardOutput());
    const QStringList lines = out.split('\n');
    for (const char *expected : {"combo box\tSelect by Port", "combo box\tCommand", "\tPower (dBm): -5",
                                    "\tTags read", "\tFilter tags", "\tClear the filter"}) {
        const QString named = QRegularExpression::escape(QString::fromUtf8(expected));
        QVERIFY2(!lines.filter(QRegularExpression("^object\t.*" + named + "$")).isEmpty(), qPrintable(expected + ("\n" + out)));
    }
    QCOMPARE(lines.filter(QRegularExpression("^focus\t")),
             (QStringList{"focus\tCommand: txp", "focus\tParameters"}));
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
