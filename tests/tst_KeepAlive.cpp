#include "CSocket.h"
#include "Frame.h"
#include "KeepAlive.h"
#include "KeepAliveSettings.h"
#include "LinkTestSupport.h"
#include "PeerWatch.h"
#include "SSocket.h"
#include "SendQueue.h"
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

// Sets the far end of the veth pair up or down; down, it goes away without
// a word: no FIN, no reset.
bool setFarLink(const QString &farPid, const QString &upOrDown)
{
    const auto ip = startInFarNamespace(farPid, {QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"),
                                                 QStringLiteral("tavrin-far"), upOrDown});
    return ip->waitForFinished(5000) && ip->exitCode() == 0;
}
}

class tst_KeepAlive : public QObject
{
    Q_OBJECT

private slots:
    void stationAndTerminalConnectionsCarryIt();
    void vanishedPeersAreNoticed();
    void vanishedBehindAClosedWindowIsNoticed();
    void slowReaderKeepsItsConnection();
};

void tst_KeepAlive::stationAndTerminalConnectionsCarryIt()
{
    CListenSocket station(nullptr, ITimers::real(), 0);
    QVERIFY(station.Listen());
    CConnSocket terminal(ITimers::real());
    terminal.connectToStation(QStringLiteral("127.0.0.1"), station.serverPort());
    QTRY_VERIFY(terminal.isOpen());
    QTRY_COMPARE(station.count(), 1);
    QCOMPARE(KeepAliveSettings::of(LinkTest::tcpSocketOf(station.client(0))), linkKeepAlive());
    QCOMPARE(KeepAliveSettings::of(LinkTest::tcpSocketOf(&terminal)), linkKeepAlive());
    // And each a watch for a peer gone while data waits for it.
    QVERIFY(LinkTest::tcpSocketOf(station.client(0))->findChild<PeerWatch *>());
    QVERIFY(LinkTest::tcpSocketOf(&terminal)->findChild<PeerWatch *>());
}

void tst_KeepAlive::vanishedPeersAreNoticed()
{
    const QString farPid = qEnvironmentVariable("TAVRIN_TEST_FAR_PID");
    if (farPid.isEmpty())
        QSKIP("needs the veth pair into a second network namespace that keepalive_netns.sh sets up as root");
    QVERIFY(setFarLink(farPid, QStringLiteral("up")));

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

    QVERIFY(setFarLink(farPid, QStringLiteral("down")));
    QElapsedTimer sinceDown;
    sinceDown.start();
    // The Terminal's connection stays idle; the Station's has data in flight.
    QVERIFY(station.client(0)->isOpen());
    station.client(0)->SendText("after the far end went");

    // Within a minute, and some seconds for the timers of a busy machine.
    QTRY_VERIFY_WITH_TIMEOUT(station.count() == 0 && terminal->state() == CConnSocket::State::Closed, 65000);
    // Noticed by the probes, not by a reset from the link going down.
    QVERIFY2(sinceDown.elapsed() > 30000, qPrintable(QString::number(sinceDown.elapsed())));
    qInfo("the Station freed the slot and the Terminal saw its Station gone after %lld ms", sinceDown.elapsed());
}

void tst_KeepAlive::vanishedBehindAClosedWindowIsNoticed()
{
    const QString farPid = qEnvironmentVariable("TAVRIN_TEST_FAR_PID");
    if (farPid.isEmpty())
        QSKIP("needs the veth pair into a second network namespace that keepalive_netns.sh sets up as root");
    QVERIFY(setFarLink(farPid, QStringLiteral("up")));

    CListenSocket station(nullptr, ITimers::real(), 0);
    QVERIFY(station.Listen());
    // A Terminal that never reads: socat only writes to the connection.
    const auto farTerminal = startInFarNamespace(
        farPid, {QStringLiteral("socat"), QStringLiteral("-u"), QStringLiteral("STDIO"),
                 QStringLiteral("TCP:%1:%2,rcvbuf=4096").arg(NEAR_ADDRESS.toString()).arg(station.serverPort())});
    QTRY_COMPARE(station.count(), 1);
    CConnSocket *slot = station.client(0);
    // Far more than the Terminal holds: most of it waits behind its window.
    const int texts = 1000;
    for (int i = 0; i < texts; ++i)
        slot->SendText(QByteArray(MAX_TEXT, 'x'));
    const auto windowClosed = [slot] {
        return SendQueue::heldBackBytes(LinkTest::tcpSocketOf(slot)) > texts * MAX_TEXT / 2;
    };
    QVERIFY(LinkTest::pumpUntil(windowClosed));
    // Long enough for the window probes to back off to over a minute apart;
    // the Terminal answers them and keeps its slot.
    QTest::qWait(60000);
    QCOMPARE(station.count(), 1);
    QVERIFY(windowClosed());

    QVERIFY(setFarLink(farPid, QStringLiteral("down")));
    QElapsedTimer sinceDown;
    sinceDown.start();
    QTRY_COMPARE_WITH_TIMEOUT(station.count(), 0, 300000);
    QVERIFY2(sinceDown.elapsed() > 30000, qPrintable(QString::number(sinceDown.elapsed())));
    qInfo("the Station freed the slot of a Terminal gone behind its closed window after %lld ms",
          sinceDown.elapsed());
}

void tst_KeepAlive::slowReaderKeepsItsConnection()
{
    const int holdSeconds = qEnvironmentVariableIntValue("TAVRIN_TEST_SLOW_READER_SECONDS");
    if (holdSeconds <= 0)
        QSKIP("holds a window closed for over a minute; ctest runs it on its own as keepalive_slow_reader");

    // A Station whose operator left a Save As open reads nothing more. Its
    // small receive buffer is the listener's, so the window is sized by it.
    QTcpServer station;
    QVERIFY(station.listen(QHostAddress::LocalHost, 0));
    const int smallBuffer = 4096;
    QCOMPARE(setsockopt(int(station.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer), 0);
    CConnSocket terminal(ITimers::real());
    terminal.connectToStation(QStringLiteral("127.0.0.1"), station.serverPort());
    std::unique_ptr<QTcpSocket> stalled(LinkTest::acceptOne(station));
    QVERIFY(stalled);
    stalled->setReadBufferSize(smallBuffer);
    QTRY_VERIFY(terminal.isOpen());

    // The Terminal keeps sending all along, far more than the Station holds.
    QByteArray expected;
    for (int second = 0, sent = 0; second < holdSeconds; ++second) {
        QVERIFY2(terminal.isOpen(), qPrintable(QStringLiteral("closed after %1 s").arg(second)));
        for (int i = 0; i < 200; ++i, ++sent) {
            const QByteArray text = "text " + QByteArray::number(sent);
            terminal.SendText(text);
            expected += FrameCodec::textFrame(text);
        }
        QTest::qWait(1000);
    }
    QVERIFY(terminal.isOpen());
    // Most of it waited behind the closed window.
    QVERIFY(SendQueue::heldBackBytes(LinkTest::tcpSocketOf(&terminal)) > expected.size() / 2);

    stalled->setReadBufferSize(0);
    QByteArray received;
    QVERIFY(LinkTest::pumpUntil(
        [&] {
            received += stalled->readAll();
            return received.size() >= expected.size();
        },
        30000));
    QVERIFY(received == expected);
}

QTEST_GUILESS_MAIN(tst_KeepAlive)
#include "tst_KeepAlive.moc"
