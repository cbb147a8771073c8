#include "SpoolDirectory.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
QByteArray lockPath(const QString &directory)
{
    return QFile::encodeName(QDir(directory).filePath(QString::fromLatin1(SpoolDirectory::LockName)));
}
}

SpoolDirectory::SpoolDirectory()
{
    QDir().mkpath(QDir::tempPath());
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tavrin-XXXXXX"));
    if (!m_dir->isValid())
        return;
    // Locked before it takes its name, so that no lock file is ever seen unlocked while its process lives.
    const QByteArray unnamed = QFile::encodeName(QDir(m_dir->path()).filePath(QStringLiteral(".lock-new")));
    const int fd = ::open(unnamed.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || std::rename(unnamed.constData(), lockPath(m_dir->path()).constData()) != 0) {
        ::close(fd);
        ::unlink(unnamed.constData());
        return;
    }
    m_lock = fd;
}

SpoolDirectory::~SpoolDirectory()
{
    if (m_lock >= 0)
        ::close(m_lock);
}

bool SpoolDirectory::isValid() const
{
    return m_dir->isValid() && m_lock >= 0;
}

QString SpoolDirectory::path() const
{
    return m_dir->path();
}

bool SpoolDirectory::isSpoolDirectoryName(const QString &name)
{
    static const QRegularExpression spoolName(QStringLiteral("^tavrin-[A-Za-z0-9]{6}$"));
    return spoolName.match(name).hasMatch();
}

int SpoolDirectory::removeStale()
{
    int removed = 0;
    const QDateTime untouchedSince = QDateTime::currentDateTimeUtc().addSecs(-STALE_UNLOCKED_SECONDS);
    const QDir temp(QDir::tempPath());
    for (const QFileInfo &entry : temp.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!isSpoolDirectoryName(entry.fileName()) || entry.ownerId() != uint(::geteuid()))
            continue;
        bool stale = false;
        const int fd = ::open(lockPath(entry.filePath()).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            // Held until the directory is gone.
            stale = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        } else {
            stale = errno == ENOENT && entry.lastModified().toUTC() < untouchedSince;
        }
        if (stale && QDir(entry.filePath()).removeRecursively())
            ++removed;
        if (fd >= 0)
            ::close(fd);
    }
    return removed;
}
