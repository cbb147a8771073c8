// Throughput and memory of the frame link over real loopback connections,
// beside a raw QTcpSocket copy of the same bytes. Pauses are replaced by
// zero and a received file is saved, as the programs do once Save As is
// answered, to a path in a temp directory beside the spool files (a
// rename), and on /dev/shm when that is another file system (a copy).
// Then, with the real one-second pauses, how quickly a real Station handles
// a Terminal's text while another connection is being paced, and what a
// paced file send costs its sender.
//
//   bench_link              runs everything and prints the figures
//   bench_link --texts N    only the text part, N frames
//   bench_link --files      only the file part
//   bench_link --pacing     only the paced part (about 40 s)
//
// File transfers run sender and receiver as two child processes of this
// program, so that each one's peak memory and CPU time is its own. "ext" is
// the same file between a Terminal and a Station that both speak the
// extension, as a named file without pauses.

#include "CSocket.h"
#include "Frame.h"
#include "LinkTestSupport.h"
#include "PacedFileSend.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "SerialPort.h"
#include "SpoolDelivery.h"
#include "Timers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 cpuNs(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec now {};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The one-second pauses: zero for throughput runs, as asked for pacing runs,
// which also record how long the pauses really took.
class BenchTimers : public ITimers
{
public:
    bool realPauses = false;
    qint64 shortestPauseNs = 0;
    qint64 longestPauseNs = 0;
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override
    {
        // Other delays, such as the connect timeout, run their own time.
        if (milliseconds != PacedFileSend::CHUNK_PAUSE_MS) {
            QTimer::singleShot(milliseconds, context, std::move(then));
            return;
        }
        if (!realPauses) {
            QTimer::singleShot(0, context, std::move(then));
            return;
        }
        const qint64 asked = monotonicNs();
        QTimer::singleShot(milliseconds, context, [this, asked, then = std::move(then)] {
            const qint64 took = monotonicNs() - asked;
            shortestPauseNs = shortestPauseNs ? qMin(shortestPauseNs, took) : took;
            longestPauseNs = qMax(longestPauseNs, took);
            then();
        });
    }
};

// Peak resident memory of this process. getrusage() would carry the
// parent's peak across fork and exec; VmHWM starts afresh with the image.
long peakKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Runs the event loop until `done` holds, sleeping while nothing happens
// (the overload of processEvents() with a time limit never sleeps). With a
// `timeoutMs`, gives up after it, and a timer wakes the loop now and then
// for conditions that other threads change.
bool spin(const std::function<bool()> &done, int timeoutMs = -1)
{
    QElapsedTimer timer;
    timer.start();
    QTimer wake;
    if (timeoutMs >= 0)
        wake.start(50);
    while (!done()) {
        if (timeoutMs >= 0 && timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QTcpSocket *acceptOne(QTcpServer &server)
{
    spin([&] { return server.hasPendingConnections(); });
    return server.nextPendingConnection();
}

const QByteArray benchText = QByteArrayLiteral("hello, station");
constexpr qint64 rawHighWater = 64 * 1024;

// Lets the socket send until at most `limit` bytes are still queued.
void waitQueuedAtMost(QTcpSocket &socket, qint64 limit)
{
    while (socket.bytesToWrite() > limit && socket.waitForBytesWritten(5000)) {
    }
}

void connectRaw(QTcpSocket &socket, quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(5000);
}

void connectLink(CConnSocket &sender, quint16 port)
{
    sender.connectToStation(QStringLiteral("127.0.0.1"), port);
    spin([&] { return sender.isOpen(); });
}

// Starts sending `path` on `sender`.
void sendFileOn(CConnSocket &sender, const QString &path)
{
    auto *file = new QFile(path, &sender);
    file->open(QIODevice::ReadOnly);
    sender.SendFile(file, QFileInfo(path).fileName());
}

// How a file goes: a raw copy, classic frames, or a named file between two
// ends that speak the extension.
enum class FileMode { Raw, Link, Extension };

FileMode fileModeOf(const QString &name)
{
    if (name == QLatin1String("raw"))
        return FileMode::Raw;
    return name == QLatin1String("ext") ? FileMode::Extension : FileMode::Link;
}

QString fileModeName(FileMode mode)
{
    switch (mode) {
    case FileMode::Raw:
        return QStringLiteral("raw");
    case FileMode::Link:
        return QStringLiteral("link");
    case FileMode::Extension:
        return QStringLiteral("ext");
    }
    return {};
}

// Child: sends `frames` text frames to the receiver on `port`.
int sendTexts(int frames, quint16 port, bool raw)
{
    if (raw) {
        QTcpSocket socket;
        connectRaw(socket, port);
        const QByteArray frame = FrameCodec::textFrame(benchText);
        for (int i = 0; i < frames; ++i) {
            socket.write(frame);
            waitQueuedAtMost(socket, rawHighWater);
        }
        waitQueuedAtMost(socket, 0);
    } else {
        CConnSocket sender(ITimers::real());
        connectLink(sender, port);
        for (int i = 0; i < frames; ++i)
            sender.SendText(benchText);
        waitQueuedAtMost(*LinkTest::tcpSocketOf(&sender), 0);
    }
    return 0;
}

// Receives `frames` text frames from a child sender; frames per second.
double textFramesPerSecond(int frames, bool raw)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--send-texts"), QString::number(frames), QString::number(server.serverPort()),
                 raw ? QStringLiteral("raw") : QStringLiteral("link")});
    QTcpSocket *socket = acceptOne(server);

    QElapsedTimer timer;
    QObject::connect(socket, &QTcpSocket::readyRead, [&] {
        if (!timer.isValid())
            timer.start();
    });
    int received = 0;
    std::unique_ptr<CConnSocket> conn;
    if (raw) {
        const qint64 total = qint64(FRAME_HEADER_SIZE + benchText.size()) * frames;
        qint64 got = 0;
        QObject::connect(socket, &QTcpSocket::readyRead, [&] { got += socket->readAll().size(); });
        spin([&] { return got >= total; });
    } else {
        conn = std::make_unique<CConnSocket>(ITimers::real());
        QObject::connect(conn.get(), &CConnSocket::textReceived, [&] { ++received; });
        conn->attach(socket);
        spin([&] { return received == frames; });
    }
    const qint64 elapsed = timer.elapsed();
    child.waitForFinished(60000);
    return frames * 1000.0 / qMax<qint64>(1, elapsed);
}

