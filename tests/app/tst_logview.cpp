#include "app/LogView.h"

#include "app/RFID_LorixApp.h"
#include "app/RFID_LorixDlg.h"
#include "app/DialogHeader.h"
#include "controls/common/ReadableColours.h"
#include "settings/SettingsStore.h"
#include "tools/reader-sim/PseudoTerminal.h"
#include "res/Resource.h"
#include "tests/support/IsolatedWindow.h"

#include <QAccessible>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QThread>
#include <QToolTip>
#include <QtTest>

namespace {

struct Run
{
    QString text;
    QColor colour;
};

// The log's text runs with their colours, in order.
QList<Run> runsOf(const CLogView &log)
{
    QList<Run> runs;
    for (int line = 0; line < log.LineCount(); ++line) {
        for (const auto &[kind, text] : log.LineRuns(line))
            runs << Run{text, log.ShownColour(CLogView::KindColour(kind))};
    }
    return runs;
}

QStringList linesOf(const CLogView &log)
{
    QStringList lines;
    for (int line = 0; line < log.LineCount(); ++line)
        lines << log.LineText(line);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(LogKind)

class tst_LogView : public QObject
{
    Q_OBJECT

private slots:
    void settingsSaveFailureSaidOnce_data();
    void settingsSaveFailureSaidOnce();
    void coloursAndBreaks_data();
    void coloursAndBreaks();
    void timeStamps_data();
    void timeStamps();
    void scrolling_data();
    void scrolling();
    void clearStaysReadOnly();
    void selectCopyAndRead();
    void longLinesShortened_data();
    void longLinesShortened();
    void trimsOldestInBlocks_data();
    void trimsOldestInBlocks();
    void receivedInSlices();
    void copyInSlices_data();
    void copyInSlices();
    void paintedThroughTrims_data();
    void paintedThroughTrims();
    void readableOnEveryPalette_data();
    void readableOnEveryPalette();
    void notesWrapped_data();
    void notesWrapped();
};

// Light palettes keep the designed colours; on a dark one the log's colours, the banner's
// text and an unfocused selection each reach the least contrast, the log's in their own hue.
void tst_LogView::readableOnEveryPalette_data()
{
    QTest::addColumn<QPalette>("palette");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("ownSelectionKept");   // the palette's inactive pair reads as it is
    QPalette light(QColor(0xef, 0xef, 0xef));   // Qt's own, with a faint grey selection
    light.setColor(QPalette::Inactive, QPalette::Highlight, QColor(0xbe, 0xbe, 0xbe));
    light.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::white);
    const QColor ink(0xef, 0xf0, 0xf1), window(0x31, 0x36, 0x3b);
    const QPalette dark(ink, window, window.lighter(), window.darker(), window, ink, QColor(0x23, 0x26, 0x29));
    QTest::newRow("light") << light << false << false;
    QTest::newRow("dark") << dark << true << true;
}

void tst_LogView::readableOnEveryPalette()
{
    QFETCH(QPalette, palette);
    QFETCH(bool, dark);
    QFETCH(bool, ownSelectionKept);
    QCOMPARE(IsDarkPalette(palette), dark);
    CLogView log;
    log.setPalette(palette);
    QList<int> hues;   // each kind in a hue of its own, the error's too
    for (const LogKind kind : {LogKind::Sent, LogKind::Received, LogKind::Note, LogKind::Error}) {
        const ColourRef colour = CLogView::KindColour(kind);
        const QColor shown = log.ShownColour(colour), designed = ToQColor(colour);
        QCOMPARE(shown == designed, !dark);   // a light palette keeps the designed colours
        // The designed pure red reads at 4:1 on white; every shade on a dark palette, and the
        // error's on both, reach the least contrast.
        QVERIFY((!dark && kind != LogKind::Error) || ContrastRatio(shown, palette.color(QPalette::Base)) >= MIN_CONTRAST);
        QVERIFY(!dark || (shown.hslHue() == designed.hslHue() && shown.lightness() > designed.lightness()));
        for (const int hue : std::as_const(hues))
            QVERIFY(qAbs(hue - shown.hslHue()) >= 20 && qAbs(hue - shown.hslHue()) <= 340);
        hues << shown.hslHue();
    }
    IsolatedShownWindow shown;   // the banner with the window's designed colours
    QVERIFY(shown.Open());
    auto *header = shown.window->findChild<CDialogHeader *>();
    header->setPalette(palette);
    const CDialogHeader::Colours banner = header->ShownColours();
    for (const QColor &ground : {banner.top, banner.bottom})
        QVERIFY(ContrastRatio(banner.text, ground) >= MIN_CONTRAST);
    const ColourPair selection = InactiveSelection(palette);
    QCOMPARE(selection.back, palette.color(QPalette::Inactive, QPalette::Highlight));
    QVERIFY(ContrastRatio(selection.back, selection.text) >= MIN_CONTRAST);
    QCOMPARE(selection.text == palette.color(QPalette::Inactive, QPalette::HighlightedText), ownSelectionKept);
}

void tst_LogView::coloursAndBreaks_data()
{
    QTest::addColumn<QStringList>("pieces");        // alternately sent, received, sent, ...
    QTest::addColumn<QStringList>("expectedLines");
    QTest::newRow("ver sent, no reply") << QStringList{"ver\r\n"} << QStringList{"ver", ""};
    QTest::newRow("prompt stays on last line") << QStringList{"ver\r\n", "ok\r\n$>"} << QStringList{"ver", "ok", "$>"};
    QTest::newRow("next command after prompt") << QStringList{"ver\r\n", "ok\r\n$>", "inv\r\n"}
                                               << QStringList{"ver", "ok", "$>inv", ""};
    QTest::newRow("lone CR and LF") << QStringList{"a\rb\nc"} << QStringList{"a", "b", "c"};
    QTest::newRow("CR LF split across pieces") << QStringList{"x\r", "\ny"} << QStringList{"x", "", "y"};
}

void tst_LogView::coloursAndBreaks()
{
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, expectedLines);
    CLogView log;
    QString joined;
    QList<QColor> pieceColours;
    for (int i = 0; i < pieces.size(); ++i) {
        log.AppendLog(pieces.at(i), i % 2 == 0 ? LogKind::Sent : LogKind::Received);
    }
    QCOMPARE(linesOf(log), expectedLines);

