#include "CSocket.h"
#include "FileReception.h"
#include "FileSaveSession.h"
#include "Frame.h"
#include "LinkTestSupport.h"
#include "ScriptedPlatform.h"
#include "SpoolDirectory.h"
#include "SpoolFile.h"
#include "SpoolSpace.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

using Outcome = FileSaveSession::Outcome;

namespace {

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

void receiveFrame(FileReception &reception, const QByteArray &frame)
{
    reception.ReceiveFileChunk(FrameHeader::decode(frame.constData()), frame.mid(FRAME_HEADER_SIZE));
}

void receive(FileReception &reception, const QByteArray &file)
{
    for (const QByteArray &frame : fileFrames(file))
        receiveFrame(reception, frame);
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

ReceivedFile lastReceived(const QSignalSpy &spy)
{
    return spy.isEmpty() ? ReceivedFile() : spy.last().at(0).value<ReceivedFile>();
}

QByteArray spooled(const ReceivedFile &file)
{
    return file.spool ? readFile(file.spool->path()) : QByteArray("<no spool>");
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

// Free space as a fixed figure, whatever the disk holds.
class FixedFreeSpace : public SpoolSpace
{
public:
    explicit FixedFreeSpace(qint64 free)
        : m_free(free)
    {
    }

protected:
    qint64 freeBytes(const QString &) const override { return m_free; }

private:
    qint64 m_free;
};

// Points the temp path elsewhere while it lives.
class TempPath
{
public:
    explicit TempPath(const QByteArray &path)
        : m_saved(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", path);
    }
    ~TempPath()
    {
        if (m_saved.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_saved);
    }

private:
    QByteArray m_saved;
};

}

class tst_FileReception : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // First, while this process has no other thread that a fork could catch mid-way.
    void staleSpoolRemovedLiveKept();

    void joinsChunks_data();
    void joinsChunks();
    void chunksOutOfPlace_data();
    void chunksOutOfPlace();
    void chunkDirectoryPerConnection();
    void abandonedFileRemoved();
    void storageFails_data();
    void storageFails();
    void fileBeyondTheIndexIsNotParked();
    void fileLargerThanFreeSpaceRefused();
    void fileBeyondReservedSpaceRefused();
    // Files with content cross connections in tst_CrossedFiles and tst_TerminalApp.
    void emptyFileCrossesConnection();

    void incompleteFileToldNotAsked();
    void saveAsCancelled();
    void targetNotWritable();
    void existingTargetReplaced_data();
    void existingTargetReplaced();
    void saveIntoChunkDirectoryAskedAgain_data();
    void saveIntoChunkDirectoryAskedAgain();
    void copiedToAnotherFileSystem();
    void spoolRemovedWhileSaveAsOpen();
    void framesWaitWhileSaveAsOpen();

private:
    // The file as a connection hands it on, parked by m_reception.
    ReceivedFile received(const QByteArray &file);

    std::unique_ptr<QTemporaryDir> m_targets;
    std::unique_ptr<ScriptedPlatform> m_platform;
    std::unique_ptr<FileReception> m_reception;
    QTcpServer m_server;
};

void tst_FileReception::init()
{
    m_targets = std::make_unique<QTemporaryDir>();
    QVERIFY(m_targets->isValid());
    m_platform = std::make_unique<ScriptedPlatform>();
    m_reception = std::make_unique<FileReception>();
}

void tst_FileReception::cleanup()
{
    m_reception.reset();
    m_server.close();
    m_platform.reset();
    m_targets.reset();
}

ReceivedFile tst_FileReception::received(const QByteArray &file)
{
    QSignalSpy spy(m_reception.get(), &FileReception::fileReceived);
    receive(*m_reception, file);
    return lastReceived(spy);
}

void tst_FileReception::staleSpoolRemovedLiveKept()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const TempPath path(QFile::encodeName(temp.path()));
    const SpoolDirectory live;
    QVERIFY(live.isValid());

