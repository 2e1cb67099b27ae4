// The tag counts against a fed clock, their table (filter, sort), and the CSV: its quoting,
// its round trip through a trusted CSV reader, and a full disk during an export. The EPC
// decoder against the standard's worked examples and bit patterns packed by an independent
// encoder, and against invalid encodings of each kind.

#include "epc/EpcDecoder.h"
#include "epc/TagJson.h"
#include "monitor/TagCsv.h"
#include "monitor/TagMonitor.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/ReadRatePlot.h"
#include "monitor/widgets/TagMonitorDlg.h"
#include "tests/support/SmallDisk.h"

#include <QJsonArray>
#include <QLabel>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <numeric>

namespace {

constexpr qint64 T0 = 1'700'000'000'000;   // a whole second, ms since the epoch

// One read: at T0 + ms, the line, 's' for a scan.
struct Read
{
    qint64 ms;
    QString line;
    char kind = 'r';
};
using Reads = QList<Read>;

struct FedMonitor
{
    explicit FedMonitor(int maxTags = CTagMonitor::MAX_TAGS) : monitor([this] { return now; }, maxTags) {}
    qint64 now = T0;
    CTagMonitor monitor;

    void feed(const Reads &reads)
    {
        for (const Read &r : reads) {
            now = T0 + r.ms;
            monitor.Count(r.line, r.kind == 's' ? TagKind::BarcodeScan : TagKind::RfidTag);
        }
    }
    // "text kind reads first..last [decoded]" per tag, first-read order.
    QStringList dump() const
    {
        QStringList out;
        for (int t = 0; t < monitor.DistinctTags(); ++t)
            out << (QStringLiteral("%1 %2 %3 %4..%5 ").arg(monitor.Text(t), QLatin1String(monitor.Kind(t) == TagKind::BarcodeScan ? "s" : "r"))
                        .arg(monitor.ReadsOf(t)).arg(monitor.FirstSeenMs(t) - T0).arg(monitor.LastSeenMs(t) - T0)
                    + monitor.Decoded(t)).trimmed();
        return out;
    }
};

QStringList shownTags(const CTagTableModel &model)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.index(row, CTagTableModel::TagColumn).data().toString();
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Reads)

class TestTagMonitor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void epcDecode_data();
    void epcDecode();
    void counts_data();
    void counts();
    void ratesAgainstReference();
    void windowRateAfterBurst_data();
    void windowRateAfterBurst();
    void filterAndSort_data();
    void filterAndSort();
    void largeTableSortedOffThread_data();
    void largeTableSortedOffThread();
    void csvField_data();
    void csvField();
    void csvRoundTrip();
    void exportOnFullDisk_data();
    void exportOnFullDisk();
};

void TestTagMonitor::initTestCase()
{
    // An offset with minutes, so the written offset is seen to be the zone's.
    qputenv("TZ", "IST-5:30");
    tzset();
}

