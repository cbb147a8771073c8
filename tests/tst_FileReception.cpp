#include "CSocket.h"
#include "DisplayLine.h"
#include "FileReception.h"
#include "Frame.h"
#include "IClientOwner.h"
#include "IRedrawHost.h"
#include "LinkTestSupport.h"
#include "ScriptedPlatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

class CountingHost : public IRedrawHost
{
public:
    void Redraw() override { ++redraws; }
    int redraws = 0;
};

// Removes a client the way the listening socket does: by releasing it.
class ReleasingOwner : public IClientOwner
{
public:
    void RemoveClient(int slot) override
    {
        removed.append(slot);
        if (QPointer<CConnSocket> client = clients.value(slot))
            client->release();
    }
    QList<int> removed;
    QHash<int, QPointer<CConnSocket>> clients;
};

QByteArray content(int size, int seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + i / 2000) & 0xff);
    return bytes;
}

// The frames a file travels as, each with its header.
QList<QByteArray> fileFrames(const QByteArray &file)
{
    QList<QByteArray> frames;
    const quint32 length = quint32(file.size());
    const quint32 full = length / CHUNK_SIZE;
    for (quint32 i = 0; i < full; ++i)
        frames.append(FrameCodec::fileFrame(length, quint16(i), file.mid(i * CHUNK_SIZE, CHUNK_SIZE)));
    frames.append(FrameCodec::fileFrame(length, quint16(full), file.mid(full * CHUNK_SIZE)));
    return frames;
}

// Hands every frame of `file` straight to `reception`.
void receive(FileReception &reception, const QByteArray &file)
{
    for (const QByteArray &frame : fileFrames(file)) {
        const FrameHeader header = FrameHeader::decode(frame.constData());
        reception.ReceiveFileChunk(header, frame.mid(FRAME_HEADER_SIZE));
    }
}

void receiveFrame(FileReception &reception, const QByteArray &frame)
{
    reception.ReceiveFileChunk(FrameHeader::decode(frame.constData()), frame.mid(FRAME_HEADER_SIZE));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList spoolFiles(const FileReception &reception)
{
    return QDir(reception.chunkDirectory()).entryList(QDir::Files);
}

// While it lives, files of this process cannot grow beyond `bytes`, as on a
// full disk: writes past it fail.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
        : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    void (*m_oldHandler)(int);
    rlimit m_old {};
};

}

class tst_FileReception : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void joinsChunks_data();
    void joinsChunks();
    void chunkDirectoryIsPrivate();
    void abandonedFileRemoved();
    void saveAsCancelled();
    void targetNotWritable();
    void existingTargetReplaced_data();
    void existingTargetReplaced();
    void chunkNotParked();
    void spoolFileMissingOrShort_data();
    void spoolFileMissingOrShort();
    void lastFrameOfAnotherFile();
    void fileBeyondTheIndexIsNotParked();
    void saveIntoChunkDirectoryAskedAgain_data();
    void saveIntoChunkDirectoryAskedAgain();
    void chunkDirectoryLostAndNotRecreated();
    void copiedToAnotherFileSystem();

    void transferBetweenConnections_data();
    void transferBetweenConnections();
    void largeFileFromRawPeer();
    void twoConnectionsAtOnce();
    void peerClosesWhileSaveAsOpen();
    void releaseWhileSaveAsOpen();
    void framesWaitWhileSaveAsOpen();

private:
    // A Station connection in `slot` with a raw far end.
    CConnSocket *station(int slot, QTcpSocket **peer);

    std::unique_ptr<QTemporaryDir> m_targets;
    std::unique_ptr<ScriptedPlatform> m_platform;
    DisplayLine m_line{200};
    CountingHost m_host;
    ReleasingOwner m_owner;
    QTcpServer m_server;
    QList<QPointer<CConnSocket>> m_connections;
    QList<QTcpSocket *> m_peers;
};

void tst_FileReception::init()
{
    m_targets = std::make_unique<QTemporaryDir>();
    QVERIFY(m_targets->isValid());
    m_platform = std::make_unique<ScriptedPlatform>();
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
}