    // Every visible character carries the colour of the piece it came from.
    QString expectedColours;
    for (int i = 0; i < pieces.size(); ++i) {
        QString piece = pieces.at(i);
        piece.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
        expectedColours += QString(piece.size(), i % 2 == 0 ? QLatin1Char('R') : QLatin1Char('B'));
    }
    QString colours;
    for (const Run &run : runsOf(log)) {
        QChar tag = QLatin1Char('?');
        if (run.colour == QColor(255, 0, 0))
            tag = QLatin1Char('R');
        else if (run.colour == QColor(0, 0, 255))
            tag = QLatin1Char('B');
        colours += QString(run.text.size(), tag);
    }
    QCOMPARE(colours, expectedColours);
}

void tst_LogView::timeStamps_data()
{
    QTest::addColumn<QStringList>("pieces");   // appended one by one, the clock moving on between them
    // per piece: 1 when the stamps are on as it is appended, s when on too and it is a command sent
    QTest::addColumn<QString>("stamped");
    QTest::addColumn<QStringList>("expectedLines");   // @n: the stamp of piece n's time
    QTest::newRow("one line in slices") << QStringList{"o", "k\r\n$", ">"} << "111" << QStringList{"@0ok", "@1$>"};
    QTest::newRow("stamped by its text, not the break before")
        << QStringList{"ver\r\n", "ok\r\n"} << "11" << QStringList{"@0ver", "@1ok", ""};
    QTest::newRow("empty lines") << QStringList{"\r\n\r\n"} << "1" << QStringList{"@0", "@0", ""};
    QTest::newRow("command after prompt") << QStringList{"ver\r\n", "ok\r\n$>", "inv\r\n"} << "111"
                                          << QStringList{"@0ver", "@1ok", "@1$>inv", ""};
    QTest::newRow("command sent after prompt") << QStringList{"ver\r\n", "ok\r\n$>", "inv\r\n"} << "s1s"
                                               << QStringList{"@0ver", "@1ok", "@1$>@2inv", ""};
    QTest::newRow("on in mid-line") << QStringList{"ab", "c\r\nd"} << "01" << QStringList{"abc", "@1d"};
    QTest::newRow("off in mid-line") << QStringList{"a\r\nb", "c\r\nd"} << "10"
                                     << QStringList{"@0a", "@0bc", "d"};
}

