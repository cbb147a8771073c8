#include "FileReception.h"

#include "SpoolDirectory.h"
#include "SpoolFile.h"
#include "SpoolSpace.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

FileReception::FileReception(QObject *parent)
    : FileReception(SpoolSpace::shared(), parent)
{
}

FileReception::FileReception(SpoolSpace &space, QObject *parent)
    : QObject(parent)
    , m_space(space)
{
}

FileReception::~FileReception() = default;

QString FileReception::chunkDirectory() const
{
    return m_dir ? m_dir->path() : QString();
}

QString FileReception::writtenPath(const QString &target)
{
    // Saving onto a loop of links replaces the link itself.
    constexpr int MAX_LINKS_FOLLOWED = 40;
    const QString given = QFileInfo(target).absoluteFilePath();
    QFileInfo info(given);
    for (int followed = 0; info.isSymLink(); ++followed) {
        if (followed == MAX_LINKS_FOLLOWED)
            return given;
        info.setFile(info.symLinkTarget());
    }
    return info.absoluteFilePath();
}

bool FileReception::insideChunkDirectory(const QString &written)
{
    // The folder's own links are resolved too.
    const QString folder = QFileInfo(QFileInfo(written).absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (folder.isEmpty() || temp.isEmpty() || !folder.startsWith(temp + QLatin1Char('/')))
        return false;
    return SpoolDirectory::isSpoolDirectoryName(folder.mid(temp.size() + 1).section(QLatin1Char('/'), 0, 0));
}

bool FileReception::ensureDirectory()
{
    // Made again when something removed it meanwhile (a temp cleaner).
    if (m_dir && QFileInfo::exists(m_dir->path()))
        return true;
    m_dir.reset();
    auto dir = std::make_unique<SpoolDirectory>();
    if (!dir->isValid())
        return false;
    m_dir = std::move(dir);
    return true;
}

void FileReception::ReceiveFileChunk(const FrameHeader &header, const QByteArray &payload)
{
    // No sender numbers the chunks of such a file to its end: nothing to park.
    if (!FrameCodec::fileFits(header.length))
        return;
    // Chunks of one file arrive in order, so index 0 or a new length starts a new file.
    if (header.index == 0 || header.length != m_fileLength)
        startFile(header.length);
    if (!header.isLastFileChunk()) {
        if (m_spool) {
            m_spool->writeChunk(header.index, payload);
            if (m_spool->broken())
                m_spool.reset();
        }
        return;
    }
    // The operator was told already when the file began.
    if (m_refusedFile) {
        m_refusedFile = false;
        m_fileLength = 0;
        return;
    }
    ReceivedFile file;
    file.length = header.length;
    file.complete = m_spool && m_spool->writeTail(payload);
    if (file.complete)
        file.spool = std::move(m_spool);
    m_spool.reset();
    m_fileLength = 0;
    emit fileReceived(file);
}

void FileReception::startFile(quint32 length)
{
    m_fileLength = length;
    m_spool.reset();
    m_refusedFile = false;
    if (!ensureDirectory())
        return;
    SpoolSpace::Reservation reservation;
    qint64 room = 0;
    if (!m_space.reserve(length, m_dir->path(), &reservation, &room)) {
        m_refusedFile = true;
        emit fileRefused(length, room);
        return;
    }
    auto spool = std::make_unique<SpoolFile>(m_dir->path(), QStringLiteral("spool-%1").arg(++m_spoolsMade), length);
    if (spool->isOpen()) {
        spool->hold(std::move(reservation));
        m_spool = std::move(spool);
    }
}

bool FileReception::beginNamedFile(const FrameCodec::ExtFileBegin &begin)
{
    m_named.reset();
    if (begin.size >= EXT_FILE_SIZE_LIMIT)
        return false;
    auto named = std::make_unique<NamedFile>();
    named->transferId = begin.transferId;
    named->size = begin.size;
    named->name = begin.name;
    if (ensureDirectory()) {
        SpoolSpace::Reservation reservation;
        qint64 room = 0;
        if (!m_space.reserve(qint64(begin.size), m_dir->path(), &reservation, &room)) {
            emit fileRefused(begin.size, room);
            return false;
        }
        auto spool = std::make_unique<SpoolFile>(m_dir->path(), QStringLiteral("spool-%1").arg(++m_spoolsMade),
                                                 begin.size, SpoolFile::Filling::InOrder);
        if (spool->isOpen()) {
            spool->hold(std::move(reservation));
            named->spool = std::move(spool);
        }
    }
    m_named = std::move(named);
    if (begin.size == 0)
        finishNamedFile(true);
    return true;
}

void FileReception::receiveNamedData(quint32 transferId, quint32 chunk, const char *data, qsizetype size)
{
    if (!m_named || m_named->transferId != transferId)
        return;
    NamedFile &named = *m_named;
    const quint64 expected = std::min<quint64>(EXT_CHUNK_SIZE, named.size - named.received);
    if (chunk != named.nextChunk || quint64(size) != expected) {
        finishNamedFile(false);
        return;
    }
    if (named.spool && !named.spool->append(data, size))
        named.spool.reset();
    named.received += quint64(size);
    ++named.nextChunk;
    if (named.received == named.size)
        finishNamedFile(true);
}

void FileReception::abortNamedFile(quint32 transferId)
{
    if (m_named && m_named->transferId == transferId)
        m_named.reset();
}

void FileReception::finishNamedFile(bool inStep)
{
    const std::unique_ptr<NamedFile> named = std::move(m_named);
    ReceivedFile file;
    file.length = named->size;
    file.name = named->name;
    file.transferId = named->transferId;
    file.complete = inStep && named->spool && named->spool->whole();
    if (file.complete)
        file.spool = std::move(named->spool);
    emit fileReceived(file);
}