// Child: receives one file on a connection and saves it to `target`;
// through the link, the time runs until the saved file is whole, which after
// a copy to another file system is later than the last frame.
int receiveFile(const QString &target, FileMode mode)
{
    const bool raw = mode == FileMode::Raw;
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QTextStream(stdout) << server.serverPort() << Qt::endl;

    QTcpSocket *socket = acceptOne(server);
    QElapsedTimer timer;
    timer.start();
    if (raw) {
        QFile rawOut(target);
        rawOut.open(QIODevice::WriteOnly);
        spin([&] {
            rawOut.write(socket->readAll());
            return socket->state() == QAbstractSocket::UnconnectedState && socket->bytesAvailable() == 0;
        });
    } else {
        bool saving = false;
        bool done = false;
        BenchTimers timers;
        CConnSocket conn(timers);
        conn.setExtensionEnabled(mode == FileMode::Extension);
        QObject::connect(&conn, &CConnSocket::stateChanged, [&](CConnSocket::State state) {
            if (state == CConnSocket::State::Closed && !saving)
                done = true;
        });
        QObject::connect(&conn, &CConnSocket::fileReceived, [&](const ReceivedFile &file) {
            if (!file.complete) {
                std::fprintf(stderr, "received file incomplete\n");
                return;
            }
            saving = true;
            auto *delivery = new SpoolDelivery(file.spool, target);
            QObject::connect(delivery, &SpoolDelivery::finished, [&](bool ok, const QString &error) {
                if (!ok)
                    std::fprintf(stderr, "not saved: %s\n", qPrintable(error));
                done = true;
            });
            delivery->start();
        });
        conn.attach(socket);
        spin([&] { return done; });
    }
    QTextStream(stdout) << timer.elapsed() << ' ' << peakKilobytes() << Qt::endl;
    return 0;
}