void tst_LogView::timeStamps()
{
    QFETCH(QStringList, pieces);
    QFETCH(QString, stamped);
    QFETCH(QStringList, expectedLines);
    const QDateTime start(QDate(2026, 3, 4), QTime(23, 59, 58, 990));
    auto at = [&](int piece) { return start.addMSecs(piece * 1011); };
    QCOMPARE(CLogView::TimeStamp(at(1)), QStringLiteral("[00:00:00.001] "));
    CLogView log;
    int piece = 0;
    log.SetClock([&] { return at(piece); });
    for (; piece < pieces.size(); ++piece) {
        log.SetTimeStamps(stamped.at(piece) != QLatin1Char('0'));
        log.AppendLog(pieces.at(piece), stamped.at(piece) == QLatin1Char('s') ? LogKind::Sent : LogKind::Received);
    }
    for (QString &line : expectedLines) {
        for (int n = 0; n < pieces.size(); ++n)
            line.replace(QStringLiteral("@%1").arg(n), CLogView::TimeStamp(at(n)));
    }
    QCOMPARE(linesOf(log), expectedLines);
}

void tst_LogView::scrolling_data()
{
    QTest::addColumn<bool>("focused");
    QTest::newRow("without focus: last line at bottom") << false;
    QTest::newRow("with focus: view stays") << true;
}

void tst_LogView::scrolling()
{
    QFETCH(bool, focused);
    QWidget window;
    auto *log = new CLogView(&window);
    log->setGeometry(0, 0, 300, 200);
    // Somewhere else for the keyboard focus to be.
    auto *other = new QLineEdit(&window);
    other->setGeometry(0, 210, 300, 20);
    window.resize(300, 240);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    other->setFocus();
    QVERIFY(!log->hasFocus());
    for (int i = 0; i < 200; ++i)
        log->AppendLog(QStringLiteral("line %1\r\n").arg(i), LogKind::Received);
    const int lastLine = log->LineCount() - 1;
    QCOMPARE(log->LastVisibleLine(), lastLine);

    if (focused) {
        window.activateWindow();
        log->setFocus();
        if (!QTest::qWaitFor([log] { return log->hasFocus(); }))
            QSKIP("the platform gives no keyboard focus to the log");
        log->verticalScrollBar()->setValue(50);
    }
    const int firstBefore = log->FirstVisibleLine();
    for (int i = 0; i < 30; ++i)
        log->AppendLog(QStringLiteral("more %1\r\n").arg(i), LogKind::Received);
    const int newLast = log->LineCount() - 1;
    if (focused) {
        QCOMPARE(log->FirstVisibleLine(), firstBefore);
        QVERIFY(log->LastVisibleLine() < newLast);
        // Focus gone: the next append brings the last line to the bottom.
        other->setFocus();
        log->AppendLog(QStringLiteral("after\r\n"), LogKind::Received);
    }
    QCOMPARE(log->LastVisibleLine(), log->LineCount() - 1);
    QVERIFY(log->FirstVisibleLine() > 0);
}

void tst_LogView::clearStaysReadOnly()
{
    CLogView log;
    log.AppendLog(QStringLiteral("ver\r\n"), LogKind::Sent);
    log.AppendLog(QStringLiteral("ok\r\n$>"), LogKind::Received);
    log.Clear();
    QCOMPARE(log.CharacterCount(), 1);   // only the closing break
    QVERIFY(log.isReadOnly());
    // Typing into it changes nothing.
    QTest::keyClicks(&log, QStringLiteral("abc"));
    QVERIFY(log.IsEmpty());
    log.AppendLog(QStringLiteral("x"), LogKind::Sent);
    QCOMPARE(log.toPlainText(), QStringLiteral("x"));
}

