#include "CSocket.h"
#include "CodePage.h"
#include "Frame.h"
#include "LinkTestSupport.h"
#include "PtyLine.h"
#include "RsRelay.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "SerialPort.h"

#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/resource.h>

using LinkTest::cp932;

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QList<QVariant> slotText(int slot, const QByteArray &text)
{
    return {slot, text};
}

} // namespace

class tst_ListenSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tenTerminalsThenOneWaits();
    void lowestFreeSlotIsTaken();
    void terminalGivingUpWhileWaitingIsNotAdmitted();
    void listenFailureIsReportedAndRetried();
    void textsCarryTheSendersSlot();
    void sendTextReachesOnlyChosenTerminal();
    void sendFileReachesOnlyChosenTerminal();
    void rsFramesOfEveryTerminalReachTheLine();
    void droppedTerminalFreesItsSlotAtOnce();
    void dropDuringItsOwnDialogDefersDeletion();
    void churnLeavesNothingBehind();
    void refusedAddressTakesNoPlace();
    void servicePort();

private:
    // A Terminal connecting, from `from` if given; it may still wait to be
    // admitted on return.
    QTcpSocket *connectTerminal(quint16 port, const QHostAddress &from = QHostAddress());
    QByteArray readFrom(QTcpSocket *terminal, int bytes, int timeoutMs = 3000);
    // A listener on a free port (or `port`), listening.
    std::unique_ptr<CListenSocket> makeListener(quint16 port = 0, CSerialPort *serial = nullptr);

    std::unique_ptr<ScriptedPlatform> m_platform;
    std::vector<std::unique_ptr<QTcpSocket>> m_terminals;
};

void tst_ListenSocket::init()
{
    m_platform = std::make_unique<ScriptedPlatform>();
}

void tst_ListenSocket::cleanup()
{
    m_terminals.clear();
    m_platform.reset();
}

std::unique_ptr<CListenSocket> tst_ListenSocket::makeListener(quint16 port, CSerialPort *serial)
{
    auto listener = std::make_unique<CListenSocket>(serial, *m_platform, port);
    if (!listener->Listen())
        qWarning("could not listen on port %u", port);
    return listener;
}

QTcpSocket *tst_ListenSocket::connectTerminal(quint16 port, const QHostAddress &from)
{
    m_terminals.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket *terminal = m_terminals.back().get();
    if (!from.isNull() && !terminal->bind(from))
        qWarning("terminal could not bind: %s", qPrintable(terminal->errorString()));
    terminal->connectToHost(QHostAddress::LocalHost, port);
    // The connection completes in the kernel's backlog, admitted or not.
    if (!terminal->waitForConnected(3000))
        qWarning("terminal could not connect: %s", qPrintable(terminal->errorString()));
    return terminal;
}

QByteArray tst_ListenSocket::readFrom(QTcpSocket *terminal, int bytes, int timeoutMs)
{
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (received.size() < bytes && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        terminal->waitForReadyRead(20);
        received += terminal->readAll();
    }
    return received;
}

