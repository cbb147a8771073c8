// Throughput and memory of the frame link over real loopback connections,
// beside a raw QTcpSocket copy of the same bytes. Pauses are replaced by
// zero and the Save As dialog is answered with a path in a temp directory.
//
//   bench_link              runs everything and prints the figures
//   bench_link --texts N    only the text part, N frames
//
// File transfers run sender and receiver as two child processes of this
// program, so that each one's peak memory is its own.

#include "CSocket.h"
#include "DisplayLine.h"
#include "Frame.h"
#include "IClientOwner.h"
#include "IRedrawHost.h"
#include "ISerialLine.h"
#include "Platform.h"
#include "QtPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

class BenchPlatform : public QtPlatform
{
public:
    QString openAnswer;
    QString saveAnswer;
    QString getOpenFileName() override { return openAnswer; }
    QString getSaveFileName() override { return saveAnswer; }
    void messageBox(const QString &text) override { std::fprintf(stderr, "message: %s\n", qPrintable(text)); }
    // The one-second pauses, shortened for throughput runs.
    int pauseMs = 0;
    void singleShot(int, QObject *context, std::function<void()> then) override
    {
        QtPlatform::singleShot(pauseMs, context, std::move(then));
    }
    std::unique_ptr<IProgress> openProgress(int, std::function<void()>) override { return nullptr; }
};

