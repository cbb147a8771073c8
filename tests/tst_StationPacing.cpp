#include "CSocket.h"
#include "DisplayLine.h"
#include "Frame.h"
#include "IRedrawHost.h"
#include "LinkTestSupport.h"
#include "PacedFileSend.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "SendQueue.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using LinkTest::pumpUntil;

namespace {

// Records each message line the Station shows, with when it was shown.
class LineRecorder : public IRedrawHost
{
public:
    explicit LineRecorder(const DisplayLine *line)
        : m_line(line)
    {
        clock.start();
    }
    void Redraw() override
    {
        const QByteArray shown = lines.isEmpty() ? QByteArray() : lines.last();
        if (m_line->bytes() != shown) {
            lines.append(m_line->bytes());
            shownAt.append(clock.elapsed());
        }
    }
    QList<QByteArray> lines;
    QList<qint64> shownAt;
    QElapsedTimer clock;

private:
    const DisplayLine *m_line;
};

QByteArray repeated(const QByteArray &frame, int times)
{
    QByteArray bytes;
    bytes.reserve(frame.size() * times);
    for (int i = 0; i < times; ++i)
        bytes += frame;
    return bytes;
}

}

// The Station keeps serving every Terminal while one of them holds a file
// send or the serial line, and a Terminal that leaves keeps its slot until
// what it sent has been handled.
class tst_StationPacing : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void peerThatDoesNotReadHoldsOnlyItsFileSend();
    void rsFloodCostsOnlyTheFloodingTerminal();
    void departedTerminalKeepsItsSlotUntilItsFramesAreHandled();

private:
    QTcpSocket *connectTerminal();
    // Everything `terminal` receives until it has been quiet for `quietMs`.
    QByteArray readUntilQuiet(QTcpSocket *terminal, int quietMs = 300);

    std::unique_ptr<ScriptedPlatform> m_platform;
    std::unique_ptr<DisplayLine> m_message;
    std::unique_ptr<DisplayLine> m_status;
    std::unique_ptr<LineRecorder> m_host;
    std::unique_ptr<CSerialPort> m_serial;
    std::unique_ptr<CListenSocket> m_listener;
    std::vector<std::unique_ptr<QTcpSocket>> m_terminals;
};

void tst_StationPacing::init()
{
    m_platform = std::make_unique<ScriptedPlatform>();
    m_message = std::make_unique<DisplayLine>(200);
    m_status = std::make_unique<DisplayLine>(52);
    m_host = std::make_unique<LineRecorder>(m_message.get());
    m_serial = std::make_unique<CSerialPort>(QStringLiteral("/dev/tavrin-no-such-port"));
}

void tst_StationPacing::cleanup()
{
    m_terminals.clear();
    m_listener.reset();
    m_serial.reset();
    m_platform.reset();
}

QTcpSocket *tst_StationPacing::connectTerminal()
{
    if (!m_listener)
        m_listener = std::make_unique<CListenSocket>(m_message.get(), m_status.get(), m_serial.get(),
                                                     m_host.get(), 0);
    m_terminals.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket *terminal = m_terminals.back().get();
    terminal->connectToHost(QHostAddress::LocalHost, m_listener->serverPort());
    pumpUntil([&] { return terminal->state() == QAbstractSocket::ConnectedState; });
    return terminal;
}

QByteArray tst_StationPacing::readUntilQuiet(QTcpSocket *terminal, int quietMs)
{
    QByteArray received;
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quietMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const QByteArray got = terminal->readAll();
        if (!got.isEmpty()) {
            received += got;
            quiet.restart();
        }
    }
    return received;
}

