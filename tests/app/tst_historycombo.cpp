#include "app/HistoryCombo.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString HISTORY_SECTION = QStringLiteral("Example History Combos");
const QString PREFIX = QStringLiteral("HistoryItem");

// What the main window does on "Send": add the box's text, then save.
void send(CHistoryCombo &combo, const QString &command)
{
    combo.setEditText(command);
    combo.AddToHistory(combo.currentText());
    combo.SaveHistory();
}

ino_t inode(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class tst_HistoryCombo : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sendsKeepNewestFirst_data();
    void sendsKeepNewestFirst();
    void staleKeysDeleted_data();
    void staleKeysDeleted();
    void completion_data();
    void completion();
    void savedTextRestored_data();
    void savedTextRestored();
    void sameCommandLeavesFile_data();
    void sameCommandLeavesFile();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("history.ini")); }
    QTemporaryDir m_dir;
};

void tst_HistoryCombo::init()
{
    QFile::remove(iniPath());
}

void tst_HistoryCombo::sendsKeepNewestFirst_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("ver inv VER") << QStringList{"ver", "inv", "VER"} << QStringList{"VER", "inv"};
    QStringList eleven;
    for (int i = 0; i < 11; ++i)
        eleven << QStringLiteral("cmd%1").arg(i);
    QStringList tenNewest;
    for (int i = 10; i >= 1; --i)
        tenNewest << QStringLiteral("cmd%1").arg(i);
    QTest::newRow("eleven keep ten") << eleven << tenNewest;
    QTest::newRow("spaces trimmed") << QStringList{"  ver  ", "ver"} << QStringList{"ver"};
    QTest::newRow("empty send keeps history") << QStringList{"ver", "inv", ""} << QStringList{"inv", "ver"};
    QTest::newRow("blank send keeps history") << QStringList{"ver", "inv", "   "} << QStringList{"inv", "ver"};
    QTest::newRow("empty first") << QStringList{"", "s"} << QStringList{"s"};
}

void tst_HistoryCombo::sendsKeepNewestFirst()
{
    QFETCH(QStringList, sent);
    QFETCH(QStringList, expected);
    CSettingsStore store(iniPath());
    {
        CHistoryCombo combo;
        combo.SetSettingsStore(&store);
        combo.LoadHistory();
        for (const QString &command : sent)
            send(combo, command);
        QCOMPARE(combo.entries(), expected);
    }
    QVERIFY(store.Flush());
    // The next start sees the same list.
    CSettingsStore nextRun(iniPath());
    CHistoryCombo reloaded;
    reloaded.SetSettingsStore(&nextRun);
    reloaded.LoadHistory();
    QCOMPARE(reloaded.entries(), expected);
}

void tst_HistoryCombo::staleKeysDeleted_data()
{
    QTest::addColumn<int>("earlier");
    QTest::addColumn<int>("later");
    QTest::newRow("10 then 3") << 10 << 3;
    QTest::newRow("3 then 10") << 3 << 10;
    QTest::newRow("10 then 1") << 10 << 1;
}

void tst_HistoryCombo::staleKeysDeleted()
{
    QFETCH(int, earlier);
    QFETCH(int, later);
    CSettingsStore store(iniPath());
    for (int run = 0; run < 2; ++run) {
        const int count = run == 0 ? earlier : later;
        CHistoryCombo combo;
        combo.SetSettingsStore(&store);
        // A run that starts with its own list: section and prefix as loading sets them.
        combo.sectionName = HISTORY_SECTION;
        combo.keyPrefix = PREFIX;
        for (int i = 0; i < count; ++i)
            combo.AddToHistory(QStringLiteral("run%1-%2").arg(run).arg(i));
        combo.setEditText(QString());
        combo.SaveHistory();
    }
    QVERIFY(store.Flush());
    const CSettingsStore check(iniPath());
    for (int i = 0; i < 10; ++i) {
        const QString value = check.ReadString(HISTORY_SECTION, PREFIX + QString::number(i));
        if (i < later)
            QCOMPARE(value, QStringLiteral("run1-%1").arg(later - 1 - i));
        else
            QVERIFY2(value.isEmpty(), qPrintable(QStringLiteral("key %1 left: %2").arg(i).arg(value)));
    }
}

