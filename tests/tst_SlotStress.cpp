#include "LinkTestSupport.h"
#include "SSocket.h"
#include "Timers.h"

#include <QAtomicInt>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// One loop of the separate-process churn: each cycle a fresh connect, then a
// close or a reset, with or without a text, a piece of a header, or nothing.
int churnChild(quint16 port, int cycles)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray text = FrameCodec::textFrame("x");
    for (int i = 0; i < cycles; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return 1;
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
            const quint32 how = QRandomGenerator::global()->bounded(5u);
            if (how == 1 || how == 3)
                (void)::send(fd, text.constData(), size_t(text.size()), MSG_NOSIGNAL);
            if (how == 4)
                (void)::send(fd, text.constData(), 3, MSG_NOSIGNAL);
            if (how >= 2) {
                const linger reset = {1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
        }
        ::close(fd);
    }
    return 0;
}

// Terminals that connect and leave as fast as they can, on a thread of their
// own so that their connects and closes race the Station's event loop.
class ChurningTerminals : public QObject
{
public:
    ChurningTerminals(quint16 port, int loops, int cycles)
        : m_port(port)
        , m_loops(loops)
        , m_cyclesLeft(cycles)
    {
    }

    void start()
    {
        for (int i = 0; i < m_loops; ++i) {
            auto *socket = new QTcpSocket(this);
            connect(socket, &QTcpSocket::connected, this, [this, socket] { leave(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] { again(socket); });
            connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
                if (socket->state() == QAbstractSocket::UnconnectedState)
                    again(socket);
            });
            socket->connectToHost(QHostAddress::LocalHost, m_port);
        }
    }

    QAtomicInt cycles;
    QAtomicInt finishedLoops;

private:
    void leave(QTcpSocket *socket)
    {
        cycles.fetchAndAddRelaxed(1);
        const quint32 how = QRandomGenerator::global()->bounded(3u);
        if (how == 0)
            socket->write(FrameCodec::textFrame("x"));
        if (how == 1)
            socket->abort();
        else
            socket->disconnectFromHost();
    }

    void again(QTcpSocket *socket)
    {
        if (socket->state() != QAbstractSocket::UnconnectedState)
            return;
        if (--m_cyclesLeft <= 0) {
            finishedLoops.fetchAndAddRelaxed(1);
            return;
        }
        QMetaObject::invokeMethod(
            socket, [this, socket] { socket->connectToHost(QHostAddress::LocalHost, m_port); }, Qt::QueuedConnection);
    }

    quint16 m_port;
    int m_loops;
    int m_cyclesLeft;
};

} // namespace

// Many Terminals connecting and leaving at once never leave a slot taken.
class tst_SlotStress : public QObject
{
    Q_OBJECT

private slots:
    void churnFreesEverySlot();
    void churnFromSeparateProcessesFreesEverySlot();

private:
    void checkEverySlotReusable(CListenSocket &listener);
};

void tst_SlotStress::checkEverySlotReusable(CListenSocket &listener)
{
    // A leave is noticed within a second or so; a ghost slot stays for minutes.
    QVERIFY2(LinkTest::pumpUntil([&] { return listener.count() == 0; }, 30000),
             qPrintable(QStringLiteral("%1 slots still taken").arg(listener.count())));

    // One after another: ten at once overflow the listen backlog, and on a
    // busy machine the kernel's retries of the dropped handshakes take tens
    // of seconds.
    std::vector<std::unique_ptr<QTcpSocket>> fresh;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        fresh.push_back(std::make_unique<QTcpSocket>());
        fresh.back()->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY2(LinkTest::pumpUntil([&] { return listener.count() == i + 1; }, 60000),
                 qPrintable(QStringLiteral("%1 of %2 admitted").arg(listener.count()).arg(i + 1)));
    }
    for (int slot = 0; slot < MAX_CLIENTS; ++slot)
        QVERIFY(listener.client(slot));
    fresh.clear();
    QVERIFY(LinkTest::pumpUntil([&] { return listener.count() == 0; }, 60000));
}

void tst_SlotStress::churnFreesEverySlot()
{
    CListenSocket listener(nullptr, ITimers::real(), 0);
    QVERIFY(listener.Listen());
    constexpr int Loops = 30;
    const int cycles = qMax(qEnvironmentVariableIntValue("TAVRIN_TEST_CHURN_CYCLES"), 3000) / Loops;

    QThread thread;
    ChurningTerminals terminals(listener.serverPort(), Loops, cycles);
    terminals.moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(&terminals, [&terminals] { terminals.start(); }, Qt::QueuedConnection);
    // Every loop ends after its share; no wall-clock bound on the churn itself.
    QVERIFY2(LinkTest::pumpUntil([&] { return terminals.finishedLoops.loadRelaxed() == Loops; }, 600000),
             qPrintable(QStringLiteral("%1 cycles done").arg(terminals.cycles.loadRelaxed())));
    thread.quit();
    thread.wait();
    checkEverySlotReusable(listener);
}

// The same churn from processes of their own, each connect and close a
// system call of its own, as shell loops would make it.
void tst_SlotStress::churnFromSeparateProcessesFreesEverySlot()
{
    CListenSocket listener(nullptr, ITimers::real(), 0);
    QVERIFY(listener.Listen());
    constexpr int Loops = 30;
    const int cycles = qMax(qEnvironmentVariableIntValue("TAVRIN_TEST_CHURN_CYCLES"), 3000) / Loops;

    int finished = 0;
    int failed = 0;
    std::vector<std::unique_ptr<QProcess>> loops;
    for (int i = 0; i < Loops; ++i) {
        auto loop = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TAVRIN_CHURN_PORT"), QString::number(listener.serverPort()));
        environment.insert(QStringLiteral("TAVRIN_CHURN_CYCLES"), QString::number(cycles));
        loop->setProcessEnvironment(environment);
        loop->setProcessChannelMode(QProcess::ForwardedChannels);
        connect(loop.get(), &QProcess::finished, this, [&](int code, QProcess::ExitStatus status) {
            ++finished;
            failed += code != 0 || status != QProcess::NormalExit;
        });
        loop->start(QCoreApplication::applicationFilePath(), {});
        loops.push_back(std::move(loop));
    }
    QVERIFY(LinkTest::pumpUntil([&] { return finished == Loops; }, 600000));
    QCOMPARE(failed, 0);
    checkEverySlotReusable(listener);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("TAVRIN_CHURN_PORT"))
        return churnChild(quint16(qEnvironmentVariableIntValue("TAVRIN_CHURN_PORT")),
                          qEnvironmentVariableIntValue("TAVRIN_CHURN_CYCLES"));
    QCoreApplication app(argc, argv);
    tst_SlotStress test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_SlotStress.moc"