    // A process killed while it held a spool directory, as by kill -9.
    int fds[2];
    QVERIFY(pipe(fds) == 0);
    const pid_t child = fork();
    if (child == 0) {
        const SpoolDirectory killed;
        const QByteArray name = QFile::encodeName(killed.path()) + '\n';
        if (killed.isValid() && write(fds[1], name.constData(), size_t(name.size())) == name.size())
            raise(SIGKILL);
        _exit(1);
    }
    QVERIFY(child > 0);
    close(fds[1]);
    QByteArray killedPath;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        killedPath += c;
    close(fds[0]);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QVERIFY(QFileInfo(QFile::decodeName(killedPath)).isDir());

    // Without a lock, as one that was cut short before it took its lock: by its age.
    const QString unlockedOld = temp.filePath(QStringLiteral("tavrin-old123"));
    const QString unlockedNew = temp.filePath(QStringLiteral("tavrin-new123"));
    QVERIFY(QDir().mkdir(unlockedOld) && QDir().mkdir(unlockedNew));
    const timeval longAgo[2] = {{time(nullptr) - 2 * SpoolDirectory::STALE_UNLOCKED_SECONDS, 0},
                                {time(nullptr) - 2 * SpoolDirectory::STALE_UNLOCKED_SECONDS, 0}};
    QVERIFY(utimes(QFile::encodeName(unlockedOld).constData(), longAgo) == 0);

    QCOMPARE(SpoolDirectory::removeStale(), 2);
    QVERIFY(!QFileInfo::exists(QFile::decodeName(killedPath)));
    QVERIFY(!QFileInfo::exists(unlockedOld));
    QVERIFY(QFileInfo::exists(unlockedNew));
    QVERIFY(QFileInfo::exists(QDir(live.path()).filePath(QString::fromLatin1(SpoolDirectory::LockName))));
}

void tst_FileReception::joinsChunks_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("1500") << 1500;
    QTest::newRow("2000") << 2000;
    QTest::newRow("4500") << 4500;
    // More chunks than wait in memory at once.
    QTest::newRow("300123") << 300123;
}

void tst_FileReception::joinsChunks()
{
    QFETCH(int, size);
    const QByteArray file = content(size);
    QSignalSpy spy(m_reception.get(), &FileReception::fileReceived);
    receive(*m_reception, file);
    QCOMPARE(spy.count(), 1);
    ReceivedFile got = lastReceived(spy);
    QVERIFY(got.complete);
    QCOMPARE(got.length, quint32(size));
    QCOMPARE(spooled(got), file);

    // The spool goes with the last copy of the file.
    spy.clear();
    got = {};
    QCOMPARE(spoolFiles(*m_reception), QStringList());
}

void tst_FileReception::chunksOutOfPlace_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<quint32>("length");

    const QList<QByteArray> file = fileFrames(content(6500));
    QTest::newRow("missing chunk") << QList<QByteArray>{file[0], file[2], file[3]} << false << 6500u;
    QTest::newRow("repeated chunk") << QList<QByteArray>{file[0], file[1], file[1], file[2], file[3]} << true
                                    << 6500u;
    QTest::newRow("chunk beyond the file")
        << QList<QByteArray>{file[0], file[1], FrameCodec::fileFrame(6500, 7, content(CHUNK_SIZE, 9)), file[2],
                             file[3]}
        << true << 6500u;
    QTest::newRow("last frame of another file")
        << QList<QByteArray>{file[0], file[1], fileFrames(content(4500)).last()} << false << 4500u;
}

void tst_FileReception::chunksOutOfPlace()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(bool, complete);
    QFETCH(quint32, length);
    QSignalSpy spy(m_reception.get(), &FileReception::fileReceived);
    for (const QByteArray &frame : std::as_const(frames))
        receiveFrame(*m_reception, frame);
    QCOMPARE(spy.count(), 1);
    const ReceivedFile got = lastReceived(spy);
    QCOMPARE(got.complete, complete);
    QCOMPARE(got.length, length);
    if (complete)
        QCOMPARE(spooled(got), content(6500));
}

