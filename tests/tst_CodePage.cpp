#include "CodePage.h"

#include <QTest>

// The CP932 form the peers read and write.
class tst_CodePage : public QObject
{
    Q_OBJECT

private slots:
    void cp932RoundTrip_data();
    void cp932RoundTrip();
    void cp932WritesJisFormsAsWindowsDoes_data();
    void cp932WritesJisFormsAsWindowsDoes();
    void cp932RefusesForeignCharacters_data();
    void cp932RefusesForeignCharacters();
};

void tst_CodePage::cp932RoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bytes");
    QTest::newRow("ASCII") << "abc" << 3;
    QTest::newRow("half-width kana") << "ｷｬﾝｾﾙ" << 5;
    QTest::newRow("kanji") << "接続中" << 6;
    QTest::newRow("NEC special") << "①" << 2;
    QTest::newRow("wave dash") << "～" << 2;
    QTest::newRow("empty") << "" << 0;
}

void tst_CodePage::cp932RoundTrip()
{
    QFETCH(QString, text);
    QFETCH(int, bytes);
    QByteArray encoded;
    QVERIFY(CodePage::encode(text, &encoded));
    QCOMPARE(encoded.size(), bytes);
    QCOMPARE(CodePage::decode(encoded), text);
}

void tst_CodePage::cp932WritesJisFormsAsWindowsDoes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("wave dash U+301C") << QStringLiteral("\u301C") << QByteArray("\x81\x60");
    QTest::newRow("minus U+2212") << QStringLiteral("\u2212") << QByteArray("\x81\x7C");
    QTest::newRow("double bar U+2016") << QStringLiteral("\u2016") << QByteArray("\x81\x61");
    QTest::newRow("em dash U+2014") << QStringLiteral("\u2014") << QByteArray("\x81\x5C");
    QTest::newRow("cent U+00A2") << QStringLiteral("\u00A2") << QByteArray("\x81\x91");
    QTest::newRow("pound U+00A3") << QStringLiteral("\u00A3") << QByteArray("\x81\x92");
    QTest::newRow("not U+00AC") << QStringLiteral("\u00AC") << QByteArray("\x81\xCA");
    QTest::newRow("yen U+00A5") << QStringLiteral("\u00A5100") << QByteArray("\x5C" "100");
    QTest::newRow("overline U+203E") << QStringLiteral("\u203E") << QByteArray("\x7E");
    QTest::newRow("within a text") << QStringLiteral("10時\u301C12時")
                                   << QByteArray("10\x8E\x9E\x81\x60" "12\x8E\x9E");
}

void tst_CodePage::cp932WritesJisFormsAsWindowsDoes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QByteArray encoded;
    QVERIFY(CodePage::encode(text, &encoded));
    QCOMPARE(encoded.toHex(' '), bytes.toHex(' '));
    QCOMPARE(CodePage::unencodable(text), QString());
}

void tst_CodePage::cp932RefusesForeignCharacters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refused");
    QTest::newRow("emoji") << "hi 🙂" << "🙂";
    QTest::newRow("Hangul") << "안녕" << "안녕";
    QTest::newRow("euro twice, beside a JIS form") << "5€ \u301C 6€" << "€";
}

void tst_CodePage::cp932RefusesForeignCharacters()
{
    QFETCH(QString, text);
    QFETCH(QString, refused);
    QByteArray untouched("kept");
    QVERIFY(!CodePage::encode(text, &untouched));
    QCOMPARE(untouched, QByteArray("kept"));
    QCOMPARE(CodePage::unencodable(text), refused);
}

QTEST_APPLESS_MAIN(tst_CodePage)
#include "tst_CodePage.moc"