void tst_FileReception::cleanup()
{
    for (const QPointer<CConnSocket> &connection : std::as_const(m_connections))
        delete connection;
    m_connections.clear();
    qDeleteAll(m_peers);
    m_peers.clear();
    m_owner.clients.clear();
    m_owner.removed.clear();
    m_server.close();
    m_platform.reset();
    m_targets.reset();
    m_line.set(QByteArray());
    m_host.redraws = 0;
}

CConnSocket *tst_FileReception::station(int slot, QTcpSocket **peer)
{
    QTcpSocket *accepted = nullptr;
    if (!LinkTest::rawPair(m_server, peer, &accepted))
        return nullptr;
    m_peers.append(*peer);
    auto *connection = new CConnSocket(&m_line, slot, &m_owner, nullptr, &m_host);
    connection->attach(accepted);
    m_owner.clients.insert(slot, connection);
    m_connections.append(connection);
    return connection;
}

void tst_FileReception::joinsChunks_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("1500") << 1500;
    QTest::newRow("2000") << 2000;
    QTest::newRow("4000") << 4000;
    QTest::newRow("4500") << 4500;
    QTest::newRow("300123") << 300123;
}

void tst_FileReception::joinsChunks()
{
    QFETCH(int, size);
    const QString target = m_targets->filePath(QStringLiteral("saved.bin"));
    const QByteArray file = content(size);
    m_platform->queueSaveFileName(target);

    FileReception reception;
    receive(reception, file);
    QCOMPARE(m_platform->saveDialogs, 1);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(readFile(target), file);
    QCOMPARE(spoolFiles(reception), QStringList());
}

void tst_FileReception::chunkDirectoryIsPrivate()
{
    QString directory;
    {
        FileReception reception;
        receive(reception, content(4500));
        directory = reception.chunkDirectory();
        const QFileInfo info(directory);
        QVERIFY(info.isDir());
        QCOMPARE(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        QVERIFY(info.fileName().startsWith(QStringLiteral("tavrin-")));
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
                                          | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(info.permissions() & others, QFile::Permissions());

        FileReception other;
        receive(other, content(2500));
        QVERIFY(!other.chunkDirectory().isEmpty());
        QVERIFY(other.chunkDirectory() != directory);
    }
    QVERIFY(!QFileInfo::exists(directory));
}

void tst_FileReception::abandonedFileRemoved()
{
    const QByteArray second = content(4100, 2);
    const QString target = m_targets->filePath(QStringLiteral("second"));
    m_platform->queueSaveFileName(target);

    FileReception reception;
    // A longer file breaks off after four chunks; the next one starts afresh.
    const QList<QByteArray> first = fileFrames(content(10500, 1));
    for (int i = 0; i < 4; ++i)
        receiveFrame(reception, first[i]);
    receive(reception, second);
    QCOMPARE(readFile(target), second);
    QCOMPARE(spoolFiles(reception), QStringList());
}

void tst_FileReception::saveAsCancelled()
{
    m_platform->queueSaveFileName(QString());
    const QString target = m_targets->filePath(QStringLiteral("after-cancel"));
    m_platform->queueSaveFileName(target);

    FileReception reception;
    receive(reception, content(4500, 3));
    QCOMPARE(m_platform->saveDialogs, 1);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(QDir(m_targets->path()).entryList(QDir::Files), QStringList());
    QCOMPARE(spoolFiles(reception), QStringList());

    // The next file is received as usual.
    receive(reception, content(2100, 4));
    QCOMPARE(readFile(target), content(2100, 4));
}

void tst_FileReception::targetNotWritable()
{
    const QString target = m_targets->filePath(QStringLiteral("no-such-folder/saved.bin"));
    m_platform->queueSaveFileName(target);
    FileReception reception;
    receive(reception, content(4500));
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QDir::toNativeSeparators(target)));
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("保存できません")));
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(QDir(m_targets->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void tst_FileReception::existingTargetReplaced_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("dangling");
    QTest::newRow("file") << false << false;
    QTest::newRow("link to a file") << true << false;
    QTest::newRow("dangling link") << true << true;
}

void tst_FileReception::existingTargetReplaced()
{
    QFETCH(bool, throughLink);
    QFETCH(bool, dangling);
    const QString file = m_targets->filePath(QStringLiteral("existing"));
    const QString link = m_targets->filePath(QStringLiteral("link"));
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    if (!dangling) {
        QVERIFY(LinkTest::writeFile(file, content(9000, 9)));
        QVERIFY(QFile::setPermissions(file, ownerOnly));
    }
    if (throughLink)
        QVERIFY(QFile::link(QStringLiteral("existing"), link));
    m_platform->queueSaveFileName(throughLink ? link : file);

    FileReception reception;
    receive(reception, content(2500, 5));
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(readFile(file), content(2500, 5));
    QCOMPARE(QFileInfo(link).isSymLink(), throughLink);
    if (!dangling)
        QCOMPARE(QFileInfo(file).permissions(), ownerOnly);
}

void tst_FileReception::chunkNotParked()
{
    const QString target = m_targets->filePath(QStringLiteral("existing"));
    QVERIFY(LinkTest::writeFile(target, "old content"));
    m_platform->queueSaveFileName(target);

    FileReception reception;
    const QList<QByteArray> frames = fileFrames(content(6500));
    {
        // The disk fills up after the first chunk.
        const FileSizeLimit full(CHUNK_SIZE);
        for (const QByteArray &frame : frames)
            receiveFrame(reception, frame);
    }

    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("保存しませんでした")));
    QCOMPARE(m_platform->saveDialogs, 0);
    QCOMPARE(readFile(target), QByteArray("old content"));

    // A file that arrives whole afterwards is saved again.
    receive(reception, content(2100, 6));
    QCOMPARE(readFile(target), content(2100, 6));
}