void TestTagMonitor::epcDecode_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("tagUriAndKey");
    // The standard's worked examples: the SGTIN-96 and SGTIN-198 encodings of
    // 0614141.812345.6789 with GTIN 80614141123458, the SSCC 106141412345678908, and the pure
    // identity URIs of its URI section (sgln, grai, giai, gid), encoded at filter 3.
    QTest::newRow("sgtin-96") << "3074257BF7194E4000001A85" << "urn:epc:id:sgtin:0614141.812345.6789"
                              << "urn:epc:tag:sgtin-96:3.0614141.812345.6789 gtin=80614141123458";
    QTest::newRow("sgtin-96 lower case, PC word") << "30003074257bf7194e4000001a85" << "urn:epc:id:sgtin:0614141.812345.6789"
                                                  << "urn:epc:tag:sgtin-96:3.0614141.812345.6789 gtin=80614141123458";
    QTest::newRow("sgtin-96 partition 0, largest serial") << "3020393243F1663FFFFFFFFF" << "urn:epc:id:sgtin:061414112345.8.274877906943"
                                                          << "urn:epc:tag:sgtin-96:1.061414112345.8.274877906943 gtin=80614141123458";
    QTest::newRow("sgtin-96 partition 6, zeros kept") << "30183BF984B5A1C000000000" << "urn:epc:id:sgtin:061414.1234567.0"
                                                      << "urn:epc:tag:sgtin-96:0.061414.1234567.0 gtin=10614142345676";
    QTest::newRow("sscc-96") << "3174257BF4499602D2000000" << "urn:epc:id:sscc:0614141.1234567890"
                             << "urn:epc:tag:sscc-96:3.0614141.1234567890 sscc=106141412345678908";
    QTest::newRow("sgln-96") << "3274257BF460720000000190" << "urn:epc:id:sgln:0614141.12345.400" << "urn:epc:tag:sgln-96:3.0614141.12345.400";
    QTest::newRow("sgln-96 no location digits") << "3200393243F1640000000000" << "urn:epc:id:sgln:061414112345..0" << "urn:epc:tag:sgln-96:0.061414112345..0";
    QTest::newRow("grai-96") << "3374257BF40C0E4000000190" << "urn:epc:id:grai:0614141.12345.400" << "urn:epc:tag:grai-96:3.0614141.12345.400";
    QTest::newRow("giai-96") << "3474257BF400000000BC6038" << "urn:epc:id:giai:0614141.12345400" << "urn:epc:tag:giai-96:3.0614141.12345400";
    QTest::newRow("gid-96") << "355AB1C60003039000000190" << "urn:epc:id:gid:95100000.12345.400" << "urn:epc:tag:gid-96:95100000.12345.400";
    QTest::newRow("sgtin-198") << "3674257BF7194E5B3770E4000000000000000000000000000000" << "urn:epc:id:sgtin:0614141.812345.6789"
                               << "urn:epc:tag:sgtin-198:3.0614141.812345.6789 gtin=80614141123458";
    QTest::newRow("sgtin-198 escaped /") << "3634257BF6B7A659B2C2BF100000000000000000000000000000" << "urn:epc:id:sgtin:0614141.712345.32a%2Fb"
                                         << "urn:epc:tag:sgtin-198:1.0614141.712345.32a%2Fb gtin=70614141123451";
    QTest::newRow("grai-170, no asset type digits") << "3700393243F16420C287122C68F224CA97326CE9F400" << "urn:epc:id:grai:061414112345..ABCDEFGHIJKLMNOP"
                                                    << "urn:epc:tag:grai-170:0.061414112345..ABCDEFGHIJKLMNOP";
    QTest::newRow("giai-202, longest reference") << "3860393243F1660C287122C68F224CA97326CE9F428D20000000" << "urn:epc:id:giai:061414112345.ABCDEFGHIJKLMNOPQR"
                                                 << "urn:epc:tag:giai-202:3.061414112345.ABCDEFGHIJKLMNOPQR";
    QTest::newRow("sgln-195, every escape") << "3954257BF46072892A65EF1F3FBE853A852A95AC5AB9D3B7A000"
                                            << "urn:epc:id:sgln:0614141.12345.%22%25%26%2F%3C%3E%3F_!'()*+,-.:;="
                                            << "urn:epc:tag:sgln-195:2.0614141.12345.%22%25%26%2F%3C%3E%3F_!'()*+,-.:;=";
    QTest::newRow("unknown header") << "E2000000000000000000ABCD" << "unknown EPC header E2" << "";
    QTest::newRow("unknown header after a PC word") << "3000E2000000000000000000ABCD" << "unknown EPC header E2" << "";
    const QString sgtin = QStringLiteral("invalid sgtin-96: ");
    QTest::newRow("reserved partition") << "307C257BF7194E4000001A85" << sgtin + "partition value 7 is reserved" << "";
    QTest::newRow("company prefix too large") << "3076625A03194E4000001A85" << sgtin + "company prefix 10000000 has more than 7 digits" << "";
    QTest::newRow("item reference too large") << "3074257BF7D0900000001A85" << sgtin + "itemReference 1000000 has more than 6 digits" << "";
    QTest::newRow("location bit without digits") << "3260393243F1660000000000" << "invalid sgln-96: locationReference 1 has more than 0 digits" << "";
    QTest::newRow("character outside the set") << "3674257BF7194E5B3746E4000000000000000000000000000000"
                                               << "invalid sgtin-198: serial holds character 0x23, outside the encodable set" << "";
    QTest::newRow("bits after the string's end") << "3674257BF7194E5B3770E4041000000000000000000000000000"
                                                 << "invalid sgtin-198: serial has non-zero padding after its characters" << "";
    QTest::newRow("empty serial") << "3674257BF7194E40000000000000000000000000000000000000" << "invalid sgtin-198: serial is empty" << "";
    QTest::newRow("bits after the encoding") << "3674257BF7194E5B3770E4000000000000000000000000000001"
                                             << "invalid sgtin-198: non-zero bits after the encoding's 198 bits" << "";
    QTest::newRow("sscc reserved bits") << "3174257BF4499602D2000001" << "invalid sscc-96: reserved bits are not zero" << "";
    QTest::newRow("asset reference too long") << "3860393243F1660C287122C68F224CA97326CE9F428D2A600000"
                                              << "invalid giai-202: individualAssetReference is longer than 18 characters" << "";
    QTest::newRow("96-bit header in 208 bits") << "3074257BF7194E4000001A85" + QString(28, u'0') << sgtin + "the EPC has 208 bits, the scheme takes 96" << "";
    QTest::newRow("barcode") << "8801234567893" << "" << "";
    QTest::newRow("ASCII text") << "Hello, tag 0123456789AB" << "" << "";
    QTest::newRow("text to escape") << QString::fromUtf8("\"q\" \\ \x01\x1f \xED\x95\x9C\xF0\x9F\x98\x80") << "" << "";
    QTest::newRow("hex of another length") << "3074257BF7194E4000001A" << "" << "";
    QTest::newRow("PC toggle: no GS1 EPC") << "31003074257BF7194E4000001A85" << "" << "";
    QTest::newRow("PC length not the line's") << "38003074257BF7194E4000001A85" << "" << "";
}

