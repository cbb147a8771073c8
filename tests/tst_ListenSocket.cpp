#include "CSocket.h"
#include "CodePage.h"
#include "DisplayLine.h"
#include "Frame.h"
#include "IRedrawHost.h"
#include "ISerialLine.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "SerialPort.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

class RedrawCounter : public IRedrawHost
{
public:
    void Redraw() override { ++count; }
    int count = 0;
};

class SerialRecorder : public ISerialLine
{
public:
    void WriteByte(const QByteArray &payload, QObject *requester, std::function<void()> done) override
    {
        payloads.append(payload);
        QTimer::singleShot(0, requester, std::move(done));
    }
    QList<QByteArray> payloads;
};

QByteArray cp932(const QString &text)
{
    QByteArray bytes;
    CodePage::encode(text, &bytes);
    return bytes;
}

QByteArray countStatus(int count)
{
    return QByteArray::number(count) + cp932(QStringLiteral("人と接続中"));
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

class tst_ListenSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWaiting();
    void tenTerminalsThenOneWaits();
    void lowestFreeSlotIsTaken();
    void lastLeavingShowsZero();
    void terminalGivingUpWhileWaitingIsNotAdmitted();
    void listenFailureIsShownAndRetried();
    void textsCarryTheSendersSlot();
    void sendTextReachesOnlyChosenTerminal();
    void sendFileReachesOnlyChosenTerminal();
    void rsFramesOfEveryTerminalReachSerialLine();
    void rsFramesReachPseudoTerminal();
    void removalDuringModalDialogDefersDeletion();
    void leavingDuringModalDialogDefersDeletion();
    void churnLeavesNothingBehind();
    void servicePort();

private:
    // A Terminal connecting; it may still wait to be admitted on return.
    QTcpSocket *connectTerminal(quint16 port);
    QByteArray readFrom(QTcpSocket *terminal, int bytes, int timeoutMs = 3000);
    std::unique_ptr<CListenSocket> makeListener(quint16 port = 0);

    std::unique_ptr<DisplayLine> m_message;
    std::unique_ptr<DisplayLine> m_status;
    RedrawCounter m_host;
    SerialRecorder m_serial;
    std::vector<std::unique_ptr<QTcpSocket>> m_terminals;
};

void tst_ListenSocket::init()
{
    m_message = std::make_unique<DisplayLine>(200);
    m_status = std::make_unique<DisplayLine>(52);
    m_host.count = 0;
    m_serial.payloads.clear();
}

void tst_ListenSocket::cleanup()
{
    m_terminals.clear();
}

std::unique_ptr<CListenSocket> tst_ListenSocket::makeListener(quint16 port)
{
    return std::make_unique<CListenSocket>(m_message.get(), m_status.get(), &m_serial, &m_host, port);
}

