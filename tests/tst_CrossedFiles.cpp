// Two ends sending large files to each other at the same time, each on a
// thread of its own as two programs would be. A send waits for its peer once
// enough is queued; if a sending end stopped reading, both would wait for
// each other for ever.

#include "CSocket.h"
#include "DisplayLine.h"
#include "IClientOwner.h"
#include "IRedrawHost.h"
#include "ISerialLine.h"
#include "LinkTestSupport.h"
#include "Platform.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

// Answers each thread's dialogs with that thread's paths; never pauses.
class PerThreadPlatform : public IPlatform
{
public:
    void answer(const QString &open, const QString &save)
    {
        QMutexLocker lock(&m_mutex);
        m_answers.insert(QThread::currentThread(), {open, save});
    }
    QString getOpenFileName() override { return answers().first; }
    QString getSaveFileName() override { return answers().second; }
    void messageBox(const QString &text) override
    {
        QMutexLocker lock(&m_mutex);
        messages.append(text);
    }
    void singleShot(int, QObject *context, std::function<void()> then) override
    {
        QTimer::singleShot(0, context, std::move(then));
    }
    std::unique_ptr<IProgress> openProgress(int, std::function<void()>) override { return nullptr; }
    std::unique_ptr<QIODevice> openFile(const QString &path, QIODevice::OpenMode mode) override
    {
        auto file = std::make_unique<QFile>(path);
        if (!file->open(mode))
            return nullptr;
        return file;
    }
    bool startSockets() override { return true; }

    QStringList messages;

private:
    QPair<QString, QString> answers()
    {
        QMutexLocker lock(&m_mutex);
        return m_answers.value(QThread::currentThread());
    }

    QMutex m_mutex;
    QHash<QThread *, QPair<QString, QString>> m_answers;
};

class Quiet : public IRedrawHost, public IClientOwner, public ISerialLine
{
public:
    void Redraw() override {}
    void RemoveClient(int) override {}
    void WriteByte(const QByteArray &, QObject *, std::function<void()>) override {}
};

QByteArray content(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) ^ (i >> 11));
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class tst_CrossedFiles : public QObject
{
    Q_OBJECT

private slots:
    void filesCrossInBothDirections();
};

void tst_CrossedFiles::filesCrossInBothDirections()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Far more than the socket buffers on both sides hold.
    const int size = 12 * 1000 * 1000 + 777;
    const QByteArray toTerminal = content(size, 1);
    const QByteArray toStation = content(size, 2);
    const QString stationSource = dir.filePath(QStringLiteral("station-source"));
    const QString terminalSource = dir.filePath(QStringLiteral("terminal-source"));
    const QString stationTarget = dir.filePath(QStringLiteral("station-target"));
    const QString terminalTarget = dir.filePath(QStringLiteral("terminal-target"));
    QVERIFY(LinkTest::writeFile(stationSource, toTerminal));
    QVERIFY(LinkTest::writeFile(terminalSource, toStation));

    PerThreadPlatform platform;
    Platform::install(&platform);
    std::atomic<quint16> port{0};
    std::atomic<bool> stationDone{false};
    std::atomic<bool> terminalDone{false};

    QScopedPointer<QThread> station(QThread::create([&] {
        platform.answer(stationSource, stationTarget);
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0))
            return;
        port = server.serverPort();
        if (!server.waitForNewConnection(10000))
            return;
        DisplayLine line(200);
        Quiet quiet;
        CConnSocket end(&line, 0, &quiet, &quiet, &quiet);
        end.attach(server.nextPendingConnection());
        end.SendFile();
        stationDone = LinkTest::pumpUntil([&] { return QFile::exists(stationTarget); }, 120000);
        LinkTest::pumpUntil([&] { return terminalDone.load(); }, 120000);
    }));
    QScopedPointer<QThread> terminal(QThread::create([&] {
        platform.answer(terminalSource, terminalTarget);
        while (port == 0)
            QThread::msleep(5);
        DisplayLine line(200);
        Quiet quiet;
        CConnSocket end(&line, &quiet);
        end.connectToStation(QStringLiteral("127.0.0.1"), port);
        if (!LinkTest::pumpUntil([&] { return end.isConnected(); }, 10000))
            return;
        end.SendFile();
        terminalDone = LinkTest::pumpUntil([&] { return QFile::exists(terminalTarget); }, 120000);
        LinkTest::pumpUntil([&] { return stationDone.load(); }, 120000);
    }));
    station->start();
    terminal->start();
    const bool finished = station->wait(QDeadlineTimer(180000)) && terminal->wait(QDeadlineTimer(10000));
    Platform::install(nullptr);
    if (!finished) {
        station->terminate();
        terminal->terminate();
        station->wait();
        terminal->wait();
        QFAIL("the two ends waited on each other");
    }
    QVERIFY(stationDone);
    QVERIFY(terminalDone);
    QVERIFY(platform.messages.isEmpty());
    QVERIFY(readFile(terminalTarget) == toTerminal);
    QVERIFY(readFile(stationTarget) == toStation);
}

QTEST_GUILESS_MAIN(tst_CrossedFiles)
#include "tst_CrossedFiles.moc"