void TestTagMonitor::epcDecode()
{
    QFETCH(QString, line);
    QFETCH(QString, summary);
    QFETCH(QString, tagUriAndKey);
    const DecodedEpc epc = DecodeEpcLine(line);
    QCOMPARE(epc.Summary(), summary);
    QCOMPARE((epc.tagUri + u' ' + (epc.keyName.isEmpty() ? QString() : epc.keyName + u'=' + epc.key)).trimmed(), tagUriAndKey);
    const QJsonObject json = EpcJson(epc);
    QCOMPARE(json.size(), EpcNameValues(epc).size());
    // watch's hand-written JSON reads back as the object: every field, every escape.
    QByteArray written = "{\"line\":0";
    AppendTagJsonFields(written, line);
    written += '}';
    QJsonParseError error;
    QJsonObject read = QJsonDocument::fromJson(written, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    read.remove(QStringLiteral("line"));
    QCOMPARE(read, TagJson(line));
    if (epc.status == EpcStatus::Decoded) {
        QCOMPARE(json.value("uri").toString(), summary);
        QStringList values;
        for (const EpcField &f : epc.fields)
            values << json.value(f.name).toString();
        QVERIFY(summary.endsWith(values.join(u'.')));
    }
}

void TestTagMonitor::counts_data()
{
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("maxTags");
    QTest::addColumn<int>("others");
    const int unbounded = CTagMonitor::MAX_TAGS;
    const QString hangul = QString::fromUtf8("\xED\x95\x9C\xEA\xB8\x80");
    const QString emoji = QString::fromUtf8("\xF0\x9F\x93\xA6");
    QTest::newRow("repeats counted, first and last kept")
        << Reads{{0, "A"}, {250, "B"}, {1500, "A"}, {2999, "A"}} << QStringList{"A r 3 0..2999", "B r 1 250..250"} << 4 << unbounded << 0;
    QTest::newRow("case variants are distinct tags")
        << Reads{{0, "e200ab"}, {1, "E200AB"}, {2, "e200ab"}} << QStringList{"e200ab r 2 0..2", "E200AB r 1 1..1"} << 3 << unbounded << 0;
    QTest::newRow("empty line is no tag") << Reads{{0, ""}, {5, "A"}} << QStringList{"A r 1 5..5"} << 1 << unbounded << 0;
    QTest::newRow("unknown headers' texts, kept once, each its own")
        << Reads{{0, "E2000000000000000000ABCD"}, {1, "3074257BF7194E4000001A85"}, {2, "E2000000000000000000ABCE"},
                 {3, "E1000000000000000000ABCD"}}
        << QStringList{"E2000000000000000000ABCD r 1 0..0 unknown EPC header E2",
                       "3074257BF7194E4000001A85 r 1 1..1 urn:epc:id:sgtin:0614141.812345.6789",
                       "E2000000000000000000ABCE r 1 2..2 unknown EPC header E2",
                       "E1000000000000000000ABCD r 1 3..3 unknown EPC header E1"} << 4 << unbounded << 0;
    QTest::newRow("kind of the first read")
        << Reads{{0, "880123", 's'}, {9, "880123"}} << QStringList{"880123 s 2 0..9"} << 2 << unbounded << 0;
    QTest::newRow("text beyond ASCII, lone surrogate replaced")
        << Reads{{0, hangul, 's'}, {1, emoji}, {2, QString(QChar(0xD800))}, {3, hangul, 's'}}
        << QStringList{hangul + " s 2 0..3", emoji + " r 1 1..1", QString(QChar(0xFFFD)) + " r 1 2..2"} << 4 << unbounded << 0;
    QTest::newRow("clock going back keeps the last seen")
        << Reads{{5000, "A"}, {3000, "A"}} << QStringList{"A r 2 5000..5000"} << 2 << unbounded << 0;
    Reads many;
    QStringList manyExpected;
    // Past two record blocks, and texts past one text chunk.
    const auto name = [](int i) { return QStringLiteral("T%1").arg(i) + QString(i % 30 == 0 ? 1000 : 0, u'x'); };
    for (int i = 0; i < 9000; ++i) {
        many << Read{i, name(i)} << Read{i, name(i / 2)};
        manyExpected << QStringLiteral("%1 r %2 %3..%4").arg(name(i)).arg(i < 4500 ? 3 : 1).arg(i).arg(i < 4500 ? 2 * i + 1 : i);
    }
    QTest::newRow("9000 tags") << many << manyExpected << 18000 << unbounded << 0;
    QTest::newRow("EPC decoded, bare and after a PC word; other lines not")
        << Reads{{0, "3074257BF7194E4000001A85"}, {1, "30003074257BF7194E4000001A85"}, {2, "8801234567893", 's'}}
        << QStringList{"3074257BF7194E4000001A85 r 1 0..0 urn:epc:id:sgtin:0614141.812345.6789",
                       "30003074257BF7194E4000001A85 r 1 1..1 urn:epc:id:sgtin:0614141.812345.6789", "8801234567893 s 1 2..2"}
        << 3 << unbounded << 0;
    QTest::newRow("hexadecimal texts of odd length beside their neighbours")
        << Reads{{0, "ABC"}, {1, "ABC0"}, {2, "abc"}, {3, "0"}, {4, "ABCDEF0123456789ABCDEF012"}, {5, "ABCDEF0123456789ABCDEF0G"},
                 {6, "ABCDEF0123456789ABCDEF01"}, {7, "ABC"}}
        << QStringList{"ABC r 2 0..7", "ABC0 r 1 1..1", "abc r 1 2..2", "0 r 1 3..3", "ABCDEF0123456789ABCDEF012 r 1 4..4",
                       "ABCDEF0123456789ABCDEF0G r 1 5..5", "ABCDEF0123456789ABCDEF01 r 1 6..6 unknown EPC header AB"}
        << 8 << unbounded << 0;
    QTest::newRow("past the bound: known tags count on, new ones are others")
        << Reads{{0, "A"}, {1, "B"}, {2, "C"}, {3, "A"}, {4, "D"}, {5, "C"}, {6, "B"}}
        << QStringList{"A r 2 0..3", "B r 2 1..6"} << 7 << 2 << 3;

}

void TestTagMonitor::counts()
{
    QFETCH(Reads, reads);
    QFETCH(QStringList, expected);
    QFETCH(int, total);
    QFETCH(int, maxTags);
    QFETCH(int, others);
    FedMonitor fed(maxTags);
    QList<int> boundCalls;
    fed.monitor.SetBoundHandler([&](int max) { boundCalls << max; });
    fed.feed(reads);
    QCOMPARE(fed.dump(), expected);
    QCOMPARE(fed.monitor.Reads(), quint64(total));
    QCOMPARE(fed.monitor.OtherReads(), quint64(others));
    QCOMPARE(boundCalls, others > 0 ? QList<int>{maxTags} : QList<int>{});
    for (int t = 0; t < fed.monitor.DistinctTags(); ++t)
        QCOMPARE(fed.monitor.IndexOf(fed.monitor.Text(t)), t);
    // The text order, whichever way a text is stored, is that of its UTF-8 bytes.
    std::vector<int> byText(size_t(fed.monitor.DistinctTags()));
    std::iota(byText.begin(), byText.end(), 0);
    std::vector<int> expectedOrder = byText;
    std::stable_sort(expectedOrder.begin(), expectedOrder.end(),
                     [&](int a, int b) { return fed.monitor.TextUtf8(a) < fed.monitor.TextUtf8(b); });
    const std::shared_ptr<const CTagMonitor> monitor(&fed.monitor, [](const CTagMonitor *) {});
    CTagMonitor::Order(monitor, byText, CTagMonitor::OrderKey::Text, false, fed.now);
    QCOMPARE(byText, expectedOrder);
    for (size_t i = 1; i < byText.size() && byText.size() < 100; ++i)
        QVERIFY(fed.monitor.CompareText(byText[i - 1], byText[i]) < 0);
    const quint64 generation = fed.monitor.Generation();
    fed.monitor.Clear();
    QVERIFY(fed.monitor.Generation() != generation);
    QCOMPARE(fed.monitor.DistinctTags(), 0);
    QCOMPARE(fed.monitor.OtherReads(), quint64(0));
    QCOMPARE(fed.monitor.IndexOf(QStringLiteral("A")), -1);
    fed.feed({{0, "A"}});
    QCOMPARE(fed.dump(), QStringList{"A r 1 0..0"});
}

// Per-tag rates and the per-second history against counting every read by hand: random
// reads of a few tags with bursts and gaps longer than either window, asked at random times.
void TestTagMonitor::ratesAgainstReference()
{
    QRandomGenerator random(7);
    FedMonitor fed;
    QList<QPair<qint64, int>> log;   // (ms, tag) of every read
    qint64 at = 0;
    for (int i = 0; i < 4000; ++i) {
        at += random.bounded(20) == 0 ? random.bounded(90000) : random.bounded(300);
        const int tag = random.bounded(4);
        fed.feed({{at, QStringLiteral("tag%1").arg(tag)}});
        log << qMakePair(T0 + at, tag);
        if (random.bounded(10) != 0)
            continue;
        const qint64 ask = T0 + at + random.bounded(15000);
        const qint64 second = ask / 1000;
        const auto history = fed.monitor.ReadsPerSecond(ask);
        for (int t = 0; t < fed.monitor.DistinctTags(); ++t) {
            const int number = fed.monitor.Text(t).mid(3).toInt();
            int inWindow = 0;
            for (const auto &read : log)
                inWindow += read.second == number && read.first / 1000 >= second - 10;
            QCOMPARE(fed.monitor.Rate(t, ask), inWindow / (10 + (ask % 1000) / 1000.0));
        }
        int allInWindow = 0;
        for (const auto &read : log)
            allInWindow += read.first / 1000 >= second - 10;
        QCOMPARE(fed.monitor.Rate(ask), allInWindow / (10 + (ask % 1000) / 1000.0));
        for (int s = 0; s < CTagMonitor::HISTORY_SECONDS; ++s) {
            quint64 inSecond = 0;
            for (const auto &read : log)
                inSecond += read.first / 1000 == second - CTagMonitor::HISTORY_SECONDS + s;
            QCOMPARE(history[size_t(s)], inSecond);
        }
    }
}

void TestTagMonitor::windowRateAfterBurst_data()
{
    QTest::addColumn<int>("burst");      // reads in the first second
    QTest::addColumn<int>("perSecond");  // in each of the next fifteen
    QTest::addColumn<QString>("rate");   // the window's header
    QTest::addColumn<int>("scaleTop");
    QTest::newRow("900/s after a burst of 100,000") << 100000 << 900 << "Reads/s (10 s): 900.0" << 1000;
    QTest::newRow("steady 40/s") << 40 << 40 << "Reads/s (10 s): 40.0" << 50;
}

// The monitor's window after a burst: its header says the rate the table, the export and the
// plot's newest bars say, and the plot's scale has come back down to the ordinary rate.
void TestTagMonitor::windowRateAfterBurst()
{
    QFETCH(int, burst);
    QFETCH(int, perSecond);
    QFETCH(QString, rate);
    QFETCH(int, scaleTop);
    FedMonitor fed;
    for (int second = 0; second < 16; ++second) {
        const int reads = second == 0 ? burst : perSecond;
        for (int i = 0; i < reads; ++i) {
            fed.now = T0 + second * 1000 + qint64(i) * 1000 / reads;
            fed.monitor.Count(QStringLiteral("tag%1").arg(i % 3), TagKind::RfidTag);
        }
    }
    fed.now = T0 + 16000;
    CTagMonitorDlg window(fed.monitor);
    window.Refresh();
    QVERIFY2(window.totals()->text().endsWith(rate), qPrintable(window.totals()->text()));
    QCOMPARE(fed.monitor.Rate(fed.now), double(perSecond));
    QCOMPARE(window.plot()->Values().last(), quint64(perSecond));
    QCOMPARE(CReadRatePlot::ScaleTopFor(window.plot()->Values()), quint64(scaleTop));
}

void TestTagMonitor::filterAndSort_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("expected");
    using M = CTagTableModel;
    const QString S = QStringLiteral("3074257BF7194E4000001A85");   // urn:epc:id:sgtin:0614141.812345.6789
    QTest::newRow("first read order") << "" << -1 << 0 << QStringList{"E20b", "x,1", "e20a", "Q\"2", S};
    QTest::newRow("tag ascending") << "" << int(M::TagColumn) << 0 << QStringList{S, "E20b", "Q\"2", "e20a", "x,1"};
    QTest::newRow("tag descending") << "" << int(M::TagColumn) << 1 << QStringList{"x,1", "e20a", "Q\"2", "E20b", S};
    QTest::newRow("reads descending, ties by first read") << "" << int(M::ReadsColumn) << 1 << QStringList{"e20a", "E20b", "x,1", "Q\"2", S};
    QTest::newRow("last seen ascending") << "" << int(M::LastSeenColumn) << 0 << QStringList{"x,1", "Q\"2", S, "E20b", "e20a"};
    QTest::newRow("rate descending") << "" << int(M::RateColumn) << 1 << QStringList{"e20a", "E20b", "x,1", "Q\"2", S};
    QTest::newRow("kind ascending") << "" << int(M::KindColumn) << 0 << QStringList{"E20b", "e20a", "Q\"2", S, "x,1"};
    QTest::newRow("decoded descending") << "" << int(M::DecodedColumn) << 1 << QStringList{S, "E20b", "x,1", "e20a", "Q\"2"};
    QTest::newRow("filter any case, sorted") << "E20" << int(M::ReadsColumn) << 0 << QStringList{"E20b", "e20a"};
    QTest::newRow("filter with a quote") << "q\"" << -1 << 0 << QStringList{"Q\"2"};
    QTest::newRow("filter matching nothing") << "zz" << -1 << 0 << QStringList{};
    QTest::newRow("filter by GTIN") << "80614141123458" << -1 << 0 << QStringList{S};
    QTest::newRow("filter by company prefix") << "0614141." << -1 << 0 << QStringList{S};
    QTest::newRow("filter by scheme, any case") << "SGTIN" << -1 << 0 << QStringList{S};
}