// What the operator selects with the mouse and copies with Ctrl+C, Ctrl+A's whole text, and
// what a screen reader reads of it, also after the oldest lines went.
void tst_LogView::selectCopyAndRead()
{
    QWidget window;
    auto *log = new CLogView(&window);
    log->setGeometry(0, 0, 300, 200);
    window.resize(300, 200);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    log->AppendLog(QStringLiteral("alpha\r\nbeta\r\n"), LogKind::Sent);
    log->AppendLog(QStringLiteral("gamma"), LogKind::Received);
    const QPoint from = log->LineRect(0).topLeft() + QPoint(0, 2);
    const QPoint to = log->LineRect(2).topLeft() + QPoint(0, 2);
    QTest::mousePress(log->viewport(), Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(log->viewport(), to);
    QTest::mouseRelease(log->viewport(), Qt::LeftButton, Qt::NoModifier, to);
    QCOMPARE(QApplication::focusWidget(), log);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("alpha\nbeta\n"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), log->toPlainText());

    QAccessibleInterface *read = QAccessible::queryAccessibleInterface(log);
    QVERIFY(read && read->textInterface());
    QVERIFY(read->state().readOnly && read->state().multiLine);
    QCOMPARE(read->textInterface()->text(0, read->textInterface()->characterCount()), QStringLiteral("alpha\nbeta\ngamma"));
    int start = 0;
    int end = 0;
    read->textInterface()->selection(0, &start, &end);
    QCOMPARE(log->toPlainText().mid(start, end - start), log->toPlainText());
    for (int i = 0; i < CLogView::KEEP_LINES + CLogView::TRIM_LINES; ++i)
        log->AppendLog(QStringLiteral("%1\r\n").arg(i), LogKind::Received);
    QCOMPARE(read->textInterface()->characterCount(), int(log->toPlainText().size()));
    QCOMPARE(read->textInterface()->text(0, 7), log->toPlainText().left(7));
}

