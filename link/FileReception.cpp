#include "FileReception.h"

#include "SpoolFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>

FileReception::FileReception(QObject *parent)
    : QObject(parent)
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
    static const QRegularExpression chunkDirectoryName(QStringLiteral("^tavrin-[A-Za-z0-9]{6}$"));
    return chunkDirectoryName.match(folder.mid(temp.size() + 1).section(QLatin1Char('/'), 0, 0)).hasMatch();
}

bool FileReception::ensureDirectory()
{
    // Made again when something removed it meanwhile (a temp cleaner).
    if (m_dir && QFileInfo::exists(m_dir->path()))
        return true;
    m_dir.reset();
    QDir().mkpath(QDir::tempPath());
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tavrin-XXXXXX"));
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
        if (m_spool)
            m_spool->writeChunk(header.index, payload);
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
    file.spool = std::move(m_spool);
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
    const qint64 available = QStorageInfo(m_dir->path()).bytesAvailable();
    if (available >= 0 && qint64(length) > available) {
        m_refusedFile = true;
        emit fileRefused(length, available);
        return;
    }
    auto spool = std::make_unique<SpoolFile>(m_dir->path(), QStringLiteral("spool-%1").arg(++m_spoolsMade), length);
    if (spool->isOpen())
        m_spool = std::move(spool);
}