// Child: sends `path` to the receiver on `port`, through the link or raw.
int sendFile(const QString &path, quint16 port, FileMode mode)
{
    if (mode == FileMode::Raw) {
        QTcpSocket socket;
        connectRaw(socket, port);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        const quint32 length = quint32(file.size());
        quint16 index = 0;
        while (true) {
            const QByteArray chunk = file.read(CHUNK_SIZE);
            const bool last = chunk.size() < CHUNK_SIZE;
            socket.write(FrameCodec::fileFrame(length, index++, chunk));
            waitQueuedAtMost(socket, rawHighWater);
            if (last)
                break;
        }
        waitQueuedAtMost(socket, 0);
        socket.disconnectFromHost();
    } else {
        BenchTimers timers;
        CConnSocket sender(timers);
        sender.setExtensionEnabled(mode == FileMode::Extension);
        connectLink(sender, port);
        if (mode == FileMode::Extension && !spin([&] { return sender.peerHasExtension(); }, 5000)) {
            std::fprintf(stderr, "the extension was not agreed\n");
            return 1;
        }
        sendFileOn(sender, path);
        spin([&] { return !sender.isSendingFile(); });
        QTcpSocket *socket = LinkTest::tcpSocketOf(&sender);
        waitQueuedAtMost(*socket, 0);
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(5000);
    }
    QTextStream(stdout) << peakKilobytes() << Qt::endl;
    return 0;
}

bool sameFileSystem(const QString &first, const QString &second)
{
    struct stat a {};
    struct stat b {};
    return ::stat(QFile::encodeName(first).constData(), &a) == 0
        && ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev;
}

bool sameContents(const QString &first, const QString &second)
{
    QFile a(first), b(second);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.size() != b.size())
        return false;
    while (!a.atEnd()) {
        if (a.read(1 << 20) != b.read(1 << 20))
            return false;
    }
    return true;
}

// Child: sends `path` through the link with the real pauses and prints the
// send's wall time, this process's CPU time during it and the shortest and
// longest pause, all in nanoseconds.
int sendPaced(const QString &path, quint16 port)
{
    BenchTimers timers;
    timers.realPauses = true;
    CConnSocket sender(timers);
    connectLink(sender, port);
    const qint64 wallStart = monotonicNs();
    const qint64 cpuStart = cpuNs();
    sendFileOn(sender, path);
    spin([&] { return !sender.isSendingFile(); });
    const qint64 cpu = cpuNs() - cpuStart;
    const qint64 wall = monotonicNs() - wallStart;
    QTcpSocket *socket = LinkTest::tcpSocketOf(&sender);
    waitQueuedAtMost(*socket, 0);
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(5000);
    QTextStream(stdout) << wall << ' ' << cpu << ' ' << timers.shortestPauseNs << ' '
                        << timers.longestPauseNs << Qt::endl;
    return 0;
}

struct FileRun
{
    double megabytesPerSecond = 0;
    long receiverKb = 0;
    long senderKb = 0;
    bool identical = false;
};

FileRun runFile(const QString &source, const QString &target, qint64 size, FileMode fileMode)
{
    const bool raw = fileMode == FileMode::Raw;
    const QString self = QCoreApplication::applicationFilePath();
    const QString mode = fileModeName(fileMode);
    QProcess receiver;
    receiver.start(self, {QStringLiteral("--receive"), target, mode});
    receiver.waitForReadyRead(10000);
    const quint16 port = quint16(receiver.readLine().trimmed().toUInt());

    QProcess sender;
    sender.start(self, {QStringLiteral("--send"), source, QString::number(port), mode});
    sender.waitForFinished(600000);
    receiver.waitForFinished(600000);

    FileRun run;
    run.senderKb = sender.readAllStandardOutput().trimmed().toLong();
    const QList<QByteArray> figures = receiver.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() == 2) {
        const double seconds = qMax<qint64>(1, figures[0].toLongLong()) / 1000.0;
        run.megabytesPerSecond = size / 1e6 / seconds;
        run.receiverKb = figures[1].toLong();
    }
    run.identical = raw ? QFileInfo(target).size() > size : sameContents(source, target);
    return run;
}

void writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 131) ^ (i >> 9));
    for (qint64 left = size; left > 0; left -= block.size())
        file.write(block.constData(), qMin<qint64>(left, block.size()));
}