void tst_FileReception::spoolFileMissingOrShort_data()
{
    QTest::addColumn<bool>("remove");
    QTest::newRow("missing") << true;
    QTest::newRow("short") << false;
}

void tst_FileReception::spoolFileMissingOrShort()
{
    QFETCH(bool, remove);
    const QString target = m_targets->filePath(QStringLiteral("existing"));
    QVERIFY(LinkTest::writeFile(target, "old content"));
    m_platform->queueSaveFileName(target);

    FileReception reception;
    const QList<QByteArray> frames = fileFrames(content(6500));
    for (int i = 0; i < frames.size(); ++i) {
        if (i == frames.size() - 1) {
            QCOMPARE(spoolFiles(reception).size(), 1);
            const QString spool = QDir(reception.chunkDirectory()).filePath(spoolFiles(reception).first());
            QVERIFY(remove ? QFile::remove(spool) : QFile::resize(spool, 100));
        }
        receiveFrame(reception, frames[i]);
    }
    QCOMPARE(m_platform->messages.size(), 1);
    QCOMPARE(m_platform->saveDialogs, 0);
    QCOMPARE(readFile(target), QByteArray("old content"));
}

void tst_FileReception::lastFrameOfAnotherFile()
{
    const QString target = m_targets->filePath(QStringLiteral("never"));
    m_platform->queueSaveFileName(target);
    FileReception reception;
    // Two chunks of a 6000-byte file, then the last frame of a 4500-byte one.
    const QList<QByteArray> frames = fileFrames(content(6000));
    for (int i = 0; i < 2; ++i)
        reception.ReceiveFileChunk(FrameHeader::decode(frames[i].constData()), frames[i].mid(FRAME_HEADER_SIZE));
    const QByteArray last = fileFrames(content(4500)).last();
    reception.ReceiveFileChunk(FrameHeader::decode(last.constData()), last.mid(FRAME_HEADER_SIZE));
    QCOMPARE(m_platform->messages.size(), 1);
    QCOMPARE(m_platform->saveDialogs, 0);
    QVERIFY(!QFileInfo::exists(target));
}

void tst_FileReception::fileBeyondTheIndexIsNotParked()
{
    FileReception reception;
    const quint32 length = (MAX_CHUNK_INDEX + 1) * CHUNK_SIZE;
    for (quint16 index : {quint16(0), quint16(1), quint16(MAX_CHUNK_INDEX)})
        reception.ReceiveFileChunk(FrameHeader{FRAME_FILE, length, index}, content(CHUNK_SIZE));
    QVERIFY(reception.chunkDirectory().isEmpty());
    QCOMPARE(m_platform->saveDialogs, 0);
}