void tst_FileReception::chunkDirectoryPerConnection()
{
    QString directory;
    {
        FileReception reception;
        FileReception other;
        QSignalSpy spy(&reception, &FileReception::fileReceived);
        QSignalSpy otherSpy(&other, &FileReception::fileReceived);
        // Chunks of two files alternate, one file on each connection.
        const QList<QByteArray> frames = fileFrames(content(9500, 10));
        const QList<QByteArray> otherFrames = fileFrames(content(8000, 11));
        for (int i = 0; i < frames.size(); ++i) {
            receiveFrame(reception, frames[i]);
            receiveFrame(other, otherFrames[i]);
        }
        QCOMPARE(spooled(lastReceived(spy)), content(9500, 10));
        QCOMPARE(spooled(lastReceived(otherSpy)), content(8000, 11));

        directory = reception.chunkDirectory();
        const QFileInfo info(directory);
        QVERIFY(info.isDir());
        QCOMPARE(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        QVERIFY(info.fileName().startsWith(QStringLiteral("tavrin-")));
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
                                          | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(info.permissions() & others, QFile::Permissions());
        QVERIFY(other.chunkDirectory() != directory);
    }
    QVERIFY(!QFileInfo::exists(directory));
}

void tst_FileReception::abandonedFileRemoved()
{
    // A longer file breaks off after four chunks; the next one starts afresh.
    const QList<QByteArray> first = fileFrames(content(10500, 1));
    for (int i = 0; i < 4; ++i)
        receiveFrame(*m_reception, first[i]);
    const ReceivedFile second = received(content(4100, 2));
    QVERIFY(second.complete);
    QCOMPARE(spooled(second), content(4100, 2));
    QCOMPARE(spoolFiles(*m_reception), QStringList{QFileInfo(second.spool->path()).fileName()});
}

void tst_FileReception::storageFails_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("disk full after the first chunk") << "full";
    QTest::newRow("spool file removed") << "removed";
    QTest::newRow("spool file cut short") << "short";
    // procfs takes no new directory, not even from root.
    QTest::newRow("chunk directory removed, none to be made") << "directory";
}

void tst_FileReception::storageFails()
{
    QFETCH(QString, fault);
    QSignalSpy spy(m_reception.get(), &FileReception::fileReceived);
    const QList<QByteArray> frames = fileFrames(content(6500));
    {
        std::optional<FileSizeLimit> full;
        if (fault == QLatin1String("full"))
            full.emplace(CHUNK_SIZE);
        std::optional<TempPath> proc;
        for (int i = 0; i < frames.size(); ++i) {
            if (i == frames.size() - 1 && !full) {
                QDir chunks(m_reception->chunkDirectory());
                QCOMPARE(spoolFiles(*m_reception).size(), 1);
                const QString spool = chunks.filePath(spoolFiles(*m_reception).first());
                if (fault == QLatin1String("removed"))
                    QVERIFY(QFile::remove(spool));
                else if (fault == QLatin1String("short"))
                    QVERIFY(QFile::resize(spool, 100));
                else {
                    QVERIFY(chunks.removeRecursively());
                    proc.emplace("/proc");
                }
            }
            receiveFrame(*m_reception, frames[i]);
        }
        if (proc) {
            // The next file finds no directory to go to.
            receive(*m_reception, content(2100, 3));
            QVERIFY(m_reception->chunkDirectory().isEmpty());
        }
    }
    QCOMPARE(spy.count(), fault == QLatin1String("directory") ? 2 : 1);
    for (const QList<QVariant> &signal : std::as_const(spy)) {
        QVERIFY(!signal.at(0).value<ReceivedFile>().complete);
        // Given up at once, not when the operator has read about it.
        QVERIFY(!signal.at(0).value<ReceivedFile>().spool);
    }
    if (!m_reception->chunkDirectory().isEmpty())
        QCOMPARE(spoolFiles(*m_reception), QStringList());

    // Once the fault has passed, a file that arrives whole is complete again.
    const ReceivedFile next = received(content(2100, 6));
    QVERIFY(next.complete);
    QCOMPARE(spooled(next), content(2100, 6));
}

