// The serial line's code page: a stream decoded in any cut gives the text decoded whole; bad
// bytes are replaced one for one; the sending conversion refuses what it cannot represent.

#include "platform/CodePage.h"

#include <QtTest>

class TestCodePage : public QObject
{
    Q_OBJECT
private slots:
    void everyCutDecodesAlike_data();
    void everyCutDecodesAlike();
    void badBytesReplaced_data();
    void badBytesReplaced();
    void encodeRoundTrip_data();
    void encodeRoundTrip();
    void latin1Strict_data();
    void latin1Strict();
    void localeCodeSetIsUsable();
};

void TestCodePage::everyCutDecodesAlike_data()
{
    QTest::addColumn<QString>("codeSet");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const QString hangul = QString::fromUtf8("\xED\x95\x9C\xEA\xB8\x80 A-17\r\n");
    QTest::newRow("EUC-KR") << "EUC-KR" << QByteArray("\xC7\xD1\xB1\xDB A-17\r\n") << hangul;
    QTest::newRow("CP949") << "CP949" << QByteArray("\xC7\xD1\xB1\xDB A-17\r\n") << hangul;
    QTest::newRow("UTF-8") << "UTF-8" << hangul.toUtf8() << hangul;
    QTest::newRow("UTF-8 outside the basic plane") << "UTF-8" << QByteArray("x\xF0\x9F\x98\x80y")
                                                   << QString::fromUtf8("x\xF0\x9F\x98\x80y");
    // Shifted, bytes below 0x80 are Hangul: a piece of them alone is no ASCII.
    QTest::newRow("ISO-2022-KR") << "ISO-2022-KR" << QByteArray("\x1B$)C\x0E\x47\x51\x0F A\r\n")
                                 << QString::fromUtf8("\xED\x95\x9C A\r\n");
}

void TestCodePage::everyCutDecodesAlike()
{
    QFETCH(QString, codeSet);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    for (qsizetype a = 0; a <= bytes.size(); ++a) {
        for (qsizetype b = a; b <= bytes.size(); ++b) {
            CCodePageDecoder decoder(codeSet);
            QVERIFY(decoder.isValid());
            // One statement per piece: the pieces must be decoded in stream order.
            QString got = decoder.decode(bytes.left(a));
            got += decoder.decode(bytes.mid(a, b - a));
            got += decoder.decode(bytes.mid(b));
            QCOMPARE(got, text);
            QCOMPARE(decoder.heldBackBytes(), 0);
        }
    }
}

void TestCodePage::badBytesReplaced_data()
{
    QTest::addColumn<QString>("codeSet");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    const QString r(QChar(0xFFFD));
    QTest::newRow("UTF-8 stray byte") << "UTF-8" << QByteArray("a\xFF" "b") << "a" + r + "b";
    QTest::newRow("UTF-8 two stray bytes") << "UTF-8" << QByteArray("\x80\x80" "ok") << r + r + "ok";
    QTest::newRow("EUC-KR lead byte before ASCII") << "EUC-KR" << QByteArray("\xC7" "A\r\n") << r + "A\r\n";
    QTest::newRow("cut character at the end of the stream") << "EUC-KR" << QByteArray("ok\xC7") << "ok" + r;
}

void TestCodePage::badBytesReplaced()
{
    QFETCH(QString, codeSet);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    CCodePageDecoder decoder(codeSet);
    QString got = decoder.decode(bytes);
    got += decoder.flush();
    QCOMPARE(got, text);
}

void TestCodePage::encodeRoundTrip_data()
{
    QTest::addColumn<QString>("codeSet");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("EUC-KR Hangul") << "EUC-KR" << QString::fromUtf8("\xED\x95\x9C\xEA\xB8\x80")
                                   << QByteArray("\xC7\xD1\xB1\xDB");
    QTest::newRow("Latin-1") << "ISO-8859-1" << QString::fromUtf8("caf\xC3\xA9") << QByteArray("caf\xE9");
    QTest::newRow("unrepresentable becomes ?") << "ISO-8859-1" << QString::fromUtf8("a\xED\x95\x9C" "b")
                                               << QByteArray("a?b");
}

void TestCodePage::encodeRoundTrip()
{
    QFETCH(QString, codeSet);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    CCodePageEncoder encoder(codeSet);
    QCOMPARE(encoder.encode(text), bytes);
    if (!bytes.contains('?')) {
        CCodePageDecoder decoder(codeSet);
        QCOMPARE(decoder.decode(bytes), text);
    }
}

void TestCodePage::latin1Strict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << "ver" << true << QByteArray("ver");
    QTest::newRow("U+00FF") << QString(QChar(0xFF)) << true << QByteArray("\xFF");
    QTest::newRow("U+0100 refused") << QString(QChar(0x100)) << false << QByteArray();
}

void TestCodePage::latin1Strict()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QByteArray, bytes);
    QByteArray out("stale");
    QCOMPARE(EncodeLatin1Strict(text, out), ok);
    QCOMPARE(out, bytes);
}

void TestCodePage::localeCodeSetIsUsable()
{
    // Whatever the machine's locale, the decoder built from it must work: bytes never vanish.
    CCodePageDecoder decoder;
    QVERIFY2(decoder.isValid(), qPrintable(decoder.codeSet()));
    QCOMPARE(decoder.decode(QByteArray("ver\r\n")), QStringLiteral("ver\r\n"));
}

QTEST_GUILESS_MAIN(TestCodePage)
#include "tst_codepage.moc"