void tst_FileReception::saveIntoChunkDirectoryAskedAgain_data()
{
    QTest::addColumn<QString>("folder");   // below the chunk directory
    QTest::addColumn<bool>("otherConnection");
    QTest::addColumn<bool>("throughLink");   // a dangling link elsewhere names it
    QTest::newRow("own chunk directory") << QString() << false << false;
    QTest::newRow("folder inside it") << QStringLiteral("inner") << false << false;
    QTest::newRow("another connection's") << QString() << true << false;
    QTest::newRow("dangling link into it") << QString() << false << true;
}

void tst_FileReception::saveIntoChunkDirectoryAskedAgain()
{
    QFETCH(QString, folder);
    QFETCH(bool, otherConnection);
    QFETCH(bool, throughLink);
    const QByteArray file = content(4500, 16);
    const QList<QByteArray> frames = fileFrames(file);
    FileReception reception;
    FileReception other;
    for (int i = 0; i < 2; ++i) {
        receiveFrame(reception, frames[i]);
        receiveFrame(other, frames[i]);
    }
    QDir chunks((otherConnection ? other : reception).chunkDirectory());
    if (!folder.isEmpty()) {
        QVERIFY(chunks.mkdir(folder));
        QVERIFY(chunks.cd(folder));
    }
    // Named through a path that is not canonical, as a dialog may return it.
    const QString inside = chunks.path() + QStringLiteral("/../") + chunks.dirName() + QStringLiteral("/saved");
    const QString refused = throughLink ? m_targets->filePath(QStringLiteral("link")) : inside;
    if (throughLink)
        QVERIFY(QFile::link(inside, refused));
    const QString accepted = m_targets->filePath(QStringLiteral("saved"));
    m_platform->queueSaveFileName(refused);
    m_platform->queueSaveFileName(accepted);

    receiveFrame(reception, frames[2]);
    QCOMPARE(m_platform->saveDialogs, 2);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QDir::toNativeSeparators(refused)));
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("別のフォルダを選んでください")));
    QVERIFY(!QFileInfo::exists(inside));
    QCOMPARE(readFile(accepted), file);
}

void tst_FileReception::chunkDirectoryLostAndNotRecreated()
{
    const QString target = m_targets->filePath(QStringLiteral("saved"));
    const QList<QByteArray> frames = fileFrames(content(6500));
    FileReception reception;
    for (int i = 0; i < 3; ++i)
        receiveFrame(reception, frames[i]);
    QVERIFY(QDir(reception.chunkDirectory()).removeRecursively());

    // procfs takes no new directory, not even from root.
    const QByteArray savedTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/proc");
    receiveFrame(reception, frames[3]);
    // The next file finds no directory to go to.
    receive(reception, content(2100, 3));
    const QString directoryMeanwhile = reception.chunkDirectory();
    if (savedTemp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTemp);

    QVERIFY(directoryMeanwhile.isEmpty());
    QCOMPARE(m_platform->saveDialogs, 0);
    QCOMPARE(m_platform->messages.size(), 2);
    for (const QString &message : std::as_const(m_platform->messages))
        QVERIFY(message.contains(QStringLiteral("保存しませんでした")));

    // Once the temp path takes directories again, files are saved again.
    m_platform->queueSaveFileName(target);
    receive(reception, content(4100, 4));
    QCOMPARE(readFile(target), content(4100, 4));
}