void tst_StationPacing::peerThatDoesNotReadHoldsOnlyItsFileSend()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    const int chunks = 1000;
    QByteArray content(chunks * CHUNK_SIZE + 700, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i / CHUNK_SIZE + i);
    QVERIFY(LinkTest::writeFile(path, content));

    QTcpSocket *stalled = connectTerminal();
    QTcpSocket *other = connectTerminal();
    QTRY_COMPARE(m_listener->count(), 2);
    // Short real pauses, and the Station's kernel would take megabytes.
    m_platform->realPauseMs = 20;
    stalled->setReadBufferSize(4096);

    m_platform->queueOpenFileName(path);
    QElapsedTimer sinceStart;
    sinceStart.start();
    m_listener->SendFileToClient(0);
    QVERIFY(m_listener->client(0)->isSendingFile());
    QCOMPARE(m_platform->progresses.size(), 1);
    const auto progress = m_platform->progresses[0];
    QCOMPARE(progress->maximum, chunks + 1);
    // Once the Terminal's window closes, with the Station's send buffer far
    // from full, and then the send stands still.
    const auto waiting = [&] {
        return !progress->labels.isEmpty()
            && progress->labels.last().contains(QStringLiteral("相手が受信するのを待っています"));
    };
    QVERIFY(pumpUntil(waiting, 5000));
    qInfo("the wait showed %lld ms after the send began", sinceStart.elapsed());
    int sentWhileWaiting = -1;
    QVERIFY(pumpUntil(
        [&] {
            if (!waiting())
                return false;
            const int sent = progress->values.last();
            QTest::qWait(300);
            if (sent != progress->values.last() || !waiting())
                return false;
            sentWhileWaiting = sent;
            return true;
        },
        15000));
    // Waiting holds nothing else up, and queues no more than a frame or two.
    QVERIFY(sentWhileWaiting < chunks);
    QVERIFY(SendQueue::heldBackBytes(m_listener->client(0)->socket()) <= PacedFileSend::SEND_HIGH_WATER + 2010);
    const qint64 before = m_host->clock.elapsed();
    other->write(FrameCodec::textFrame("meanwhile"));
    QTRY_COMPARE(m_message->bytes(), QByteArray("1> meanwhile"));
    QVERIFY(m_host->shownAt.last() - before < 1000);
    QTest::qWait(100);
    QCOMPARE(progress->values.last(), sentWhileWaiting);

    progress->pressCancel();
    QVERIFY(!progress->open);
    QVERIFY(!m_listener->client(0)->isSendingFile());
    QVERIFY(m_platform->messages.isEmpty());

    // What reached the Terminal is whole chunks in order, and no last frame.
    const QByteArray stream = readUntilQuiet(stalled, 500);
    QVERIFY(stream.size() % (FRAME_HEADER_SIZE + CHUNK_SIZE) == 0);
    const int frames = int(stream.size() / (FRAME_HEADER_SIZE + CHUNK_SIZE));
    QVERIFY(frames >= sentWhileWaiting && frames < chunks);
    for (int i = 0; i < frames; ++i) {
        const char *frame = stream.constData() + i * (FRAME_HEADER_SIZE + CHUNK_SIZE);
        const FrameHeader header = FrameHeader::decode(frame);
        QCOMPARE(header.kind, FRAME_FILE);
        QCOMPARE(header.index, quint16(i));
        QCOMPARE(QByteArray(frame + FRAME_HEADER_SIZE, CHUNK_SIZE), content.mid(i * CHUNK_SIZE, CHUNK_SIZE));
    }
    QCOMPARE(m_platform->pauses.size(), frames);
}