void tst_ListenSocket::tenTerminalsThenOneWaits()
{
    auto listener = makeListener();
    QSignalSpy admitted(listener.get(), &CListenSocket::clientAdmitted);
    QSignalSpy counts(listener.get(), &CListenSocket::countChanged);
    QSignalSpy removed(listener.get(), &CListenSocket::clientRemoved);
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    const quint16 port = listener->serverPort();

    QList<QTcpSocket *> terminals;
    for (int n = 1; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal(port));
        QTRY_COMPARE(listener->count(), n);
        QCOMPARE(admitted.last(), QList<QVariant>{n - 1});
        QCOMPARE(counts.last(), QList<QVariant>{n});
        QVERIFY(listener->client(n - 1));
    }
    QCOMPARE(counts.count(), MAX_CLIENTS);

    // Waiting Terminals may already send; their frames wait with them.
    QTcpSocket *eleventh = connectTerminal(port);
    QTcpSocket *twelfth = connectTerminal(port);
    eleventh->write(FrameCodec::textFrame("eleven"));
    twelfth->write(FrameCodec::textFrame("twelve"));
    const double cpuBefore = cpuSeconds();
    QTest::qWait(1000);
    const double cpuUsed = cpuSeconds() - cpuBefore;
    QVERIFY2(cpuUsed < 0.2, qPrintable(QStringLiteral("waiting Terminals cost %1 s of CPU").arg(cpuUsed)));
    QCOMPARE(listener->count(), MAX_CLIENTS);
    QCOMPARE(counts.count(), MAX_CLIENTS);
    QCOMPARE(admitted.count(), MAX_CLIENTS);
    QVERIFY(texts.isEmpty());

    // The Terminal in slot 4 leaves: the first waiting one takes slot 4.
    terminals[4]->disconnectFromHost();
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(4, "eleven"));
    QCOMPARE(removed[0], QList<QVariant>({4, 0}));
    QCOMPARE(admitted.last(), QList<QVariant>{4});
    QCOMPARE(listener->count(), MAX_CLIENTS);
    QCOMPARE(counts.count(), MAX_CLIENTS + 2);
    QCOMPARE(counts.last(), QList<QVariant>{MAX_CLIENTS});

    // The next slot to free goes to the one that waited after it.
    terminals[7]->disconnectFromHost();
    QTRY_COMPARE(texts.count(), 2);
    QCOMPARE(texts[1], slotText(7, "twelve"));
    QCOMPARE(listener->count(), MAX_CLIENTS);
}

void tst_ListenSocket::lowestFreeSlotIsTaken()
{
    auto listener = makeListener();
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    const quint16 port = listener->serverPort();
    connectTerminal(port);
    QTcpSocket *second = connectTerminal(port);
    connectTerminal(port);
    QTRY_COMPARE(listener->count(), 3);

    second->disconnectFromHost();
    QTRY_COMPARE(listener->count(), 2);
    QVERIFY(!listener->client(1));

    QSignalSpy admitted(listener.get(), &CListenSocket::clientAdmitted);
    QTcpSocket *next = connectTerminal(port);
    QTRY_COMPARE(admitted.count(), 1);
    QCOMPARE(admitted[0], QList<QVariant>{1});
    QCOMPARE(listener->count(), 3);
    QVERIFY(!listener->client(3));
    next->write(FrameCodec::textFrame("next"));
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(1, "next"));
}

void tst_ListenSocket::terminalGivingUpWhileWaitingIsNotAdmitted()
{
    auto listener = makeListener();
    const quint16 port = listener->serverPort();
    QList<QTcpSocket *> terminals;
    for (int n = 1; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal(port));
        QTRY_COMPARE(listener->count(), n);
    }

    QTcpSocket *impatient = connectTerminal(port);
    QTest::qWait(100);
    impatient->abort();
    QTest::qWait(100);

    QSignalSpy counts(listener.get(), &CListenSocket::countChanged);
    QSignalSpy admitted(listener.get(), &CListenSocket::clientAdmitted);
    terminals[2]->disconnectFromHost();
    QTRY_COMPARE(listener->count(), MAX_CLIENTS - 1);
    QTest::qWait(200);
    QCOMPARE(listener->count(), MAX_CLIENTS - 1);
    QVERIFY(!listener->client(2));
    QCOMPARE(counts.count(), 1);
    QCOMPARE(counts[0], QList<QVariant>{MAX_CLIENTS - 1});
    QVERIFY(admitted.isEmpty());
}

