#include "KeepAlive.h"
#include "KeepAliveSettings.h"
#include "LinkTestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {
// The addresses keepalive_netns.sh gives the two ends of its veth pair.
const QHostAddress NEAR_ADDRESS(QStringLiteral("169.254.77.1"));
const QHostAddress FAR_ADDRESS(QStringLiteral("169.254.77.2"));
constexpr quint16 FAR_PORT = 7001;

// Starts `command` in the far network namespace, which process `farPid` holds.
std::unique_ptr<QProcess> startInFarNamespace(const QString &farPid, const QStringList &command)
{
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("nsenter"), QStringList{QStringLiteral("-t"), farPid, QStringLiteral("-n")} + command);
    return process;
}
}

class tst_KeepAlive : public QObject
{
    Q_OBJECT

private slots:
    void setOnAcceptedAndConnectingSockets();
    void vanishedPeerIsNoticed();
};

void tst_KeepAlive::setOnAcceptedAndConnectingSockets()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket connecting;
    connecting.connectToHost(server.serverAddress(), server.serverPort());
    QVERIFY(KeepAlive::enable(&connecting));
    std::unique_ptr<QTcpSocket> accepted(LinkTest::acceptOne(server));
    QVERIFY(accepted);
    // A fresh connection carries the system's defaults, not ours.
    QCOMPARE(KeepAliveSettings::of(accepted.get()).enabled, 0);

    QVERIFY(KeepAlive::enable(accepted.get()));
    QCOMPARE(KeepAliveSettings::of(accepted.get()), linkKeepAlive());
    QTRY_COMPARE(connecting.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(KeepAliveSettings::of(&connecting), linkKeepAlive());
}

void tst_KeepAlive::vanishedPeerIsNoticed()
{
    const QString farPid = qEnvironmentVariable("TAVRIN_TEST_FAR_PID");
    if (farPid.isEmpty())
        QSKIP("needs the veth pair into a second network namespace that keepalive_netns.sh sets up as root");

    // The far end both dials in and takes a call, then stays silent.
    QTcpServer server;
    QVERIFY(server.listen(NEAR_ADDRESS, 0));
    // STDIO: the pipe from this process stays open and silent.
    const QString hold = QStringLiteral("STDIO");
    const auto farClient = startInFarNamespace(farPid,
                        {QStringLiteral("socat"),
                         QStringLiteral("TCP:%1:%2").arg(NEAR_ADDRESS.toString()).arg(server.serverPort()), hold});
    std::unique_ptr<QTcpSocket> accepted(LinkTest::acceptOne(server));
    QVERIFY(accepted);
    QVERIFY(KeepAlive::enable(accepted.get()));

    const auto farServer = startInFarNamespace(farPid,
                        {QStringLiteral("socat"),
                         QStringLiteral("TCP-LISTEN:%1,bind=%2").arg(FAR_PORT).arg(FAR_ADDRESS.toString()), hold});
    QTcpSocket dialled;
    QVERIFY(LinkTest::pumpUntil([&] {
        if (dialled.state() == QAbstractSocket::UnconnectedState) {
            dialled.connectToHost(FAR_ADDRESS, FAR_PORT);
            KeepAlive::enable(&dialled);
        }
        return dialled.state() == QAbstractSocket::ConnectedState;
    }));
    QCOMPARE(KeepAliveSettings::of(&dialled), linkKeepAlive());

    // The far end goes away without a word: no FIN, no reset.
    const auto down = startInFarNamespace(
        farPid, {QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("tavrin-far"),
                 QStringLiteral("down")});
    QVERIFY(down->waitForFinished(5000));
    QCOMPARE(down->exitCode(), 0);
    QElapsedTimer sinceDown;
    sinceDown.start();

    QTRY_COMPARE_WITH_TIMEOUT(accepted->state(), QAbstractSocket::UnconnectedState, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(dialled.state(), QAbstractSocket::UnconnectedState, 10000);
    // Noticed by the probes, not by a reset from the link going down.
    QVERIFY2(sinceDown.elapsed() > 30000, qPrintable(QString::number(sinceDown.elapsed())));
    qInfo("both ends noticed the vanished peer after %lld ms", sinceDown.elapsed());
}

QTEST_GUILESS_MAIN(tst_KeepAlive)
#include "tst_KeepAlive.moc"