QTcpSocket *tst_ListenSocket::connectTerminal(quint16 port)
{
    m_terminals.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket *terminal = m_terminals.back().get();
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

void tst_ListenSocket::startsWaiting()
{
    auto listener = makeListener();
    QVERIFY(listener->isListening());
    QVERIFY(listener->serverPort() != 0);
    QCOMPARE(m_status->bytes(), cp932(QStringLiteral("接続待ち")));
    QCOMPARE(m_host.count, 1);
    QCOMPARE(listener->count(), 0);
    for (int slot = 0; slot < MAX_CLIENTS; ++slot)
        QVERIFY(!listener->client(slot));
}

void tst_ListenSocket::tenTerminalsThenOneWaits()
{
    auto listener = makeListener();
    QSignalSpy changes(listener.get(), &CListenSocket::clientsChanged);
    QVERIFY(changes.isValid());
    const quint16 port = listener->serverPort();

    QList<QTcpSocket *> terminals;
    for (int n = 1; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal(port));
        QTRY_COMPARE(listener->count(), n);
        QCOMPARE(listener->client(n - 1)->slot(), n - 1);
        QCOMPARE(m_status->bytes(), countStatus(n));
    }
    QCOMPARE(m_status->bytes(), QByteArray::number(10) + cp932(QStringLiteral("人と接続中")));
    QCOMPARE(changes.count(), MAX_CLIENTS);

    // Waiting Terminals may already send; their frames wait with them.
    QTcpSocket *eleventh = connectTerminal(port);
    QTcpSocket *twelfth = connectTerminal(port);
    eleventh->write(FrameCodec::textFrame("eleven"));
    twelfth->write(FrameCodec::textFrame("twelve"));
    const int redraws = m_host.count;
    const double cpuBefore = cpuSeconds();
    QTest::qWait(1000);
    const double cpuUsed = cpuSeconds() - cpuBefore;
    QVERIFY2(cpuUsed < 0.2, qPrintable(QStringLiteral("waiting Terminals cost %1 s of CPU").arg(cpuUsed)));
    QCOMPARE(listener->count(), MAX_CLIENTS);
    QCOMPARE(m_status->bytes(), countStatus(10));
    QCOMPARE(m_host.count, redraws);
    QCOMPARE(changes.count(), MAX_CLIENTS);
    QVERIFY(m_message->isEmpty());

    // The Terminal in slot 4 leaves: the first waiting one takes slot 4.
    terminals[4]->disconnectFromHost();
    QTRY_COMPARE(m_message->bytes(), QByteArray("4> eleven"));
    QCOMPARE(listener->count(), MAX_CLIENTS);
    QCOMPARE(m_status->bytes(), countStatus(10));
    QCOMPARE(changes.count(), MAX_CLIENTS + 2);

    // The next slot to free goes to the one that waited after it.
    terminals[7]->disconnectFromHost();
    QTRY_COMPARE(m_message->bytes(), QByteArray("7> twelve"));
    QCOMPARE(listener->count(), MAX_CLIENTS);
}

void tst_ListenSocket::lowestFreeSlotIsTaken()
{
    auto listener = makeListener();
    const quint16 port = listener->serverPort();
    connectTerminal(port);
    QTcpSocket *second = connectTerminal(port);
    connectTerminal(port);
    QTRY_COMPARE(listener->count(), 3);

    second->disconnectFromHost();
    QTRY_COMPARE(listener->count(), 2);
    QVERIFY(!listener->client(1));
    QCOMPARE(m_status->bytes(), countStatus(2));

    QTcpSocket *next = connectTerminal(port);
    QTRY_VERIFY(listener->client(1));
    QCOMPARE(listener->count(), 3);
    QVERIFY(!listener->client(3));
    next->write(FrameCodec::textFrame("next"));
    QTRY_COMPARE(m_message->bytes(), QByteArray("1> next"));
}

void tst_ListenSocket::lastLeavingShowsZero()
{
    auto listener = makeListener();
    QTcpSocket *only = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QCOMPARE(m_status->bytes(), countStatus(1));
    const int redraws = m_host.count;

    only->disconnectFromHost();
    QTRY_COMPARE(listener->count(), 0);
    QCOMPARE(m_status->bytes(), countStatus(0));
    QCOMPARE(m_status->bytes(), QByteArray("0") + cp932(QStringLiteral("人と接続中")));
    QVERIFY(m_host.count > redraws);
    QVERIFY(!listener->client(0));
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

    QSignalSpy changes(listener.get(), &CListenSocket::clientsChanged);
    QVERIFY(changes.isValid());
    terminals[2]->disconnectFromHost();
    QTRY_COMPARE(listener->count(), MAX_CLIENTS - 1);
    QTest::qWait(200);
    QCOMPARE(listener->count(), MAX_CLIENTS - 1);
    QVERIFY(!listener->client(2));
    QCOMPARE(m_status->bytes(), countStatus(9));
    QCOMPARE(changes.count(), 1);
}