void tst_LogView::longLinesShortened_data()
{
    const int max = CLogView::MAX_LINE_CHARS;
    const QString full(max, QLatin1Char('a'));
    QTest::addColumn<QStringList>("pieces");        // alternately sent, received, sent, ...
    QTest::addColumn<QStringList>("expectedLines");
    QTest::newRow("at the bound") << QStringList{full + "\r\n"} << QStringList{full, ""};
    QTest::newRow("one past") << QStringList{full + "b\r\nok"} << QStringList{full + CLogView::OmittedMarker(1), "ok"};
    QTest::newRow("grows over appends") << QStringList{QString(max - 2, 'a'), "12345", "678", "\r\nnext"}
                                        << QStringList{QString(max - 2, 'a') + "12" + CLogView::OmittedMarker(6), "next"};
    QTest::newRow("several in one piece") << QStringList{full + "xy\n" + full + "z\n" + full}
                                          << QStringList{full + CLogView::OmittedMarker(2),
                                                         full + CLogView::OmittedMarker(1), full};
    QTest::newRow("no half character") << QStringList{QString(max - 1, 'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + "b"}
                                       << QStringList{QString(max - 1, 'a') + CLogView::OmittedMarker(3)};
    QTest::newRow("empty piece keeps marker") << QStringList{full + "xy", "", "\r\n"}
                                              << QStringList{full + CLogView::OmittedMarker(2), ""};
}

void tst_LogView::longLinesShortened()
{
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, expectedLines);
    CLogView log;
    for (int i = 0; i < pieces.size(); ++i)
        log.AppendLog(pieces.at(i), i % 2 == 0 ? LogKind::Sent : LogKind::Received);
    QCOMPARE(linesOf(log), expectedLines);
    // A line that comes after a cleared log starts afresh.
    log.Clear();
    log.AppendLog(QStringLiteral("x\r\n"), LogKind::Sent);
    QCOMPARE(linesOf(log), (QStringList{"x", ""}));
}

void tst_LogView::trimsOldestInBlocks_data()
{
    QTest::addColumn<int>("lineLength");
    QTest::addColumn<int>("lines");
    QTest::newRow("short lines: the line bound") << 6 << CLogView::KEEP_LINES + CLogView::TRIM_LINES + 5;
    const int longLine = CLogView::MAX_LINE_CHARS;
    QTest::newRow("long lines: the character bound")
        << longLine << (CLogView::KEEP_CHARS + CLogView::TRIM_CHARS) / longLine + 5;
}

void tst_LogView::trimsOldestInBlocks()
{
    QFETCH(int, lineLength);
    QFETCH(int, lines);
    CLogView log;
    // Lines go in batches, as the receive path hands them over; each starts with its number.
    constexpr int BATCH = 100;
    for (int i = 0; i < lines; i += BATCH) {
        QString batch;
        for (int j = i; j < qMin(lines, i + BATCH); ++j)
            batch += QString::number(j).leftJustified(lineLength, QLatin1Char('.')) + QStringLiteral("\r\n");
        log.AppendLog(batch, LogKind::Received);
    }
    // The newest stay, at least to one bound and within both, in order; the oldest went.
    QVERIFY(log.LineCount() >= CLogView::KEEP_LINES || log.CharacterCount() >= CLogView::KEEP_CHARS);
    QVERIFY(log.LineCount() < CLogView::KEEP_LINES + CLogView::TRIM_LINES);
    QVERIFY(log.CharacterCount() <= CLogView::KEEP_CHARS + CLogView::TRIM_CHARS);
    const int lastNumber = lines - 1;
    QCOMPARE(log.LineText(log.LineCount() - 2).section(QLatin1Char('.'), 0, 0), QString::number(lastNumber));
    const int firstNumber = log.LineText(0).section(QLatin1Char('.'), 0, 0).toInt();
    QCOMPARE(firstNumber + log.LineCount() - 2, lastNumber);
    QVERIFY(firstNumber > 0);
}

void tst_LogView::copyInSlices_data()
{
    QTest::addColumn<bool>("clear");   // else lines are logged meanwhile, past the high mark
    QTest::newRow("logged meanwhile") << false;
    QTest::newRow("cleared meanwhile") << true;
}

// Save Log As's copy: the text as at the start (its last line open and shortened), taken in
// slices whatever is logged or cleared meanwhile, with nothing trimmed under it.
void tst_LogView::copyInSlices()
{
    QFETCH(bool, clear);
    CLogView log;
    const QString line = QString(CLogView::MAX_LINE_CHARS - 10, QLatin1Char('x')) + QChar(QChar::Nbsp)
                         + QChar(QChar::LineSeparator) + QStringLiteral("\r\n");
    for (int i = (CLogView::KEEP_CHARS + CLogView::TRIM_CHARS) / int(line.size()) - 2; i > 0; --i)
        log.AppendLog(QString::number(i) + line, LogKind::Received);
    log.AppendLog(QString(CLogView::MAX_LINE_CHARS + 10, QLatin1Char('y')), LogKind::Sent);
    const QString expected = log.toPlainText();
    QString copied;
    bool done = false;   // not before the first slice, which is not the last
    log.CopyText([&](const QString &text) { copied = text; done = true; });
    QCoreApplication::processEvents();
    QVERIFY(!done);
    if (clear) {
        log.Clear();
        QVERIFY(done && log.toPlainText().isEmpty());
    } else {
        for (int i = 0; i < 20; ++i)
            log.AppendLog(QStringLiteral("y\r\n") + line, LogKind::Received);
        const int blocks = log.LineCount();
        QTRY_VERIFY(done);
        QCOMPARE(log.LineCount(), blocks);
        log.AppendLog(QStringLiteral("z\r\n"), LogKind::Received);
        QVERIFY(log.LineCount() < blocks);   // trimming goes on after it
    }
    QCOMPARE(copied, expected);
}

void tst_LogView::receivedInSlices()
{
    // The real window on a pseudo-terminal: a backlog in the ring is taken one slice per pass
    // of the event loop, whatever number of posts the reader thread queued, and all of it
    // reaches the log in order. No command was sent, so every line is logged as it came.
    constexpr int COM_NUMBER = 201;
    QTemporaryDir dir;
    CPseudoTerminal reader;
    QVERIFY(dir.isValid());
    if (!reader.Open())
        QSKIP("no pseudo-terminal");
    QVERIFY(QDir().mkpath(dir.filePath("ports")));
    QVERIFY(QFile::link(reader.slavePath(), dir.filePath("ports/COM%1").arg(COM_NUMBER)));
    CSettingsStore store(dir.filePath(QStringLiteral("settings.ini")));
    store.WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, COM_NUMBER);
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(dir.path());
    env.ports.sysRoot = dir.path();
    CRFID_LorixDlg window(store, env);
    window.show();
    qobject_cast<QPushButton *>(window.control(IDC_OPEN_PORT))->click();
    QVERIFY(window.isPortOpen());
    window.OnClear();   // the tool's own note on the opened port

    QByteArray sent;
    for (int i = 0; sent.size() < 5 * RX_SLICE_BYTES + 100; ++i)
        sent += QByteArray::number(i) + "\r\n";
    QVERIFY(reader.WriteAll(sent));
    QDeadlineTimer inRing(30000);
    while (window.pendingRxBytes() < sent.size() && !inRing.hasExpired())
        QThread::msleep(5);
    QCOMPARE(window.pendingRxBytes(), int32_t(sent.size()));

    int32_t pending = window.pendingRxBytes();
    while (pending > 0) {
        QCoreApplication::sendPostedEvents();
        const int32_t left = window.pendingRxBytes();
        QCOMPARE(left, qMax(0, pending - RX_SLICE_BYTES));
        pending = left;
    }
    QStringList expected = QString::fromLatin1(sent).split(QStringLiteral("\r\n"));
    QCOMPARE(linesOf(*qobject_cast<CLogView *>(window.control(IDC_LOG_VIEW))), expected);
}

