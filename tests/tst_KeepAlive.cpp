#include "CSocket.h"
#include "KeepAlive.h"
#include "KeepAliveSettings.h"
#include "LinkTestSupport.h"
#include "SSocket.h"
#include "Timers.h"

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
    void stationAndTerminalConnectionsCarryIt();
    void vanishedPeersAreNoticed();
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

void tst_KeepAlive::stationAndTerminalConnectionsCarryIt()
{
    CListenSocket station(nullptr, ITimers::real(), 0);
    QVERIFY(station.Listen());
    CConnSocket terminal(ITimers::real());
    terminal.connectToStation(QStringLiteral("127.0.0.1"), station.serverPort());
    QTRY_VERIFY(terminal.isOpen());
    QTRY_COMPARE(station.count(), 1);
    QCOMPARE(KeepAliveSettings::of(station.client(0)->socket()), linkKeepAlive());
    QCOMPARE(KeepAliveSettings::of(terminal.socket()), linkKeepAlive());
}

void tst_KeepAlive::vanishedPeersAreNoticed()
{
    const QString farPid = qEnvironmentVariable("TAVRIN_TEST_FAR_PID");
    if (farPid.isEmpty())
        QSKIP("needs the veth pair into a second network namespace that keepalive_netns.sh sets up as root");

    // The far end is a Terminal of this Station and the Station of this
    // Terminal; it stays silent, its side of each pipe open.
    const QString silent = QStringLiteral("STDIO");
    CListenSocket station(nullptr, ITimers::real(), 0);
    QVERIFY(station.Listen());
    const auto farTerminal = startInFarNamespace(
        farPid, {QStringLiteral("socat"),
                 QStringLiteral("TCP:%1:%2").arg(NEAR_ADDRESS.toString()).arg(station.serverPort()), silent});
    QTRY_COMPARE(station.count(), 1);

    const auto farStation = startInFarNamespace(
        farPid, {QStringLiteral("socat"),
                 QStringLiteral("TCP-LISTEN:%1,bind=%2").arg(FAR_PORT).arg(FAR_ADDRESS.toString()), silent});
    // socat may not listen yet: try again until it does.
    std::unique_ptr<CConnSocket> terminal;
    QVERIFY(LinkTest::pumpUntil([&] {
        if (!terminal || terminal->state() == CConnSocket::State::Closed) {
            terminal = std::make_unique<CConnSocket>(ITimers::real());
            terminal->connectToStation(FAR_ADDRESS.toString(), FAR_PORT);
        }
        return terminal->isOpen();
    }));
    QCOMPARE(KeepAliveSettings::of(station.client(0)->socket()), linkKeepAlive());
    QCOMPARE(KeepAliveSettings::of(terminal->socket()), linkKeepAlive());

    // The far end goes away without a word: no FIN, no reset.
    const auto down = startInFarNamespace(
        farPid, {QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("tavrin-far"),
                 QStringLiteral("down")});
    QVERIFY(down->waitForFinished(5000));
    QCOMPARE(down->exitCode(), 0);
    QElapsedTimer sinceDown;
    sinceDown.start();

    QTRY_COMPARE_WITH_TIMEOUT(station.count(), 0, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(terminal->state(), CConnSocket::State::Closed, 10000);
    // Noticed by the probes, not by a reset from the link going down.
    QVERIFY2(sinceDown.elapsed() > 30000, qPrintable(QString::number(sinceDown.elapsed())));
    qInfo("the Station freed the slot and the Terminal saw its Station gone after %lld ms", sinceDown.elapsed());
}

QTEST_GUILESS_MAIN(tst_KeepAlive)
#include "tst_KeepAlive.moc"