void tst_ListenSocket::listenFailureIsShownAndRetried()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const quint16 port = holder.serverPort();

    auto listener = makeListener(port);
    QVERIFY(!listener->isListening());
    const QByteArray failure = m_status->bytes();
    QVERIFY(failure != cp932(QStringLiteral("接続待ち")));
    QVERIFY(failure.size() <= 51);
    QVERIFY(CodePage::decode(failure).contains(QStringLiteral("待ち受け")));
    QVERIFY(CodePage::decode(failure).contains(QStringLiteral("開始")));
    QCOMPARE(m_host.count, 2);
    QVERIFY(!listener->Listen());
    QCOMPARE(m_status->bytes(), failure);

    holder.close();
    QVERIFY(listener->Listen());
    QVERIFY(listener->isListening());
    QCOMPARE(listener->serverPort(), port);
    QCOMPARE(m_status->bytes(), cp932(QStringLiteral("接続待ち")));
    QVERIFY(listener->Listen());

    connectTerminal(port);
    QTRY_COMPARE(listener->count(), 1);
    QCOMPARE(m_status->bytes(), countStatus(1));
}

void tst_ListenSocket::textsCarryTheSendersSlot()
{
    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    second->write(FrameCodec::textFrame("xyz"));
    QTRY_COMPARE(m_message->bytes(), QByteArray("1> xyz"));
    first->write(FrameCodec::textFrame(cp932(QStringLiteral("こんにちは"))));
    QTRY_COMPARE(m_message->bytes(), QByteArray("0> ") + cp932(QStringLiteral("こんにちは")));
}

void tst_ListenSocket::sendTextReachesOnlyChosenTerminal()
{
    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    const QByteArray text = cp932(QStringLiteral("了解"));
    listener->SendTextToClient(text, 1);
    const QByteArray expected = FrameCodec::textFrame(text);
    QCOMPARE(readFrom(second, int(expected.size())), expected);
    QCOMPARE(readFrom(first, 1, 200), QByteArray());
}

void tst_ListenSocket::sendFileReachesOnlyChosenTerminal()
{
    ScriptedPlatform platform;
    QTemporaryFile file;
    QVERIFY(file.open());
    QByteArray content(4500, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    file.write(content);
    file.close();
    platform.queueOpenFileName(file.fileName());

    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);

    listener->SendFileToClient(0);

    const QByteArray expected = FrameCodec::fileFrame(4500, 0, content.left(2000))
        + FrameCodec::fileFrame(4500, 1, content.mid(2000, 2000))
        + FrameCodec::fileFrame(4500, 2, content.mid(4000));
    QCOMPARE(readFrom(first, int(expected.size())), expected);
    QCOMPARE(readFrom(second, 1, 200), QByteArray());
    QCOMPARE(platform.openDialogs, 1);
    QCOMPARE(platform.pauses, QList<int>({1000, 1000}));
}

void tst_ListenSocket::rsFramesOfEveryTerminalReachSerialLine()
{
    auto listener = makeListener();
    QTcpSocket *first = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QTcpSocket *second = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 2);
    m_message->set("before");

    second->write(FrameCodec::rsFrame("xyz"));
    QTRY_COMPARE(m_serial.payloads.size(), 1);
    first->write(FrameCodec::rsFrame("abc"));
    QTRY_COMPARE(m_serial.payloads.size(), 2);
    QCOMPARE(m_serial.payloads, QList<QByteArray>({"x", "a"}));
    QCOMPARE(m_message->bytes(), QByteArray("before"));
}

void tst_ListenSocket::rsFramesReachPseudoTerminal()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort serial(line.name());
    QVERIFY(serial.isOpen());
    CListenSocket listener(m_message.get(), m_status.get(), &serial, &m_host, 0);
    QTcpSocket *terminal = connectTerminal(listener.serverPort());
    QTRY_COMPARE(listener.count(), 1);

    terminal->write(FrameCodec::rsFrame("abc") + FrameCodec::rsFrame("xyz"));
    QTRY_COMPARE(platform.pauses.size(), 2);
    QCOMPARE(platform.pauses, QList<int>({1000, 1000}));
    QCOMPARE(line.drain(), QByteArray("ax"));
}