void tst_HistoryCombo::completion_data()
{
    QTest::addColumn<QStringList>("list");
    // '\b' Backspace, '\x7f' Delete, '<' Left, '\x01' Ctrl+A, '\x18' Ctrl+A then Ctrl+X
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<int>("caret");
    QTest::newRow("g completes") << QStringList{"g,txp"} << "g" << "g,txp" << ",txp" << 5;
    QTest::newRow("case ignored") << QStringList{"G,TXP"} << "g" << "G,TXP" << ",TXP" << 5;
    QTest::newRow("first match") << QStringList{"ver", "v2"} << "v" << "ver" << "er" << 3;
    QTest::newRow("typing over completion") << QStringList{"ver", "v2"} << "v2" << "v2" << "" << 2;
    QTest::newRow("no match") << QStringList{"g,txp"} << "x" << "x" << "" << 1;
    QTest::newRow("backspace not completed") << QStringList{"g,txp"} << "g\b" << "g" << "" << 1;
    QTest::newRow("typing after backspace completes") << QStringList{"g,txp"} << "g\b," << "g,txp" << "txp" << 5;
    QTest::newRow("delete drops the completed tail") << QStringList{"txp,-12"} << "txp,-1\x7f" << "txp,-1" << "" << 6;
    QTest::newRow("select all, backspace empties") << QStringList{"ver", "inv"} << "x\x01\b" << "" << "" << 0;
    QTest::newRow("select all, delete empties") << QStringList{"ver", "inv"} << "x\x01\x7f" << "" << "" << 0;
    QTest::newRow("typing inside the text keeps the caret") << QStringList{"ver,1"} << "vr<e" << "ver,1" << "" << 2;
    QTest::newRow("emptied by a cut: first entry") << QStringList{"ver", "inv"} << "x\x18" << "ver" << "ver" << 3;
}

// The keys go where an operator's go: to the focused widget of a shown, active window, in
// which the box (not its line edit) holds the focus.
void tst_HistoryCombo::completion()
{
    QFETCH(QStringList, list);
    QFETCH(QString, keys);
    QFETCH(QString, text);
    QFETCH(QString, selected);
    QFETCH(int, caret);
    CSettingsStore store(iniPath());
    QWidget window;
    auto *combo = new CHistoryCombo(&window);
    new QLineEdit(&window);   // somewhere else for the focus to be
    combo->SetSettingsStore(&store);
    combo->addItems(list);
    combo->setEditText(QString());
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    combo->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(combo->hasFocus());
    QWidget *const focused = QApplication::focusWidget();
    QVERIFY(focused);
    for (const QChar key : keys) {
        if (key == QLatin1Char('\b'))
            QTest::keyClick(focused, Qt::Key_Backspace);
        else if (key == QLatin1Char('\x7f'))
            QTest::keyClick(focused, Qt::Key_Delete);
        else if (key == QLatin1Char('<'))
            QTest::keyClick(focused, Qt::Key_Left);
        else if (key == QLatin1Char('\x01'))
            QTest::keySequence(focused, QKeySequence(QKeySequence::SelectAll));
        else if (key == QLatin1Char('\x18')) {
            QTest::keySequence(focused, QKeySequence(QKeySequence::SelectAll));
            QTest::keySequence(focused, QKeySequence(QKeySequence::Cut));
        } else
            QTest::keyClick(focused, key.toLatin1());
    }
    QCOMPARE(combo->currentText(), text);
    QCOMPARE(combo->lineEdit()->selectedText(), selected);
    QCOMPARE(combo->lineEdit()->cursorPosition(), caret);
    QCOMPARE(combo->entries(), list);
}

void tst_HistoryCombo::savedTextRestored_data()
{
    QTest::addColumn<QString>("savedText");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("index");
    QTest::newRow("no match restored as text") << "s,1" << "s,1" << -1;
    QTest::newRow("match selects entry") << "INV" << "inv" << 1;
}

void tst_HistoryCombo::savedTextRestored()
{
    QFETCH(QString, savedText);
    QFETCH(QString, text);
    QFETCH(int, index);
    CSettingsStore store(iniPath());
    store.WriteString(HISTORY_SECTION, PREFIX + QStringLiteral("0"), QStringLiteral("ver"));
    store.WriteString(HISTORY_SECTION, PREFIX + QStringLiteral("1"), QStringLiteral("inv"));
    store.WriteString(HISTORY_SECTION, PREFIX, savedText);
    CHistoryCombo combo;
    combo.SetSettingsStore(&store);
    QCOMPARE(combo.LoadHistory(), savedText);
    QCOMPARE(combo.entries(), (QStringList{"ver", "inv"}));
    QCOMPARE(combo.currentText(), text);
    QCOMPARE(combo.currentIndex(), index);
}

void tst_HistoryCombo::sameCommandLeavesFile_data()
{
    QTest::addColumn<QString>("again");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("rewritten");
    QTest::newRow("newest again") << "inv" << QStringList{"inv", "ver"} << false;
    QTest::newRow("newest with spaces") << "  inv " << QStringList{"inv", "ver"} << false;
    QTest::newRow("newest in other case") << "INV" << QStringList{"INV", "ver"} << true;
    QTest::newRow("older again") << "ver" << QStringList{"ver", "inv"} << true;
}

void tst_HistoryCombo::sameCommandLeavesFile()
{
    QFETCH(QString, again);
    QFETCH(QStringList, expected);
    QFETCH(bool, rewritten);
    CSettingsStore store(iniPath());
    CHistoryCombo combo;
    combo.SetSettingsStore(&store);
    combo.LoadHistory();
    send(combo, QStringLiteral("ver"));
    send(combo, QStringLiteral("inv"));
    QVERIFY(store.Flush());
    const ino_t before = inode(iniPath());
    send(combo, again);
    QVERIFY(store.Flush());
    QCOMPARE(combo.entries(), expected);
    QCOMPARE(inode(iniPath()) != before, rewritten);
}

QTEST_MAIN(tst_HistoryCombo)
#include "tst_historycombo.moc"