void tst_FileReception::copiedToAnotherFileSystem()
{
    struct stat temp {};
    struct stat shm {};
    if (::stat(QFile::encodeName(QDir::tempPath()).constData(), &temp) != 0
        || ::stat("/dev/shm", &shm) != 0 || temp.st_dev == shm.st_dev)
        QSKIP("needs /dev/shm on another file system than the temp path");
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/tst_FileReception-XXXXXX"));
    QVERIFY(elsewhere.isValid());
    const QString copied = elsewhere.filePath(QStringLiteral("copied"));
    const QString renamed = m_targets->filePath(QStringLiteral("renamed"));
    const QByteArray first = content(3 * 1024 * 1024 + 700, 17);
    const QByteArray second = content(4100, 18);
    QVERIFY(LinkTest::writeFile(copied, "old content"));
    m_platform->queueSaveFileName(copied);
    m_platform->queueSaveFileName(renamed);

    auto reception = std::make_unique<FileReception>();
    receive(*reception, first);
    // The copy goes on while the next file arrives into a spool of its own,
    // and after the connection has ended.
    receive(*reception, second);
    reception.reset();
    QCOMPARE(readFile(renamed), second);
    QTRY_COMPARE(readFile(copied), first);
    // Its progress dialog opened while the copy ran: the event loop went on.
    QCOMPARE(m_platform->progresses.size(), 1);
    QCOMPARE(m_platform->progresses.first()->maximum, first.size());
    QTRY_VERIFY(!m_platform->progresses.first()->open);
    QCOMPARE(m_platform->progresses.first()->values.last(), first.size());
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::transferBetweenConnections_data()
{
    QTest::addColumn<bool>("fromTerminal");
    QTest::addColumn<int>("size");
    for (bool fromTerminal : {true, false}) {
        const char *direction = fromTerminal ? "terminal to station" : "station to terminal";
        for (int size : {0, 1500, 4000, 4500})
            QTest::addRow("%s %d", direction, size) << fromTerminal << size;
    }
}

void tst_FileReception::transferBetweenConnections()
{
    QFETCH(bool, fromTerminal);
    QFETCH(int, size);

    const QString source = m_targets->filePath(QStringLiteral("source"));
    const QString target = m_targets->filePath(QStringLiteral("target"));
    const QByteArray file = content(size, 8);
    QVERIFY(LinkTest::writeFile(source, file));

    DisplayLine terminalLine(200);
    CountingHost terminalHost;
    QPointer<CConnSocket> terminal = new CConnSocket(&terminalLine, &terminalHost);
    m_connections.append(terminal);
    QSignalSpy connected(terminal.data(), &CConnSocket::connected);
    QVERIFY(connected.isValid());
    terminal->connectToStation(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QTcpSocket *accepted = LinkTest::acceptOne(m_server);
    QVERIFY(accepted);
    QTRY_COMPARE(connected.count(), 1);
    auto *stationEnd = new CConnSocket(&m_line, 5, &m_owner, nullptr, &m_host);
    stationEnd->attach(accepted);
    m_connections.append(stationEnd);

    m_platform->queueOpenFileName(source);
    m_platform->queueSaveFileName(target);
    (fromTerminal ? terminal.data() : stationEnd)->SendFile();
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(m_platform->pauses.size(), size / CHUNK_SIZE);
    QCOMPARE(readFile(target), file);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::largeFileFromRawPeer()
{
    QTcpSocket *peer = nullptr;
    QVERIFY(station(0, &peer));
    const QString target = m_targets->filePath(QStringLiteral("large"));
    const QByteArray file = content(400123, 2);
    m_platform->queueSaveFileName(target);

    QVERIFY(LinkTest::streamOut(peer, fileFrames(file).join()));
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(readFile(target), file);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::twoConnectionsAtOnce()
{
    QTcpSocket *peerA = nullptr;
    QTcpSocket *peerB = nullptr;
    CConnSocket *a = station(0, &peerA);
    CConnSocket *b = station(1, &peerB);
    QVERIFY(a && b);

    const QByteArray fileA = content(9500, 10);
    const QByteArray fileB = content(8000, 11);
    const QString targetA = m_targets->filePath(QStringLiteral("a"));
    const QString targetB = m_targets->filePath(QStringLiteral("b"));
    m_platform->queueSaveFileName(targetA);
    m_platform->queueSaveFileName(targetB);

    const QList<QByteArray> framesA = fileFrames(fileA);
    const QList<QByteArray> framesB = fileFrames(fileB);
    QCOMPARE(framesA.size(), 5);
    QCOMPARE(framesB.size(), 5);
    // Full chunks of both files alternate: same names, separate connections.
    for (int i = 0; i < 4; ++i) {
        peerA->write(framesA[i]);
        peerB->write(framesB[i]);
        peerA->flush();
        peerB->flush();
        QTest::qWait(5);
    }
    peerA->write(framesA[4]);
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    peerB->write(framesB[4]);
    QTRY_COMPARE(m_platform->saveDialogs, 2);

    QCOMPARE(readFile(targetA), fileA);
    QCOMPARE(readFile(targetB), fileB);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::peerClosesWhileSaveAsOpen()
{
    QTcpSocket *peer = nullptr;
    QPointer<CConnSocket> connection = station(3, &peer);
    QVERIFY(connection);
    const QString target = m_targets->filePath(QStringLiteral("saved"));
    const QByteArray file = content(4500, 12);

    bool aliveDuringDialog = false;
    QList<int> removedDuringDialog;
    m_platform->queueSaveFileName(target, [&] {
        peer->write(FrameCodec::textFrame("last words"));
        peer->disconnectFromHost();
        ScriptedPlatform::spinEvents(100);
        aliveDuringDialog = !connection.isNull();
        removedDuringDialog = m_owner.removed;
    });
    peer->write(fileFrames(file).join());
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QVERIFY(aliveDuringDialog);
    // The slot stays taken until its last frame was handled under it.
    QVERIFY(removedDuringDialog.isEmpty());
    QTRY_VERIFY(connection.isNull());
    QCOMPARE(m_owner.removed, QList<int>{3});
    QCOMPARE(m_line.bytes(), QByteArray("3> last words"));
    // The whole file had arrived before the close: it is saved.
    QCOMPARE(readFile(target), file);
}

void tst_FileReception::releaseWhileSaveAsOpen()
{
    QTcpSocket *peer = nullptr;
    QPointer<CConnSocket> connection = station(4, &peer);
    QVERIFY(connection);
    const QString target = m_targets->filePath(QStringLiteral("saved"));

    bool aliveDuringDialog = false;
    m_platform->queueSaveFileName(target, [&] {
        // Released from an event handled inside the dialog's loop.
        QTimer::singleShot(0, connection.data(), [&] { connection->release(); });
        ScriptedPlatform::spinEvents(100);
        aliveDuringDialog = !connection.isNull();
    });
    const QList<QByteArray> frames = fileFrames(content(6100, 13));
    peer->write(frames.join() + FrameCodec::textFrame("after"));
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QVERIFY(aliveDuringDialog);
    QTRY_VERIFY(connection.isNull());
    QCOMPARE(readFile(target), content(6100, 13));
    // Nothing after the release was acted upon, and no removal was asked for.
    QCOMPARE(m_host.redraws, 0);
    QVERIFY(m_owner.removed.isEmpty());
}

void tst_FileReception::framesWaitWhileSaveAsOpen()
{
    QTcpSocket *peer = nullptr;
    QPointer<CConnSocket> connection = station(0, &peer);
    QVERIFY(connection);
    const QString target = m_targets->filePath(QStringLiteral("saved"));
    const QString second = m_targets->filePath(QStringLiteral("second"));

    QByteArray lineDuringDialog;
    int dialogsDuringDialog = 0;
    m_platform->queueSaveFileName(target, [&] {
        peer->write(FrameCodec::textFrame("hello") + fileFrames(content(2200, 14)).join());
        ScriptedPlatform::spinEvents(100);
        lineDuringDialog = m_line.bytes();
        dialogsDuringDialog = m_platform->saveDialogs;
    });
    m_platform->queueSaveFileName(second);
    m_line.set("before");
    peer->write(fileFrames(content(4500, 15)).join());
    QTRY_VERIFY(m_platform->saveDialogs >= 1);
    // Inside the dialog the handler was not entered again.
    QCOMPARE(lineDuringDialog, QByteArray("before"));
    QCOMPARE(dialogsDuringDialog, 1);
    QCOMPARE(readFile(target), content(4500, 15));

    // Afterwards the waiting frames are handled: the text, then the next file.
    QTRY_COMPARE(m_line.bytes(), QByteArray("0> hello"));
    QTRY_COMPARE(m_platform->saveDialogs, 2);
    QCOMPARE(readFile(second), content(2200, 14));
}

QTEST_GUILESS_MAIN(tst_FileReception)
#include "tst_FileReception.moc"