// The reads: E20b 2 at 0 s and 5 s, x,1 (scan) at 1 s, e20a 3 at 2 s, 6 s and 7 s, Q"2 at 3 s,
// an SGTIN-96 at 4 s; asked at 8 s. A tag read after the first refresh comes in as a row in the same order.
void TestTagMonitor::filterAndSort()
{
    QFETCH(QString, filter);
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QStringList, expected);
    FedMonitor fed;
    CTagTableModel model(fed.monitor);
    fed.feed({{0, "E20b"}, {1000, "x,1", 's'}, {2000, "e20a"}, {3000, "Q\"2"}, {4000, "3074257BF7194E4000001A85"},
              {5000, "E20b"}, {6000, "e20a"}});
    model.SetFilter(filter);
    model.sort(column, Qt::SortOrder(order));
    model.Refresh(T0 + 6500);
    // The current row follows its tag through the new order.
    QItemSelectionModel selection(&model);
    selection.setCurrentIndex(model.index(model.rowCount() - 1, 0), QItemSelectionModel::NoUpdate);
    const QString current = selection.currentIndex().data().toString();
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    fed.feed({{7000, "e20a"}});
    model.Refresh(T0 + 8000);
    QCOMPARE(shownTags(model), expected);
    QCOMPARE(selection.currentIndex().data().toString(), current);
    QCOMPARE(inserted.size(), 0);
    fed.feed({{7500, "e20c"}});
    model.Refresh(T0 + 8000);
    QCOMPARE(inserted.size(), filter.isEmpty() || QString("e20c").contains(filter, Qt::CaseInsensitive) ? 1 : 0);
}