void tst_StationPacing::rsFloodCostsOnlyTheFloodingTerminal()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    const int pauseMs = 300;
    m_platform->realPauseMs = pauseMs;
    m_serial = std::make_unique<CSerialPort>(line.name());
    QVERIFY(m_serial->isOpen());

    QTcpSocket *flooder = connectTerminal();
    QTcpSocket *other = connectTerminal();
    QTRY_COMPARE(m_listener->count(), 2);
    flooder->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16384);

    // Far more RS frames than the Station may buffer, empty ones among them.
    const QByteArray flood = FrameCodec::rsFrame("a") + FrameCodec::rsFrame(QByteArray())
        + FrameCodec::rsFrame("c") + repeated(FrameCodec::rsFrame(QByteArray()), 200000);
    flooder->write(flood);

    QElapsedTimer clock;
    clock.start();
    QByteArray received;
    QList<qint64> arrivals;
    const auto takeLine = [&] {
        const QByteArray got = line.drain(0);
        for (char byte : got) {
            received += byte;
            arrivals.append(clock.elapsed());
        }
    };
    QVERIFY(pumpUntil([&] {
        takeLine();
        return !received.isEmpty();
    }));
    // The other Terminal's text is shown at once, its RS byte comes next.
    const qint64 sent = m_host->clock.elapsed();
    other->write(FrameCodec::textFrame("hello") + FrameCodec::rsFrame("b"));
    QTRY_COMPARE(m_message->bytes(), QByteArray("1> hello"));
    QVERIFY2(m_host->shownAt.last() - sent < pauseMs / 2,
             qPrintable(QString::number(m_host->shownAt.last() - sent)));
    QVERIFY(pumpUntil(
        [&] {
            takeLine();
            return received.size() >= 3;
        },
        6 * pauseMs + 2000));

    // One byte a pause, in arrival order; the empty frame took a pause of
    // its own without a byte.
    QCOMPARE(received, QByteArray("abc"));
    QVERIFY2(arrivals[1] - arrivals[0] >= pauseMs - 30, qPrintable(QString::number(arrivals[1] - arrivals[0])));
    QVERIFY2(arrivals[2] - arrivals[1] >= 2 * pauseMs - 30, qPrintable(QString::number(arrivals[2] - arrivals[1])));

    // The rest of the flood waits in the flooder's socket and the kernel,
    // not in the Station.
    QVERIFY(m_listener->client(0)->socket()->bytesAvailable() <= 64 * 1024);
    QVERIFY(flooder->bytesToWrite() > 0);
    QVERIFY(m_serial->pending() <= 2);
}

void tst_StationPacing::departedTerminalKeepsItsSlotUntilItsFramesAreHandled()
{
    QList<QTcpSocket *> terminals;
    for (int n = 1; n <= MAX_CLIENTS; ++n) {
        terminals.append(connectTerminal());
        QTRY_COMPARE(m_listener->count(), n);
    }
    QTcpSocket *leaving = terminals[0];
    const QPointer<CConnSocket> leavingEnd = m_listener->client(0);
    QTcpSocket *newcomer = nullptr;

    int countDuringDialog = -1;
    bool sameSocketDuringDialog = false;
    m_platform->queueSaveFileName(QString(), [&] {
        // Sent before it closes; a newcomer waits for a free slot meanwhile.
        leaving->write(FrameCodec::textFrame("from the leaving one") + FrameCodec::rsFrame("z"));
        leaving->disconnectFromHost();
        newcomer = connectTerminal();
        newcomer->write(FrameCodec::textFrame("from the newcomer"));
        ScriptedPlatform::spinEvents(300);
        countDuringDialog = m_listener->count();
        sameSocketDuringDialog = m_listener->client(0) == leavingEnd;
    });
    leaving->write(FrameCodec::fileFrame(2, 0, "hi"));

    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(countDuringDialog, MAX_CLIENTS);
    QVERIFY(sameSocketDuringDialog);
    QTRY_COMPARE(m_message->bytes(), QByteArray("0> from the newcomer"));
    QTRY_VERIFY(leavingEnd.isNull());
    QCOMPARE(m_listener->count(), MAX_CLIENTS);
    // The leaving Terminal's text under its own slot, the newcomer's after.
    QCOMPARE(m_host->lines.join('|'), QByteArray("0> from the leaving one|0> from the newcomer"));
    QTRY_COMPARE(m_platform->pauses, QList<int>{CSerialPort::PAUSE_MS});
}

QTEST_GUILESS_MAIN(tst_StationPacing)
#include "tst_StationPacing.moc"