void tst_ListenSocket::listenFailureIsReportedAndRetried()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const quint16 port = holder.serverPort();

    CListenSocket listener(nullptr, *m_platform, port);
    QSignalSpy listening(&listener, &CListenSocket::listening);
    QSignalSpy failed(&listener, &CListenSocket::listenFailed);
    QVERIFY(!listener.Listen());
    QVERIFY(!listener.isListening());
    QVERIFY(!listener.Listen());
    QCOMPARE(failed.count(), 2);
    QCOMPARE(failed.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::AddressInUseError);
    QVERIFY(listening.isEmpty());

    holder.close();
    QVERIFY(listener.Listen());
    QVERIFY(listener.isListening());
    QCOMPARE(listener.serverPort(), port);
    QCOMPARE(listening.count(), 1);

    connectTerminal(port);
    QTRY_COMPARE(listener.count(), 1);
    // Starting again while listening changes nothing.
    QVERIFY(listener.Listen());
    QCOMPARE(listening.count(), 1);
    QCOMPARE(failed.count(), 2);
}

void tst_ListenSocket::textsCarryTheSendersSlot()
{
    auto listener = makeListener();
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    second->write(FrameCodec::textFrame("xyz"));
    QTRY_COMPARE(texts.count(), 1);
    first->write(FrameCodec::textFrame(cp932(QStringLiteral("こんにちは"))));
    QTRY_COMPARE(texts.count(), 2);
    QCOMPARE(texts[0], slotText(1, "xyz"));
    QCOMPARE(texts[1], slotText(0, cp932(QStringLiteral("こんにちは"))));
}

void tst_ListenSocket::sendTextReachesOnlyChosenTerminal()
{
    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    const QByteArray text = cp932(QStringLiteral("了解"));
    QVERIFY(listener->SendTextToClient(text, 1));
    const QByteArray expected = FrameCodec::textFrame(text);
    QCOMPARE(readFrom(second, int(expected.size())), expected);
    QCOMPARE(readFrom(first, 1, 200), QByteArray());
    // A free slot takes nothing.
    QVERIFY(!listener->SendTextToClient(text, 2));
}

void tst_ListenSocket::sendFileReachesOnlyChosenTerminal()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    QByteArray content(4500, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    file.write(content);
    file.close();
    const auto opened = [&] {
        auto *device = new QFile(file.fileName(), QCoreApplication::instance());
        device->open(QIODevice::ReadOnly);
        return device;
    };

    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    QVERIFY(listener->SendFileToClient(opened(), 0));
    // One file at a time, and none to a free slot.
    QVERIFY(!listener->SendFileToClient(opened(), 0));
    QVERIFY(!listener->SendFileToClient(opened(), 2));

    const QByteArray expected = FrameCodec::fileFrame(4500, 0, content.left(2000))
        + FrameCodec::fileFrame(4500, 1, content.mid(2000, 2000))
        + FrameCodec::fileFrame(4500, 2, content.mid(4000));
    QCOMPARE(readFrom(first, int(expected.size())), expected);
    QCOMPARE(readFrom(second, 1, 200), QByteArray());
    QCOMPARE(m_platform->pauses, QList<int>({1000, 1000}));
}

void tst_ListenSocket::rsFramesOfEveryTerminalReachTheLine()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    CSerialPort serial(line.name(), m_platform.get());
    QVERIFY(serial.isOpen());
    auto listener = makeListener(0, &serial);
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    const RsRelay *relay = listener->client(0)->findChild<RsRelay *>();
    QVERIFY(relay);
    RsRelay::HoldReasons heldAtText;
    qsizetype pausesAtText = -1;
    connect(listener.get(), &CListenSocket::textReceived, this, [&] {
        heldAtText = relay->holdReasons();
        pausesAtText = m_platform->pauses.size();
    });
    QSignalSpy waiting(listener.get(), &CListenSocket::waitingRsChanged);
    const auto waitingOf = [&](int slot) {
        QList<quint64> counts;
        for (const QList<QVariant> &args : std::as_const(waiting)) {
            if (args[0].toInt() == slot)
                counts.append(args[1].toULongLong());
        }
        return counts;
    };

    second->write(FrameCodec::rsFrame("xyz"));
    QTRY_COMPARE(m_platform->pauses.size(), 1);
    first->write(FrameCodec::rsFrame("abc") + FrameCodec::rsFrame("def") + FrameCodec::textFrame("after"));
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(0, "after"));
    // The text came once its Terminal's strings were on the line, with
    // reading held while it waited for them.
    QCOMPARE(pausesAtText, 3);
    QCOMPARE(heldAtText, RsRelay::HoldReasons(RsRelay::HoldReason::FrameWaiting));
    QCOMPARE(relay->holdReasons(), RsRelay::HoldReasons());
    QCOMPARE(m_platform->pauses, QList<int>({1000, 1000, 1000}));
    QCOMPARE(line.drain(), QByteArray("xad"));
    QCOMPARE(waitingOf(0), QList<quint64>({1, 2, 1, 0}));
    QCOMPARE(waitingOf(1), QList<quint64>({1, 0}));
}