// Past SYNC_SORT_ROWS the order is made on the sorting thread: the rows keep their order
// until it is back, the tags read meanwhile follow it in order of first read, the current row
// follows its tag, and an order made stale by a new filter or a clear is never shown.
void TestTagMonitor::largeTableSortedOffThread_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("meanwhile");
    using M = CTagTableModel;
    QTest::newRow("reads descending, tags read meanwhile") << int(M::ReadsColumn) << 1 << "read";
    QTest::newRow("tag ascending, tags read meanwhile") << int(M::TagColumn) << 0 << "read";
    QTest::newRow("decoded descending") << int(M::DecodedColumn) << 1 << "";
    QTest::newRow("rate ascending, filter changed") << int(M::RateColumn) << 0 << "filter";
    QTest::newRow("reads descending, cleared") << int(M::ReadsColumn) << 1 << "clear";
}

void TestTagMonitor::largeTableSortedOffThread()
{
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QString, meanwhile);
    const int tags = CTagTableModel::SYNC_SORT_ROWS + 500;
    FedMonitor fed;
    // Texts in no order of first read (7919 and the count share no factor), reads 1 to 13.
    Reads reads;
    for (int i = 0; i < tags; ++i) {
        for (int r = 0; r <= i % 13; ++r)
            reads.append({i % 1000, QStringLiteral("E2%1").arg(i * 7919 % tags, 6, 16, QLatin1Char('0'))});
    }
    fed.feed(reads);
    CTagTableModel model(fed.monitor);
    model.Refresh(T0 + 1500);
    QItemSelectionModel selection(&model);
    selection.setCurrentIndex(model.index(5, 0), QItemSelectionModel::NoUpdate);
    const int currentTag = model.TagAt(5);
    QSignalSpy sorted(&model, &CTagTableModel::Sorted);
    model.sort(column, Qt::SortOrder(order));
    QVERIFY(model.SortPending());
    QCOMPARE(model.TagAt(5), currentTag);   // nothing moved yet
    if (meanwhile == "read") {
        fed.feed({{1200, "F1"}, {1200, "A1"}, {1300, "F1"}});
        model.Refresh(T0 + 1500);
    } else if (meanwhile == "filter") {
        model.SetFilter(QStringLiteral("e2a"));
    } else if (meanwhile == "clear") {
        fed.monitor.Clear();
        model.Refresh(T0 + 1500);
    }
    QTRY_VERIFY(!model.SortPending());
    // The filtered rows are few: ordered at once, and the stale order never shown.
    QCOMPARE(sorted.size(), meanwhile == "clear" || meanwhile == "filter" ? 0 : 1);
    if (meanwhile == "clear") {
        QCOMPARE(model.rowCount(), 0);
        return;
    }
    const std::vector<int> &rows = model.Rows();
    const bool descending = order == 1;
    const auto key = [&](int tag) -> double {
        return column == CTagTableModel::ReadsColumn ? double(fed.monitor.ReadsOf(tag)) : fed.monitor.Rate(tag, T0 + 1500);
    };
    const auto compare = [&](int a, int b) {
        if (column == CTagTableModel::TagColumn)
            return fed.monitor.CompareText(a, b);
        if (column == CTagTableModel::DecodedColumn)
            return fed.monitor.CompareDecoded(a, b);
        return key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : 0;
    };
    const size_t sortedRows = meanwhile == "read" ? rows.size() - 2 : rows.size();
    for (size_t i = 1; i < sortedRows; ++i) {
        const int c = compare(rows[i - 1], rows[i]);
        QVERIFY2((descending ? c > 0 : c < 0) || (c == 0 && rows[i - 1] < rows[i]), qPrintable(QString::number(i)));
    }
    if (meanwhile == "read") {
        QCOMPARE(model.index(int(sortedRows), 0).data().toString(), QStringLiteral("F1"));
        QCOMPARE(model.index(int(sortedRows) + 1, 0).data().toString(), QStringLiteral("A1"));
    }
    if (meanwhile == "filter") {
        int matching = 0;
        for (int tag = 0; tag < tags; ++tag)
            matching += fed.monitor.Matches(tag, "e2a") ? 1 : 0;
        QVERIFY(matching > 0 && matching < tags);
        QCOMPARE(model.rowCount(), matching);
        for (int row = 0; row < model.rowCount(); ++row)
            QVERIFY(fed.monitor.Matches(model.TagAt(row), "e2a"));
    } else {
        QCOMPARE(model.index(selection.currentIndex().row(), 0).data().toString(), fed.monitor.Text(currentTag));
    }
}