void tst_FileReception::fileBeyondTheIndexIsNotParked()
{
    QSignalSpy spy(m_reception.get(), &FileReception::fileReceived);
    const quint32 length = (MAX_CHUNK_INDEX + 1) * CHUNK_SIZE;
    for (quint16 index : {quint16(0), quint16(1), quint16(MAX_CHUNK_INDEX)})
        m_reception->ReceiveFileChunk(FrameHeader{FRAME_FILE, length, index}, content(CHUNK_SIZE));
    QVERIFY(m_reception->chunkDirectory().isEmpty());
    QCOMPARE(spy.count(), 0);
}

void tst_FileReception::fileLargerThanFreeSpaceRefused()
{
    if (geteuid() != 0)
        QSKIP("needs root to mount a small file system as the temp path");
    // Only this thread sees the mount; nothing of it reaches the system.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        QSKIP("no private mount namespace to be had");
    QTemporaryDir small;
    QVERIFY(small.isValid());
    QVERIFY(mount("tmpfs", QFile::encodeName(small.path()).constData(), "tmpfs", 0, "size=1m") == 0);
    {
        const TempPath temp(QFile::encodeName(small.path()));
        FileReception reception;
        QSignalSpy refused(&reception, &FileReception::fileRefused);
        QSignalSpy spy(&reception, &FileReception::fileReceived);
        const QByteArray tooLarge = content(2 * 1024 * 1024);
        receive(reception, tooLarge);
        QCOMPARE(refused.count(), 1);
        QCOMPARE(refused[0][0].value<quint32>(), quint32(tooLarge.size()));
        QVERIFY(refused[0][1].toLongLong() <= 1024 * 1024);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(spoolFiles(reception), QStringList());
    }
    QVERIFY(umount2(QFile::encodeName(small.path()).constData(), MNT_DETACH) == 0);
}

void tst_FileReception::fileBeyondReservedSpaceRefused()
{
    // Room for one of two files that begin at once, on two connections.
    FixedFreeSpace space(40000);
    FileReception first(space);
    FileReception second(space);
    QSignalSpy firstReceived(&first, &FileReception::fileReceived);
    QSignalSpy secondReceived(&second, &FileReception::fileReceived);
    QSignalSpy firstRefused(&first, &FileReception::fileRefused);
    QSignalSpy secondRefused(&second, &FileReception::fileRefused);
    const QList<QByteArray> kept = fileFrames(content(30000, 1));
    const QList<QByteArray> refused = fileFrames(content(30000, 2));
    for (qsizetype i = 0; i < kept.size(); ++i) {
        receiveFrame(first, kept[i]);
        receiveFrame(second, refused[i]);
    }
    QCOMPARE(firstRefused.count(), 0);
    QCOMPARE(secondRefused.count(), 1);
    QCOMPARE(secondRefused[0][0].value<quint32>(), quint32(30000));
    // What the first file left of the 40000 bytes, less the margin.
    QCOMPARE(secondRefused[0][1].toLongLong(), qint64(40000 - 30000 - 40000 / 8));
    QCOMPARE(secondReceived.count(), 0);
    QCOMPARE(spoolFiles(second), QStringList());
    QCOMPARE(firstReceived.count(), 1);
    QCOMPARE(spooled(lastReceived(firstReceived)), content(30000, 1));
    // Written whole, it holds its room on the disk itself.
    QCOMPARE(space.reserved(), 0);

    receive(second, content(30000, 3));
    QCOMPARE(secondRefused.count(), 1);
    QCOMPARE(spooled(lastReceived(secondReceived)), content(30000, 3));
}