void tst_ListenSocket::droppedTerminalFreesItsSlotAtOnce()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    m_platform->realPauseMs = 500;
    CSerialPort serial(line.name(), m_platform.get());
    QVERIFY(serial.isOpen());
    auto listener = makeListener(0, &serial);
    const quint16 port = listener->serverPort();
    QList<QTcpSocket *> terminals;
    for (int n = 1; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal(port));
        QTRY_COMPARE(listener->count(), n);
    }
    connectTerminal(port)->write(FrameCodec::textFrame("newcomer"));

    // Slot 3's string waits behind slot 0's on the line, its next in its socket.
    terminals[0]->write(FrameCodec::rsFrame("a"));
    QTRY_COMPARE(serial.pending(), 1);
    terminals[3]->write(FrameCodec::rsFrame("b") + FrameCodec::rsFrame("c"));
    QTRY_COMPARE(serial.pending(), 2);

    QSignalSpy removed(listener.get(), &CListenSocket::clientRemoved);
    QSignalSpy admitted(listener.get(), &CListenSocket::clientAdmitted);
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    const QPointer<CConnSocket> dropped = listener->client(3);
    listener->dropClient(3);
    QVERIFY(!listener->client(3));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed[0], QList<QVariant>({3, 0}));
    QCOMPARE(serial.pending(), 1);
    QTRY_COMPARE(terminals[3]->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(3, "newcomer"));
    QCOMPARE(admitted[0], QList<QVariant>{3});
    QTRY_VERIFY(!dropped);

    QTRY_COMPARE(serial.pending(), 0);
    QCOMPARE(line.drain(), QByteArray("a"));
}

void tst_ListenSocket::dropDuringItsOwnDialogDefersDeletion()
{
    auto listener = makeListener();
    QTcpSocket *terminal = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QPointer<CConnSocket> station = listener->client(0);
    QSignalSpy removed(listener.get(), &CListenSocket::clientRemoved);

    bool checkedInside = false;
    connect(listener.get(), &CListenSocket::fileReceived, listener.get(), [&] {
        // The slot is dropped while its connection's own handler runs, as
        // it does while Save As is open.
        listener->dropClient(0);
        QCOMPARE(listener->count(), 0);
        QVERIFY(!listener->client(0));
        QCOMPARE(removed.count(), 1);
        ScriptedPlatform::spinEvents(50);
        QVERIFY(station);
        checkedInside = true;
    });
    terminal->write(FrameCodec::fileFrame(2, 0, "hi"));

    QTRY_VERIFY(checkedInside);
    QTRY_VERIFY(!station);
    QCOMPARE(listener->count(), 0);
    QVERIFY(listener->findChildren<CConnSocket *>().isEmpty());
    // Dropping a free slot changes nothing.
    QSignalSpy counts(listener.get(), &CListenSocket::countChanged);
    listener->dropClient(0);
    QCOMPARE(listener->count(), 0);
    QCOMPARE(removed.count(), 1);
    QVERIFY(counts.isEmpty());
}

