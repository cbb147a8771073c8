#include "CodePage.h"
#include "DisplayText.h"

#include <QTest>

class tst_DisplayText : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void visible_data();
    void visible();
    void lineEndsAtNul();
    void notificationBodyRendersNoMarkup();
};

void tst_DisplayText::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("kanji") << QByteArray("\x88\x9f\x8e\x9a") << QStringLiteral("亜字");
    QTest::newRow("halfwidth kana") << QByteArray("\xb1\xdf") << QStringLiteral("ｱﾟ");
    QTest::newRow("backslash and tilde") << QByteArray("\\~") << QStringLiteral("\\~");
    QTest::newRow("SUB stays SUB") << QByteArray("\x1a\x1c") << QStringLiteral("\x1a\x1c");
    QTest::newRow("stray bytes") << QByteArray("a\x80" "b\xa0" "c\xfd") << QStringLiteral("a\uFFFDb\uFFFDc\uFFFD");
    QTest::newRow("lead byte then no trail") << QByteArray("\x81 x") << QStringLiteral("\uFFFD x");
    QTest::newRow("lone lead byte at the end") << QByteArray("ok\x88") << QStringLiteral("ok\uFFFD");
    QTest::newRow("pair of no character") << QByteArray("\x85\x40z") << QStringLiteral("\uFFFDz");
}

void tst_DisplayText::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(CodePage::decode(bytes), text);
}

void tst_DisplayText::visible_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QStringLiteral("こんにちは abc") << QStringLiteral("こんにちは abc");
    QTest::newRow("escape and bell") << QStringLiteral("\x1b[31m\x07") << QStringLiteral("␛[31m␇");
    QTest::newRow("backspaces") << QStringLiteral("paid\x08\x08\x08\x08") << QStringLiteral("paid␈␈␈␈");
    QTest::newRow("line breaks") << QStringLiteral("a\r\n\nb\rc\u2028d") << QStringLiteral("a b c d");
    QTest::newRow("tab, NUL and DEL") << QString(QStringLiteral("\t\x00\x7f").constData(), 3) << QStringLiteral("␉␀␡");
    QTest::newRow("joined emoji and isolate") << QStringLiteral("\U0001F468\u200D\U0001F469 \u2066x")
                                              << QStringLiteral("\U0001F468\u200D\U0001F469 \uFFFDx");
    QTest::newRow("C1 and direction override") << QStringLiteral("\u0085x\u202Eyz") << QStringLiteral("\uFFFDx\uFFFDyz");
}

void tst_DisplayText::visible()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(DisplayText::visible(text), shown);
}

void tst_DisplayText::lineEndsAtNul()
{
    QCOMPARE(DisplayText::line(QByteArray("0> \x88\x9f") + '\0' + "\x1b[2J"), QStringLiteral("0> 亜"));
    QCOMPARE(DisplayText::line(QByteArray("\x1b")), QStringLiteral("␛"));
}

void tst_DisplayText::notificationBodyRendersNoMarkup()
{
    QCOMPARE(DisplayText::notificationBody(QStringLiteral("<b>x</b> <a href=\"u\">&</a>\x1b")),
             QStringLiteral("&lt;b&gt;x&lt;/b&gt; &lt;a href=&quot;u&quot;&gt;&amp;&lt;/a&gt;␛"));
}

QTEST_GUILESS_MAIN(tst_DisplayText)
#include "tst_DisplayText.moc"