void tst_FileReception::emptyFileCrossesConnection()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
    CConnSocket terminal(*m_platform);
    terminal.connectToStation(QStringLiteral("127.0.0.1"), m_server.serverPort());
    CConnSocket station(*m_platform);
    station.attach(LinkTest::acceptOne(m_server));
    QTRY_VERIFY(terminal.isOpen());

    QSignalSpy spy(&station, &CConnSocket::fileReceived);
    auto *file = new QBuffer(&terminal);
    file->setData(QByteArray());
    QVERIFY(file->open(QIODevice::ReadOnly));
    QVERIFY(terminal.SendFile(file));
    QTRY_COMPARE(spy.count(), 1);
    const ReceivedFile got = lastReceived(spy);
    QVERIFY(got.complete);
    QCOMPARE(got.length, 0u);
    QCOMPARE(spooled(got), QByteArray());
}

void tst_FileReception::incompleteFileToldNotAsked()
{
    CConnSocket connection(*m_platform);
    m_platform->queueSaveFileName(m_targets->filePath(QStringLiteral("never")));
    ReceivedFile lost;
    lost.length = 6500;
    QCOMPARE(FileSaveSession::offer(*m_platform, &connection, lost, QStringLiteral("接続局")), Outcome::Lost);
    QCOMPARE(m_platform->saveDialogs, 0);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("保存しませんでした")));
}