void tst_ListenSocket::churnLeavesNothingBehind()
{
    auto listener = makeListener();
    QSignalSpy counts(listener.get(), &CListenSocket::countChanged);
    const quint16 port = listener->serverPort();
    int connects = 0;
    for (int round = 0; round < 20; ++round) {
        // More Terminals than slots, some leaving at once, some after a frame.
        std::vector<std::unique_ptr<QTcpSocket>> terminals;
        for (int n = 0; n < 15; ++n) {
            auto terminal = std::make_unique<QTcpSocket>();
            terminal->connectToHost(QHostAddress::LocalHost, port);
            // The Station keeps accepting meanwhile, so the backlog never fills.
            QTRY_COMPARE(terminal->state(), QAbstractSocket::ConnectedState);
            ++connects;
            if (n % 3 == 0)
                terminal->abort();
            else if (n % 3 == 1)
                terminal->write(FrameCodec::textFrame("x"));
            terminals.push_back(std::move(terminal));
        }
        QTest::qWait(round % 2 ? 0 : 20);
        for (auto &terminal : terminals)
            terminal->disconnectFromHost();
        terminals.clear();
        QTRY_COMPARE(listener->count(), 0);
    }
    QVERIFY(connects >= 300);

    // Late connections from the kernel's backlog are admitted and removed too.
    QTest::qWait(300);
    QTRY_COMPARE(listener->count(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (int slot = 0; slot < MAX_CLIENTS; ++slot)
        QVERIFY(!listener->client(slot));
    QCOMPARE(counts.last(), QList<QVariant>{0});
    QCOMPARE(listener->findChildren<CConnSocket *>().size(), 0);
    QCOMPARE(listener->findChildren<QTcpSocket *>().size(), 0);
}

void tst_ListenSocket::refusedAddressTakesNoPlace()
{
    auto listener = makeListener();
    QSignalSpy refused(listener.get(), &CListenSocket::connectionRefused);
    QSignalSpy texts(listener.get(), &CListenSocket::textReceived);
    const quint16 port = listener->serverPort();
    const QHostAddress other(QStringLiteral("127.0.0.2"));

    // With no list any address is admitted; a new list leaves it admitted.
    QList<QTcpSocket *> terminals {connectTerminal(port, other)};
    QTRY_COMPARE(listener->count(), 1);
    AddressFilter filter;
    QVERIFY(filter.setEntries({QStringLiteral("127.0.0.1/32")}));
    listener->setAddressFilter(filter);
    for (int n = 2; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal(port));
        QTRY_COMPARE(listener->count(), n);
    }

    // At a full table the refused Terminal is closed at once, not left waiting.
    QTcpSocket *outsider = connectTerminal(port, other);
    outsider->write(FrameCodec::textFrame("outsider"));
    QTRY_COMPARE(outsider->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(refused.count(), 1);
    QCOMPARE(refused[0][0].value<QHostAddress>(), other);

    connectTerminal(port)->write(FrameCodec::textFrame("insider"));
    terminals[4]->disconnectFromHost();
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(4, "insider"));
    QCOMPARE(listener->count(), MAX_CLIENTS);
    QCOMPARE(refused.count(), 1);
}

// Run by port1_netns.sh in a private network namespace, where binding the
// real SERVICE_PORT is safe.
void tst_ListenSocket::servicePort()
{
    if (qEnvironmentVariableIntValue("TAVRIN_TEST_PORT1") != 1)
        QSKIP("needs a private network namespace (run through port1_netns.sh)");
    CListenSocket listener(nullptr, *m_platform);
    QSignalSpy listening(&listener, &CListenSocket::listening);
    QSignalSpy texts(&listener, &CListenSocket::textReceived);
    QVERIFY(listener.Listen());
    QCOMPARE(listening.count(), 1);
    QCOMPARE(listener.serverPort(), SERVICE_PORT);

    QTcpSocket terminal;
    terminal.connectToHost(QStringLiteral("127.0.0.1"), 1);
    QVERIFY(terminal.waitForConnected(3000));
    QTRY_COMPARE(listener.count(), 1);
    terminal.write(FrameCodec::textFrame("port 1"));
    QTRY_COMPARE(texts.count(), 1);
    QCOMPARE(texts[0], slotText(0, "port 1"));
}

QTEST_GUILESS_MAIN(tst_ListenSocket)
#include "tst_ListenSocket.moc"