class CountingHost : public IRedrawHost, public IClientOwner, public ISerialLine
{
public:
    std::function<void()> onRedraw;
    std::function<void()> onClosed;
    void Redraw() override
    {
        if (onRedraw)
            onRedraw();
    }
    void RemoveClient(int) override
    {
        if (onClosed)
            onClosed();
    }
    void WriteByte(const QByteArray &, QObject *, std::function<void()>) override {}
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

// Runs the event loop until `done` holds.
void spin(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
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
    spin([&] { return sender.isConnected(); });
}

// Child: sends `frames` text frames to the receiver on `port`.
int sendTexts(int frames, quint16 port, bool raw)
{
    DisplayLine line(200);
    CountingHost host;
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
        CConnSocket sender(&line, &host);
        connectLink(sender, port);
        for (int i = 0; i < frames; ++i)
            sender.SendText(benchText);
        waitQueuedAtMost(*sender.socket(), 0);
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
    DisplayLine line(200);
    CountingHost host;
    int received = 0;
    host.onRedraw = [&] { ++received; };
    std::unique_ptr<CConnSocket> conn;
    if (raw) {
        const qint64 total = qint64(FRAME_HEADER_SIZE + benchText.size()) * frames;
        qint64 got = 0;
        QObject::connect(socket, &QTcpSocket::readyRead, [&] { got += socket->readAll().size(); });
        spin([&] { return got >= total; });
    } else {
        conn = std::make_unique<CConnSocket>(&line, 0, &host, &host, &host);
        conn->attach(socket);
        spin([&] { return received == frames; });
    }
    const qint64 elapsed = timer.elapsed();
    child.waitForFinished(60000);
    return frames * 1000.0 / qMax<qint64>(1, elapsed);
}

// Child: receives one file on a connection and saves it to `target`.
int receiveFile(const QString &target, bool raw)
{
    BenchPlatform platform;
    platform.saveAnswer = target;
    Platform::install(&platform);

    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QTextStream(stdout) << server.serverPort() << Qt::endl;

    QTcpSocket *socket = acceptOne(server);
    QElapsedTimer timer;
    timer.start();
    bool done = false;
    DisplayLine line(200);
    CountingHost host;
    host.onClosed = [&] { done = true; };
    QFile rawOut(target);
    std::unique_ptr<CConnSocket> conn;
    if (raw) {
        rawOut.open(QIODevice::WriteOnly);
        spin([&] {
            rawOut.write(socket->readAll());
            return socket->state() == QAbstractSocket::UnconnectedState && socket->bytesAvailable() == 0;
        });
        done = true;
    } else {
        conn = std::make_unique<CConnSocket>(&line, 0, &host, &host, &host);
        conn->attach(socket);
    }
    spin([&] { return done; });
    rawOut.close();
    QTextStream(stdout) << timer.elapsed() << ' ' << peakKilobytes() << Qt::endl;
    return 0;
}

// Child: sends `path` to the receiver on `port`, through the link or raw.
int sendFile(const QString &path, quint16 port, bool raw)
{
    BenchPlatform platform;
    platform.openAnswer = path;
    Platform::install(&platform);

    DisplayLine line(200);
    CountingHost host;
    if (raw) {
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
        CConnSocket sender(&line, &host);
        connectLink(sender, port);
        sender.SendFile();
        QTcpSocket *socket = sender.socket();
        waitQueuedAtMost(*socket, 0);
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(5000);
    }
    QTextStream(stdout) << peakKilobytes() << Qt::endl;
    return 0;
}

struct FileRun
{
    double megabytesPerSecond = 0;
    long receiverKb = 0;
    long senderKb = 0;
    bool identical = false;
};

FileRun runFile(const QString &source, const QString &target, qint64 size, bool raw)
{
    const QString self = QCoreApplication::applicationFilePath();
    const QString mode = raw ? QStringLiteral("raw") : QStringLiteral("link");
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
    if (raw) {
        run.identical = QFileInfo(target).size() > size;
    } else {
        QFile a(source), b(target);
        a.open(QIODevice::ReadOnly);
        b.open(QIODevice::ReadOnly);
        run.identical = a.size() == b.size();
        while (run.identical && !a.atEnd())
            run.identical = a.read(1 << 20) == b.read(1 << 20);
    }
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

}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("--receive"))
        return receiveFile(args[2], args[3] == QLatin1String("raw"));
    if (args.size() == 5 && args[1] == QLatin1String("--send-texts"))
        return sendTexts(args[2].toInt(), quint16(args[3].toUInt()), args[4] == QLatin1String("raw"));
    if (args.size() == 5 && args[1] == QLatin1String("--send"))
        return sendFile(args[2], quint16(args[3].toUInt()), args[4] == QLatin1String("raw"));

    BenchPlatform platform;
    Platform::install(&platform);
    const int frames = args.size() == 3 && args[1] == QLatin1String("--texts") ? args[2].toInt() : 200000;

    QTextStream out(stdout);
    out << "text frames (" << frames << " x " << FRAME_HEADER_SIZE + benchText.size() << " bytes):\n" << Qt::flush;
    out << QStringLiteral("  link  %1 frames/s\n").arg(textFramesPerSecond(frames, false), 0, 'f', 0) << Qt::flush;
    out << QStringLiteral("  raw   %1 frames/s\n").arg(textFramesPerSecond(frames, true), 0, 'f', 0) << Qt::flush;
    if (args.size() == 3)
        return 0;

    QTemporaryDir dir;
    out << "chunk files parked under " << QDir::tempPath() << " (TMPDIR)\n";
    for (const qint64 megabytes : {1, 50}) {
        const qint64 size = megabytes * 1000 * 1000 + 1234;
        const QString source = dir.filePath(QStringLiteral("source-%1").arg(megabytes));
        writeFile(source, size);
        out << "file of " << size << " bytes:\n";
        for (const bool raw : {false, true}) {
            const QString target = dir.filePath(QStringLiteral("target-%1-%2").arg(megabytes).arg(raw));
            const FileRun run = runFile(source, target, size, raw);
            out << QStringLiteral("  %1  %2 MB/s, peak memory receiver %3 KiB, sender %4 KiB%5\n")
                       .arg(raw ? QStringLiteral("raw ") : QStringLiteral("link"))
                       .arg(run.megabytesPerSecond, 0, 'f', 1)
                       .arg(run.receiverKb)
                       .arg(run.senderKb)
                       .arg(raw ? QString() : run.identical ? QStringLiteral(", saved file identical")
                                                           : QStringLiteral(", SAVED FILE DIFFERS"))
                << Qt::flush;
            QFile::remove(target);
        }
        QFile::remove(source);
    }
    return 0;
}