void tst_LogView::paintedThroughTrims_data()
{
    QTest::addColumn<int>("paintEvery");
    QTest::addColumn<bool>("lastSent");   // the newest line is a sent command, else a reply
    QTest::newRow("paint often, reply last") << 997 << false;
    QTest::newRow("paint often, command last") << 997 << true;
    QTest::newRow("paint only across trims, reply last") << CLogView::TRIM_LINES + 1 << false;
}

void tst_LogView::paintedThroughTrims()
{
    QFETCH(int, paintEvery);
    QFETCH(bool, lastSent);
    QWidget window;
    auto *log = new CLogView(&window);
    log->setGeometry(0, 0, 400, 200);
    // The keyboard focus is elsewhere, so every append brings the last line into view.
    auto *other = new QLineEdit(&window);
    other->setGeometry(0, 210, 400, 20);
    window.resize(400, 240);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    other->setFocus();
    QVERIFY(!log->hasFocus());

    // Commands and replies alternate, the line number telling which: odd lines are sent.
    const int total = CLogView::KEEP_LINES + 2 * CLogView::TRIM_LINES + (lastSent ? 1 : 0);
    for (int i = 0; i < total; ++i) {
        log->AppendLog(QStringLiteral("%1\r\n").arg(i), i % 2 ? LogKind::Sent : LogKind::Received);
        if (i % paintEvery == 0)
            window.repaint();
    }
    window.repaint();

    QVERIFY(log->LineCount() >= CLogView::KEEP_LINES);
    QVERIFY(log->LineCount() < CLogView::KEEP_LINES + CLogView::TRIM_LINES);
    // The newest line sits at the bottom of the view, followed by the empty line start.
    QCOMPARE(log->LastVisibleLine(), log->LineCount() - 1);
    const int newest = log->LineCount() - 2;
    QCOMPARE(log->LineText(newest), QString::number(total - 1));
    // Every line still on screen keeps the kind it was appended in.
    for (int line = newest; line >= log->FirstVisibleLine(); --line) {
        const LogKind expected = log->LineText(line).toInt() % 2 ? LogKind::Sent : LogKind::Received;
        QCOMPARE(log->LineRuns(line).first().first, expected);
    }
    // And the pixels show both colours: the layouts painted after a trim carry the formats.
    const QImage shot = log->viewport()->grab().toImage();
    int red = 0;
    int blue = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            red += c.red() > 200 && c.green() < 80 && c.blue() < 80;
            blue += c.blue() > 200 && c.green() < 80 && c.red() < 80;
        }
    }
    QVERIFY(red > 0);
    QVERIFY(blue > 0);
}