void TestTagMonitor::csvField_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain") << QByteArray("E2001234") << QByteArray("E2001234");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
    QTest::newRow("comma") << QByteArray("a,b") << QByteArray("\"a,b\"");
    QTest::newRow("quote doubled") << QByteArray("a\"b\"") << QByteArray("\"a\"\"b\"\"\"");
    QTest::newRow("CR") << QByteArray("a\rb") << QByteArray("\"a\rb\"");
    QTest::newRow("LF") << QByteArray("a\nb") << QByteArray("\"a\nb\"");
    QTest::newRow("CR LF") << QByteArray("a\r\nb") << QByteArray("\"a\r\nb\"");
    QTest::newRow("leading space") << QByteArray(" a") << QByteArray("\" a\"");
    QTest::newRow("trailing space") << QByteArray("a ") << QByteArray("\"a \"");
    QTest::newRow("inner space, semicolon, tab") << QByteArray("a b;\tc") << QByteArray("a b;\tc");
    QTest::newRow("UTF-8 kept") << QByteArray("\xED\x95\x9C,") << QByteArray("\"\xED\x95\x9C,\"");
}

void TestTagMonitor::csvField()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, written);
    QCOMPARE(CsvField(field), written);
}

// Tags holding every character a CSV must quote, exported by the export thread and read
// back by Python's csv module: every field as counted, times back to the millisecond.
void TestTagMonitor::csvRoundTrip()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 (the reference CSV reader) is not installed");
    FedMonitor fed;
    const QStringList tags{"plain", "a,b", "q\"uote", "\"", "cr\rlf\n", "crlf\r\n", " lead", "trail ", "",
                           QString::fromUtf8("\xED\x95\x9C\xEA\xB8\x80,\"x\""), "=1+2", "tab\tsemi;",
                           "3954257BF46072892A65EF1F3FBE853A852A95AC5AB9D3B7A000", "3074257BF7194E4000001A85",
                           "307C257BF7194E4000001A85", "ABC", "abc0", "E2801160600002054CC2096F7"};
    for (int i = 0; i < tags.size(); ++i)
        fed.feed({{i * 1234 + 7, tags[i], i % 2 ? 's' : 'r'}, {i * 1234 + 900, tags[i]}});
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tags.csv"));
    std::vector<int> rows(size_t(fed.monitor.DistinctTags()));
    std::iota(rows.begin(), rows.end(), 0);
    CTagCsvExport exporter;
    QSignalSpy finished(&exporter, &CTagCsvExport::finished);
    QVERIFY(exporter.Start(fed.monitor, rows, fed.now, path));
    fed.feed({{99999, "plain"}});   // counting goes on; the export has its copy
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().at(2).toString(), QString());

    QProcess reader;
    reader.start(python, {"-c", "import csv,json,sys; print(json.dumps(list(csv.reader("
                                "open(sys.argv[1], newline='', encoding='utf-8', errors='strict'), strict=True))))",
                          path});
    QVERIFY(reader.waitForFinished(30000));
    QCOMPARE(reader.exitCode(), 0);
    const QJsonArray table = QJsonDocument::fromJson(reader.readAllStandardOutput()).array();
    QCOMPARE(table.size(), tags.size());   // the header and one row a tag; the empty line is no tag
    QCOMPARE(table.at(0).toVariant().toStringList(),
             QStringList({"Tag", "Kind", "Reads", "First seen", "Last seen", "Reads/s (10 s)", "Decoded", "Scheme", "Tag URI"}));
    const QRegularExpression iso(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    for (int t = 0; t < fed.monitor.DistinctTags(); ++t) {
        const QStringList row = table.at(t + 1).toVariant().toStringList();
        QCOMPARE(row.size(), 9);
        QCOMPARE(row[0], tags[t < tags.indexOf(QString()) ? t : t + 1]);
        QCOMPARE(row[0], fed.monitor.Text(t));
        const DecodedEpc epc = DecodeEpcLine(row[0]);
        QCOMPARE(row.mid(6), QStringList({epc.Summary(), epc.scheme, epc.tagUri}));
        QCOMPARE(row[1], CTagTableModel::KindText(int(fed.monitor.Kind(t))));
        QCOMPARE(row[2].toULongLong(), fed.monitor.ReadsOf(t) - (row[0] == "plain" ? 1 : 0));
        QVERIFY2(iso.match(row[3]).hasMatch(), qPrintable(row[3]));
        QCOMPARE(QDateTime::fromString(row[3], Qt::ISODateWithMs).toMSecsSinceEpoch(), fed.monitor.FirstSeenMs(t));
        QCOMPARE(QDateTime::fromString(row[4], Qt::ISODateWithMs).toMSecsSinceEpoch(), fed.monitor.LastSeenMs(t) - (row[0] == "plain" ? 99999 - 900 : 0));
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("Tag,"));   // no byte order mark
    QVERIFY(bytes.endsWith("\r\n"));
}