// A Terminal played by a helper thread on a plain blocking socket, so that
// its timing owes nothing to the Station's event loop.
class ThreadTerminal
{
public:
    explicit ThreadTerminal(quint16 port)
        : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    }
    ~ThreadTerminal()
    {
        stop();
        ::close(m_fd);
    }
    ThreadTerminal(const ThreadTerminal &) = delete;
    ThreadTerminal &operator=(const ThreadTerminal &) = delete;

    qint64 bytesSent() const { return m_sent; }
    qint64 bytesReceived() const { return m_received; }

    // Texts `spacingMs` apart, each carrying the monotonic time it was sent at.
    void sendTimedTexts(int count, int spacingMs)
    {
        m_worker = std::thread([this, count, spacingMs] {
            for (int i = 0; i < count && sendAll(FrameCodec::textFrame(QByteArray::number(monotonicNs())));
                 ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(spacingMs));
        });
    }
    // RS frames back to back, as fast as the Station takes them, until stop().
    void floodRs()
    {
        m_worker = std::thread([this] {
            const QByteArray frame = FrameCodec::rsFrame(QByteArrayLiteral("R"));
            while (sendAll(frame)) {
            }
        });
    }
    // Reads and drops whatever arrives, until stop().
    void drain()
    {
        m_worker = std::thread([this] {
            char buffer[4096];
            ssize_t got;
            while ((got = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
                m_received += got;
        });
    }
    void join()
    {
        if (m_worker.joinable())
            m_worker.join();
    }
    // Wakes a worker blocked on the socket and waits for it.
    void stop()
    {
        if (!m_worker.joinable())
            return;
        ::shutdown(m_fd, SHUT_RDWR);
        m_worker.join();
    }

private:
    bool sendAll(const QByteArray &bytes)
    {
        for (qint64 at = 0; at < bytes.size();) {
            const ssize_t put = ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
            if (put <= 0)
                return false;
            at += put;
            m_sent += put;
        }
        return true;
    }

    int m_fd;
    std::thread m_worker;
    std::atomic<qint64> m_sent {0};
    std::atomic<qint64> m_received {0};
};

enum class Load { None, FileSend, RsFlood };

struct LatencyRun
{
    int handled = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double cpuShare = 0;
    QString load;
};

// A Station with a pty as its serial line and two Terminals: the first
// loads the Station as `load` says, the second sends `texts` timed texts.
LatencyRun textLatency(Load load, const QString &filePath, int texts, int spacingMs)
{
    BenchTimers timers;
    timers.realPauses = true;

    PtyLine pty;
    CSerialPort serial(pty.name(), &timers);
    // The time from sending each text to the Station's handling it.
    std::vector<double> latenciesMs;
    LatencyRun run;
    {
        CListenSocket station(&serial, timers, 0);
        station.Listen();
        QObject::connect(&station, &CListenSocket::textReceived, [&](int, const QByteArray &text) {
            latenciesMs.push_back((monotonicNs() - text.toLongLong()) / 1e6);
        });
        ThreadTerminal loader(station.serverPort());
        spin([&] { return station.count() == 1; }, 5000);
        ThreadTerminal texter(station.serverPort());
        spin([&] { return station.count() == 2; }, 5000);

        CConnSocket *loaded = station.client(0);
        const qint64 start = monotonicNs();
        const qint64 cpuStart = cpuNs(CLOCK_THREAD_CPUTIME_ID);
        if (load == Load::FileSend) {
            loader.drain();
            auto *file = new QFile(filePath, &station);
            file->open(QIODevice::ReadOnly);
            station.SendFileToClient(file, 0);
        } else if (load == Load::RsFlood) {
            loader.floodRs();
        }
        texter.sendTimedTexts(texts, spacingMs);
        spin([&] { return int(latenciesMs.size()) == texts; }, texts * spacingMs * 2 + 5000);
        texter.join();
        const double seconds = (monotonicNs() - start) / 1e9;
        run.cpuShare = (cpuNs(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / 1e9 / seconds;

        if (load == Load::FileSend) {
            const bool stillSending = loaded && loaded->isSendingFile();
            spin([&] { return !loaded || !loaded->isSendingFile(); }, 60000);
            const qint64 size = QFileInfo(filePath).size();
            spin([&] { return loader.bytesReceived() >= size; }, 5000);
            run.load = QStringLiteral("file send to Terminal 1 (%1 bytes, %2 pauses of %3 ms, took %4 s), "
                                      "still running after the last text: %5")
                           .arg(size)
                           .arg(size / CHUNK_SIZE)
                           .arg(PacedFileSend::CHUNK_PAUSE_MS)
                           .arg((monotonicNs() - start) / 1e9, 0, 'f', 3)
                           .arg(stillSending ? QStringLiteral("yes") : QStringLiteral("NO"));
        } else if (load == Load::RsFlood) {
            const int lineBytes = int(pty.drain(0).size());
            const qint64 frames = loader.bytesSent() / (FRAME_HEADER_SIZE + 1);
            run.load = QStringLiteral("RS flood from Terminal 1 (%1 frames accepted by the connection, %2 days "
                                      "of line time; %4 bytes reached the serial line in %3 s, %5 queued)")
                           .arg(frames)
                           .arg(frames * CSerialPort::PAUSE_MS / 1000.0 / 86400, 0, 'f', 1)
                           .arg(seconds, 0, 'f', 1)
                           .arg(lineBytes)
                           .arg(serial.pending());
        } else {
            run.load = QStringLiteral("idle Station");
        }
        loader.stop();
    }

    std::vector<double> sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    run.handled = int(sorted.size());
    if (!sorted.empty()) {
        run.medianMs = sorted[sorted.size() / 2];
        run.p99Ms = sorted[std::max<size_t>(1, size_t(std::ceil(sorted.size() * 0.99))) - 1];
        run.maxMs = sorted.back();
    }
    return run;
}

struct PacedRun
{
    double seconds = 0;
    double cpuSeconds = 0;
    double shortestPauseMs = 0;
    double longestPauseMs = 0;
    bool identical = false;
};

PacedRun runPaced(const QString &source, const QString &target)
{
    const QString self = QCoreApplication::applicationFilePath();
    QProcess receiver;
    receiver.start(self, {QStringLiteral("--receive"), target, QStringLiteral("link")});
    receiver.waitForReadyRead(10000);
    const quint16 port = quint16(receiver.readLine().trimmed().toUInt());

    QProcess sender;
    sender.start(self, {QStringLiteral("--send-paced"), source, QString::number(port)});
    sender.waitForFinished(120000);
    receiver.waitForFinished(10000);

    PacedRun run;
    const QList<QByteArray> figures = sender.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() == 4) {
        run.seconds = figures[0].toLongLong() / 1e9;
        run.cpuSeconds = figures[1].toLongLong() / 1e9;
        run.shortestPauseMs = figures[2].toLongLong() / 1e6;
        run.longestPauseMs = figures[3].toLongLong() / 1e6;
    }
    run.identical = sameContents(source, target);
    return run;
}

void printPacing(QTextStream &out)
{
    constexpr int texts = 200;
    constexpr int spacingMs = 25;
    QTemporaryDir dir;
    const QString smallFile = dir.filePath(QStringLiteral("paced-small"));
    writeFile(smallFile, 8 * CHUNK_SIZE + 500);

    out << "text latency at the Station, " << texts << " texts " << spacingMs
        << " ms apart from Terminal 2, real pauses, pty as serial line; CPU of the Station's thread:\n"
        << Qt::flush;
    for (const Load load : {Load::None, Load::FileSend, Load::RsFlood}) {
        const LatencyRun run = textLatency(load, smallFile, texts, spacingMs);
        out << QStringLiteral("  median %1 ms, p99 %2 ms, max %3 ms, %4/%5 handled, CPU %6 %; %7\n")
                   .arg(run.medianMs, 0, 'f', 2)
                   .arg(run.p99Ms, 0, 'f', 2)
                   .arg(run.maxMs, 0, 'f', 2)
                   .arg(run.handled)
                   .arg(texts)
                   .arg(run.cpuShare * 100, 0, 'f', 2)
                   .arg(run.load)
            << Qt::flush;
    }

    constexpr int chunks = 20;
    const QString source = dir.filePath(QStringLiteral("paced-source"));
    const QString target = dir.filePath(QStringLiteral("paced-target"));
    writeFile(source, chunks * CHUNK_SIZE);
    const double pauses = chunks * PacedFileSend::CHUNK_PAUSE_MS / 1000.0;
    out << "paced send of " << chunks * CHUNK_SIZE << " bytes (" << chunks << " full chunks), sender process:\n"
        << Qt::flush;
    const PacedRun run = runPaced(source, target);
    out << QStringLiteral("  %1 s, overhead over %2 s of pauses %3 %; CPU %4 ms = %5 % of wall time; "
                          "pauses %6 to %7 ms%8\n")
               .arg(run.seconds, 0, 'f', 3)
               .arg(pauses, 0, 'f', 0)
               .arg((run.seconds - pauses) / pauses * 100, 0, 'f', 3)
               .arg(run.cpuSeconds * 1000, 0, 'f', 1)
               .arg(run.cpuSeconds / qMax(run.seconds, 1e-9) * 100, 0, 'f', 3)
               .arg(run.shortestPauseMs, 0, 'f', 2)
               .arg(run.longestPauseMs, 0, 'f', 2)
               .arg(run.identical ? QStringLiteral(", saved file identical") : QStringLiteral(", SAVED FILE DIFFERS"))
        << Qt::flush;
}

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--receive"))
        return receiveFile(args[2], fileModeOf(args[3]));
    if (args.size() == 5 && args[1] == QLatin1String("--send-texts"))
        return sendTexts(args[2].toInt(), quint16(args[3].toUInt()), args[4] == QLatin1String("raw"));
    if (args.size() == 5 && args[1] == QLatin1String("--send"))
        return sendFile(args[2], quint16(args[3].toUInt()), fileModeOf(args[4]));
    if (args.size() == 4 && args[1] == QLatin1String("--send-paced"))
        return sendPaced(args[2], quint16(args[3].toUInt()));

    QTextStream out(stdout);
    if (args.size() == 2 && args[1] == QLatin1String("--pacing")) {
        printPacing(out);
        return 0;
    }

    const bool filesOnly = args.size() == 2 && args[1] == QLatin1String("--files");
    if (!filesOnly) {
        const int frames = args.size() == 3 && args[1] == QLatin1String("--texts") ? args[2].toInt() : 200000;
        out << "text frames (" << frames << " x " << FRAME_HEADER_SIZE + benchText.size() << " bytes):\n"
            << Qt::flush;
        out << QStringLiteral("  link  %1 frames/s\n").arg(textFramesPerSecond(frames, false), 0, 'f', 0)
            << Qt::flush;
        out << QStringLiteral("  raw   %1 frames/s\n").arg(textFramesPerSecond(frames, true), 0, 'f', 0)
            << Qt::flush;
        if (args.size() == 3)
            return 0;
    }

    QTemporaryDir dir;
    // Saved there, a received file is copied out of its spool rather than renamed.
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/bench_link-XXXXXX"));
    const bool copies = elsewhere.isValid() && !sameFileSystem(dir.path(), elsewhere.path());
    out << "spool files under " << QDir::tempPath() << " (TMPDIR), saved by a rename beside them"
        << (copies ? " and by a copy to /dev/shm" : "") << "\n";
    for (const qint64 megabytes : {1, 50}) {
        const qint64 size = megabytes * 1000 * 1000 + 1234;
        const QString source = dir.filePath(QStringLiteral("source-%1").arg(megabytes));
        writeFile(source, size);
        out << "file of " << size << " bytes:\n" << Qt::flush;
        const auto run = [&](const QString &target, FileMode mode) {
            const FileRun result = runFile(source, target, size, mode);
            QFile::remove(target);
            return result;
        };
        const FileRun raw = run(dir.filePath(QStringLiteral("raw-target")), FileMode::Raw);
        const auto print = [&](const char *label, const FileRun &result, const QString &tail) {
            out << QStringLiteral("  %1  %2 MB/s, peak memory receiver %3 KiB, sender %4 KiB%5\n")
                       .arg(QLatin1String(label))
                       .arg(result.megabytesPerSecond, 0, 'f', 1)
                       .arg(result.receiverKb)
                       .arg(result.senderKb)
                       .arg(tail)
                << Qt::flush;
        };
        const auto linkTail = [&](const FileRun &result) {
            return QStringLiteral(", %1 % of raw, %2")
                .arg(result.megabytesPerSecond / qMax(raw.megabytesPerSecond, 1e-9) * 100, 0, 'f', 0)
                .arg(result.identical ? QStringLiteral("saved file identical") : QStringLiteral("SAVED FILE DIFFERS"));
        };
        const FileRun renamed = run(dir.filePath(QStringLiteral("target")), FileMode::Link);
        print("link", renamed, linkTail(renamed));
        if (copies) {
            const FileRun copied = run(elsewhere.filePath(QStringLiteral("target")), FileMode::Link);
            print("copy", copied, linkTail(copied));
        }
        const FileRun streamed = run(dir.filePath(QStringLiteral("target")), FileMode::Extension);
        print("ext ", streamed, linkTail(streamed));
        print("raw ", raw, QString());
        QFile::remove(source);
    }
    if (!filesOnly)
        printPacing(out);
    return 0;
}