void tst_LogView::settingsSaveFailureSaidOnce_data()
{
    QTest::addColumn<QStringList>("reports");   // each save's error ("" saved), "moved:<to>" for a move
    QTest::addColumn<QStringList>("logged");    // E: error, N: note
    QTest::newRow("saved") << QStringList{"", ""} << QStringList{};
    QTest::newRow("failures in a row said once") << QStringList{"Permission denied", "No space left on device"}
                                                 << QStringList{"E Settings not saved to /s.ini: Permission denied\r\n"};
    QTest::newRow("again after a success") << QStringList{"Permission denied", "", "Read-only file system"}
        << QStringList{"E Settings not saved to /s.ini: Permission denied\r\n",
                       "E Settings not saved to /s.ini: Read-only file system\r\n"};
    QTest::newRow("moved aside") << QStringList{"moved:/s.ini.too-large-1"}
        << QStringList{"N Settings file too large: moved aside to /s.ini.too-large-1, a new one started\r\n"};
}

void tst_LogView::settingsSaveFailureSaidOnce()
{
    QFETCH(QStringList, reports);
    QFETCH(QStringList, logged);
    QStringList lines;
    const auto report = SettingsSaveLog(QStringLiteral("/s.ini"), [&lines](const QString &text, LogKind kind) {
        lines << (kind == LogKind::Error ? "E " : kind == LogKind::Note ? "N " : "? ") + text;
    });
    for (const QString &r : reports)
        r.startsWith("moved:") ? report(QString(), r.mid(6)) : report(r, QString());
    QCOMPARE(lines, logged);
}

// In the shown window a note wider than the log wraps, and shows whole in its line's tooltip
// too; a short one needs neither, and the reader's lines scroll sideways as designed.
void tst_LogView::notesWrapped_data()
{
    QTest::addColumn<LogKind>("kind");
    QTest::addColumn<int>("words");
    QTest::newRow("error") << LogKind::Error << 60;
    QTest::newRow("short note") << LogKind::Note << 2;
    QTest::newRow("received") << LogKind::Received << 60;
}

void tst_LogView::notesWrapped()
{
    QFETCH(LogKind, kind);
    QFETCH(int, words);
    IsolatedShownWindow shown;
    QVERIFY(shown.Open());
    auto *log = qobject_cast<CLogView *>(shown.window->control(IDC_LOG_VIEW));
    const QString text = QStringLiteral("word & <b> ").repeated(words).trimmed();
    shown.window->AppendLog(text + QStringLiteral("\r\n"), kind);
    const int line = log->LineCount() - 2;
    // Read whole without a mouse: a long note wraps at the log's width, in view; it is one
    // line of the log all the same, found by a search as written.
    const QRect shownAt = log->LineRect(line);
    QVERIFY(!shownAt.isEmpty() && shownAt.bottom() <= log->viewport()->height());
    QCOMPARE(shownAt.height() >= 2 * log->fontMetrics().height(), kind != LogKind::Received && words > 2);
    QCOMPARE(log->FindLine(text), line);
    const QPoint at = shownAt.topLeft() + QPoint(10, log->fontMetrics().height() / 2);
    // A tip of an earlier row hides on a timer of its own: gone before this row hovers.
    QToolTip::hideText();
    QTRY_VERIFY(!QToolTip::isVisible());
    QHelpEvent hover(QEvent::ToolTip, at, log->viewport()->mapToGlobal(at));
    QApplication::sendEvent(log->viewport(), &hover);
    QTextDocument tip;
    tip.setHtml(QToolTip::isVisible() ? QToolTip::text() : QString());
    QCOMPARE(tip.toPlainText(), kind != LogKind::Received && words > 2 ? text : QString());
    QToolTip::hideText();
}

QTEST_MAIN(tst_LogView)
#include "tst_logview.moc"