void TestTagMonitor::exportOnFullDisk_data()
{
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<int>("tags");
    QTest::addColumn<QString>("expected");
    const QString kept = QStringLiteral("failed: disk full, old file kept, files: filler tags.csv");
    QTest::newRow("no byte free") << qint64(0) << 10 << kept;
    QTest::newRow("8 KiB free, more to write") << qint64(8192) << 2000 << kept;
    QTest::newRow("more than the disk") << qint64(128 * 1024) << 5000 << kept;
    QTest::newRow("room enough") << qint64(128 * 1024) << 100 << QStringLiteral("written, 101 lines, files: filler tags.csv");
}

// An export onto a real full disk: the file there before stays byte for byte, nothing else
// is left beside it, and the failure says why.
void TestTagMonitor::exportOnFullDisk()
{
    QFETCH(qint64, freeBytes);
    QFETCH(int, tags);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString report = ReportOfChild([&] {
        const QString refused = MountSmallTmpfs(dir.path());
        if (!refused.isEmpty())
            return "skip: " + refused;
        const QString path = dir.filePath("tags.csv");
        const QByteArray old = "Tag,Kind\r\nold,RFID tag\r\n";
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(old) != old.size() || !file.flush() || !LeaveFree(dir.path(), freeBytes))
            return QStringLiteral("disk not prepared");
        file.close();
        FedMonitor fed;
        std::vector<int> rows;
        for (int i = 0; i < tags; ++i) {
            fed.feed({{i, QStringLiteral("E200%1").arg(i, 20, 10, QLatin1Char('0'))}});
            rows.push_back(i);
        }
        const QString error = WriteTagCsv(fed.monitor, rows, fed.now, path);
        QFile after(path);
        const QByteArray now = after.open(QIODevice::ReadOnly) ? after.readAll() : QByteArray();
        QString result = error.isEmpty() ? QStringLiteral("written, %1 lines").arg(now.count("\r\n"))
                         : error == QString::fromLocal8Bit(strerror(ENOSPC)) ? QStringLiteral("failed: disk full")
                                                                              : "failed: " + error;
        if (!error.isEmpty())
            result += now == old ? ", old file kept" : ", file now " + QString::number(now.size()) + " bytes";
        return result + ", files: " + QDir(dir.path()).entryList(QDir::Files, QDir::Name).join(u' ');
    });
    if (report.startsWith("skip: "))
        QSKIP(qPrintable(report));
    QCOMPARE(report, expected);
}

QTEST_MAIN(TestTagMonitor)
#include "tst_tagmonitor.moc"
