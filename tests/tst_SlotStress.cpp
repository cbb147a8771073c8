#include "LinkTestSupport.h"
#include "SSocket.h"
#include "Timers.h"

#include <QAtomicInt>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <vector>

namespace {

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
};

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

    // A leave is noticed within a second or so; a ghost slot stays for minutes.
    QVERIFY2(LinkTest::pumpUntil([&] { return listener.count() == 0; }, 30000),
             qPrintable(QStringLiteral("%1 slots still taken").arg(listener.count())));

    std::vector<std::unique_ptr<QTcpSocket>> fresh;
    for (int i = 0; i < MAX_CLIENTS; ++i) {
        fresh.push_back(std::make_unique<QTcpSocket>());
        fresh.back()->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    }
    QVERIFY(LinkTest::pumpUntil([&] { return listener.count() == MAX_CLIENTS; }, 30000));
    for (int slot = 0; slot < MAX_CLIENTS; ++slot)
        QVERIFY(listener.client(slot));
    fresh.clear();
    QVERIFY(LinkTest::pumpUntil([&] { return listener.count() == 0; }, 30000));
}

QTEST_GUILESS_MAIN(tst_SlotStress)
#include "tst_SlotStress.moc"
