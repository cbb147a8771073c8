#include "SpoolFile.h"

#include "Frame.h"

#include <QDir>

#include <sys/stat.h>

SpoolFile::SpoolFile(const QString &directory, const QString &name, quint32 length)
    : m_file(QDir(directory).filePath(name))
    , m_length(length)
    , m_arrived(int(length / CHUNK_SIZE))
{
    // Unbuffered, so that a failed write shows in write()'s result. Created
    // with the usual permissions, which a rename hands on to the target: the
    // directory is what keeps it private.
    m_file.open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered);
}

SpoolFile::~SpoolFile()
{
    if (m_file.isOpen() && !m_moved)
        m_file.remove();
}

bool SpoolFile::writeChunk(quint16 index, const QByteArray &payload)
{
    if (index >= m_arrived.size() || payload.size() != CHUNK_SIZE
        || !writeAt(qint64(index) * CHUNK_SIZE, payload))
        return false;
    m_arrived.setBit(index);
    return true;
}

bool SpoolFile::writeTail(const QByteArray &tail)
{
    const qint64 fullBytes = qint64(m_arrived.size()) * CHUNK_SIZE;
    if (!m_file.isOpen() || m_arrived.count(false) > 0 || tail.size() != qsizetype(m_length - fullBytes)
        || !stillInPlace(fullBytes))
        return false;
    return tail.isEmpty() || writeAt(fullBytes, tail);
}

bool SpoolFile::writeAt(qint64 offset, const QByteArray &bytes)
{
    return m_file.isOpen() && m_file.seek(offset) && m_file.write(bytes) == bytes.size();
}

// The file under the spool's name is the one written to, at its full size:
// not removed or cut short from outside (a temp cleaner, the directory lost).
bool SpoolFile::stillInPlace(qint64 size) const
{
    struct stat named {};
    struct stat written {};
    return ::stat(QFile::encodeName(m_file.fileName()).constData(), &named) == 0
        && ::fstat(m_file.handle(), &written) == 0 && named.st_dev == written.st_dev
        && named.st_ino == written.st_ino && written.st_size == size;
}