void tst_FileReception::saveAsCancelled()
{
    CConnSocket connection(*m_platform);
    m_platform->queueSaveFileName(QString());
    QCOMPARE(FileSaveSession::offer(*m_platform, &connection, received(content(20500, 3)), QStringLiteral("端末 3 ")),
             Outcome::NotSaved);
    QCOMPARE(m_platform->saveCaptions, QStringList(QStringLiteral("端末 3 からのファイル（20,500 バイト）を保存")));
    QTest::qWait(0);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(QDir(m_targets->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(spoolFiles(*m_reception), QStringList());
}

void tst_FileReception::targetNotWritable()
{
    CConnSocket connection(*m_platform);
    const QString target = m_targets->filePath(QStringLiteral("no-such-folder/saved.bin"));
    m_platform->queueSaveFileName(target);
    FileSaveSession::offer(*m_platform, &connection, received(content(4500)), QStringLiteral("接続局"));
    QTRY_COMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QDir::toNativeSeparators(target)));
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("保存できません")));
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

    CConnSocket connection(*m_platform);
    FileSaveSession::offer(*m_platform, &connection, received(content(2500, 5)), QStringLiteral("接続局"));
    QCOMPARE(readFile(file), content(2500, 5));
    QCOMPARE(QFileInfo(link).isSymLink(), throughLink);
    if (!dangling)
        QCOMPARE(QFileInfo(file).permissions(), ownerOnly);
    QTest::qWait(0);
    QVERIFY(m_platform->messages.isEmpty());
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
    const ReceivedFile file = received(content(4500, 16));
    FileReception other;
    receiveFrame(other, fileFrames(content(4500)).first());
    QDir chunks((otherConnection ? other : *m_reception).chunkDirectory());
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

    CConnSocket connection(*m_platform);
    QCOMPARE(FileSaveSession::offer(*m_platform, &connection, file, QStringLiteral("接続局")), Outcome::Saving);
    QCOMPARE(m_platform->saveDialogs, 2);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QDir::toNativeSeparators(refused)));
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("別のフォルダを選んでください")));
    QVERIFY(!QFileInfo::exists(inside));
    QCOMPARE(readFile(accepted), content(4500, 16));
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

    auto connection = std::make_unique<CConnSocket>(*m_platform);
    QCOMPARE(FileSaveSession::offer(*m_platform, connection.get(), received(first), QStringLiteral("接続局")),
             Outcome::Saving);
    // The copy goes on while the next file arrives into a spool of its own,
    // and after the connection has ended.
    FileSaveSession::offer(*m_platform, connection.get(), received(second), QStringLiteral("接続局"));
    m_reception.reset();
    connection.reset();
    QCOMPARE(readFile(renamed), second);
    // Its progress dialog opened while the copy ran: the event loop went on.
    QCOMPARE(m_platform->pauses, QList<int>{FileSaveSession::COPY_PROGRESS_DELAY_MS});
    QTRY_COMPARE(m_platform->progresses.size(), 1);
    QCOMPARE(m_platform->progresses.first()->maximum, first.size());
    QTRY_VERIFY(!m_platform->progresses.first()->open);
    QCOMPARE(m_platform->progresses.first()->values.last(), first.size());
    QCOMPARE(readFile(copied), first);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::spoolRemovedWhileSaveAsOpen()
{
    CConnSocket connection(*m_platform);
    const QString target = m_targets->filePath(QStringLiteral("saved"));
    // A temp cleaner takes the chunk directory meanwhile.
    m_platform->queueSaveFileName(target, [&] { QVERIFY(QDir(m_reception->chunkDirectory()).removeRecursively()); });
    QCOMPARE(FileSaveSession::offer(*m_platform, &connection, received(content(6100, 13)), QStringLiteral("接続局")),
             Outcome::Saving);
    QTRY_COMPARE(readFile(target), content(6100, 13));
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_FileReception::framesWaitWhileSaveAsOpen()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket *accepted = nullptr;
    QTcpSocket *peer = nullptr;
    QVERIFY(LinkTest::rawPair(m_server, &peer, &accepted));
    const std::unique_ptr<QTcpSocket> peerOwner(peer);
    CConnSocket connection(*m_platform);
    QList<QByteArray> texts;
    connect(&connection, &CConnSocket::textReceived, this, [&](const QByteArray &text) { texts.append(text); });
    // Offered from the event loop, as the Station does once a Terminal's RS
    // strings before it are on the line: only the hold keeps frames back.
    connect(&connection, &CConnSocket::fileReceived, this,
            [&](const ReceivedFile &file) {
                FileSaveSession::offer(*m_platform, &connection, file, QStringLiteral("端末 0 "));
            },
            Qt::QueuedConnection);
    connection.attach(accepted);

    const QString target = m_targets->filePath(QStringLiteral("saved"));
    const QString second = m_targets->filePath(QStringLiteral("second"));
    QList<QByteArray> textsDuringDialog{"none"};
    CConnSocket::State stateDuringDialog = CConnSocket::State::Closed;
    m_platform->queueSaveFileName(target, [&] {
        peer->write(FrameCodec::textFrame("hello") + fileFrames(content(2200, 14)).join());
        peer->disconnectFromHost();
        ScriptedPlatform::spinEvents(100);
        textsDuringDialog = texts;
        stateDuringDialog = connection.state();
    });
    m_platform->queueSaveFileName(second);
    peer->write(fileFrames(content(4500, 15)).join());
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(textsDuringDialog, QList<QByteArray>());
    // The peer has left, but what it sent before is still to be handled.
    QCOMPARE(stateDuringDialog, CConnSocket::State::Draining);
    QCOMPARE(readFile(target), content(4500, 15));

    // Afterwards the waiting frames are handled: the text, then the next file.
    QTRY_COMPARE(m_platform->saveDialogs, 2);
    QCOMPARE(texts, QList<QByteArray>{"hello"});
    QCOMPARE(readFile(second), content(2200, 14));
    QTRY_COMPARE(connection.state(), CConnSocket::State::Closed);
}

QTEST_GUILESS_MAIN(tst_FileReception)
#include "tst_FileReception.moc"
