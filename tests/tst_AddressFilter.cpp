#include "AddressFilter.h"

#include <QTest>

class tst_AddressFilter : public QObject
{
    Q_OBJECT

private slots:
    void entryChecked_data();
    void entryChecked();
    void firstBadEntryNamed();
    void admission_data();
    void admission();
};

void tst_AddressFilter::entryChecked_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("valid");
    QTest::newRow("IPv4 address") << "192.168.1.5" << true;
    QTest::newRow("IPv6 address") << "fd00::1" << true;
    QTest::newRow("IPv4 range") << "192.168.1.0/24" << true;
    QTest::newRow("IPv6 range") << "fd00::/8" << true;
    QTest::newRow("octet out of range") << "300.1.1.1" << false;
    QTest::newRow("IPv4 prefix too long") << "10.0.0.0/33" << false;
    // Short forms that the address parser would take for 0.0.0.10.
    QTest::newRow("partial address") << "10" << false;
    QTest::newRow("word") << "abc" << false;
}

void tst_AddressFilter::entryChecked()
{
    QFETCH(QString, entry);
    QFETCH(bool, valid);
    QCOMPARE(AddressFilter::parseEntry(entry), valid);
}

void tst_AddressFilter::firstBadEntryNamed()
{
    AddressFilter filter;
    QString bad;
    QVERIFY(!filter.setEntries({"10.0.0.1", "  ", " abc ", "300.1.1.1"}, &bad));
    QCOMPARE(bad, QStringLiteral("abc"));
    QCOMPARE(filter.entries(), QStringList({"10.0.0.1", "abc", "300.1.1.1"}));
    QVERIFY(filter.admits(QHostAddress(QStringLiteral("10.0.0.1"))));
}

void tst_AddressFilter::admission_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("admitted");
    QTest::newRow("empty list") << QStringList() << "203.0.113.9" << true;
    QTest::newRow("other address") << QStringList({"127.0.0.1/32"}) << "127.0.0.2" << false;
    QTest::newRow("mapped IPv4 peer") << QStringList({"127.0.0.1/32"}) << "::ffff:127.0.0.1" << true;
    QTest::newRow("IPv4 range") << QStringList({"192.168.0.0/16"}) << "192.168.77.1" << true;
    QTest::newRow("IPv6 range") << QStringList({"fd00::/8"}) << "fd12::1" << true;
    QTest::newRow("IPv6 outside") << QStringList({"fd00::/8"}) << "fe80::1" << false;
    // A mistyped list refuses rather than admits everyone.
    QTest::newRow("only a bad entry") << QStringList({"abc"}) << "10.0.0.1" << false;
}

void tst_AddressFilter::admission()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, peer);
    QFETCH(bool, admitted);
    AddressFilter filter;
    filter.setEntries(entries);
    QCOMPARE(filter.admits(QHostAddress(peer)), admitted);
}

QTEST_APPLESS_MAIN(tst_AddressFilter)
#include "tst_AddressFilter.moc"