void tst_ListenSocket::removalDuringModalDialogDefersDeletion()
{
    ScriptedPlatform platform;
    auto listener = makeListener();
    QTcpSocket *terminal = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QPointer<CConnSocket> station = listener->client(0);

    bool checkedInside = false;
    platform.queueSaveFileName(QString(), [&] {
        // The slot is removed while its socket's own handler shows Save As.
        listener->RemoveClient(0);
        QCOMPARE(listener->count(), 0);
        QVERIFY(!listener->client(0));
        QCOMPARE(m_status->bytes(), countStatus(0));
        ScriptedPlatform::spinEvents(50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(station);
        checkedInside = true;
    });
    terminal->write(FrameCodec::fileFrame(2, 0, "hi"));

    QTRY_VERIFY(checkedInside);
    QTRY_VERIFY(!station);
    QCOMPARE(platform.saveDialogs, 1);
    QCOMPARE(listener->count(), 0);
    QVERIFY(listener->findChildren<CConnSocket *>().isEmpty());
    // Removing a free slot changes nothing.
    const int redraws = m_host.count;
    listener->RemoveClient(0);
    QCOMPARE(listener->count(), 0);
    QCOMPARE(m_host.count, redraws);
}

void tst_ListenSocket::leavingDuringModalDialogDefersDeletion()
{
    ScriptedPlatform platform;
    auto listener = makeListener();
    QTcpSocket *terminal = connectTerminal(listener->serverPort());
    QTRY_COMPARE(listener->count(), 1);
    QPointer<CConnSocket> station = listener->client(0);

    bool stillThere = false;
    platform.queueSaveFileName(QString(), [&] {
        // The Terminal leaves while the operator looks at Save As.
        terminal->disconnectFromHost();
        ScriptedPlatform::spinEvents(100);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        stillThere = !station.isNull();
    });
    terminal->write(FrameCodec::fileFrame(2, 0, "hi"));

    QTRY_COMPARE(platform.saveDialogs, 1);
    QVERIFY(stillThere);
    QTRY_COMPARE(listener->count(), 0);
    QCOMPARE(m_status->bytes(), countStatus(0));
    QTRY_VERIFY(!station);
}

void tst_ListenSocket::churnLeavesNothingBehind()
{
    auto listener = makeListener();
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
    QCOMPARE(m_status->bytes(), countStatus(0));
    QCOMPARE(listener->findChildren<CConnSocket *>().size(), 0);
    QCOMPARE(listener->findChildren<QTcpSocket *>().size(), 0);
}

// Run by port1_netns.sh in a private network namespace, where binding the
// real SERVICE_PORT is safe.
void tst_ListenSocket::servicePort()
{
    if (qEnvironmentVariableIntValue("TAVRIN_TEST_PORT1") != 1)
        QSKIP("needs a private network namespace (run through port1_netns.sh)");
    CListenSocket listener(m_message.get(), m_status.get(), &m_serial, &m_host);
    QVERIFY(listener.isListening());
    QCOMPARE(listener.serverPort(), SERVICE_PORT);
    QCOMPARE(m_status->bytes(), cp932(QStringLiteral("接続待ち")));

    QTcpSocket terminal;
    terminal.connectToHost(QStringLiteral("127.0.0.1"), 1);
    QVERIFY(terminal.waitForConnected(3000));
    QTRY_COMPARE(listener.count(), 1);
    QCOMPARE(m_status->bytes(), countStatus(1));
    terminal.write(FrameCodec::textFrame("port 1"));
    QTRY_COMPARE(m_message->bytes(), QByteArray("0> port 1"));
}

QTEST_GUILESS_MAIN(tst_ListenSocket)
#include "tst_ListenSocket.moc"
