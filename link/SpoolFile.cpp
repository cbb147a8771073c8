#include "SpoolFile.h"

#include "Frame.h"

#include <QDir>

#include <sys/stat.h>

SpoolFile::SpoolFile(const QString &directory, const QString &name, quint64 length, Filling filling)
    : m_file(QDir(directory).filePath(name))
    , m_length(length)
    , m_arrived(filling == Filling::ByChunkIndex ? int(length / CHUNK_SIZE) : 0)
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

void SpoolFile::writeChunk(quint16 index, const QByteArray &payload)
{
    if (index >= m_arrived.size() || payload.size() != CHUNK_SIZE)
        return;
    const int pendingChunks = int(m_pending.size() / CHUNK_SIZE);
    if (index != m_pendingFirst + pendingChunks || pendingChunks == PENDING_CHUNKS)
        writePending();
    if (m_pending.isEmpty())
        m_pendingFirst = index;
    m_pending.append(payload);
}

void SpoolFile::hold(SpoolSpace::Reservation reservation)
{
    m_reservation = std::move(reservation);
    m_reservation.shrinkTo(qint64(m_length) - m_writtenEnd);
}

void SpoolFile::writePending()
{
    if (m_pending.isEmpty())
        return;
    if (stillInPlace() && writeAt(qint64(m_pendingFirst) * CHUNK_SIZE, m_pending)) {
        for (qsizetype i = 0; i < m_pending.size() / CHUNK_SIZE; ++i)
            m_arrived.setBit(m_pendingFirst + int(i));
    } else {
        m_broken = true;
    }
    m_pending.resize(0);
}

bool SpoolFile::writeTail(const QByteArray &tail)
{
    writePending();
    const qint64 fullBytes = qint64(m_arrived.size()) * CHUNK_SIZE;
    if (m_arrived.count(false) > 0 || tail.size() != qsizetype(m_length - fullBytes) || !stillInPlace())
        return false;
    return tail.isEmpty() || writeAt(fullBytes, tail);
}

bool SpoolFile::append(const char *data, qsizetype size)
{
    if (quint64(size) > m_length - quint64(m_writtenEnd) || !stillInPlace()) {
        m_broken = true;
        return false;
    }
    if (!writeAt(m_writtenEnd, QByteArray::fromRawData(data, size))) {
        m_broken = true;
        return false;
    }
    return true;
}

bool SpoolFile::whole() const
{
    return !m_broken && quint64(m_writtenEnd) == m_length && stillInPlace();
}

bool SpoolFile::writeAt(qint64 offset, const QByteArray &bytes)
{
    if (!m_file.isOpen() || !m_file.seek(offset) || m_file.write(bytes) != bytes.size())
        return false;
    m_writtenEnd = qMax(m_writtenEnd, offset + bytes.size());
    m_reservation.shrinkTo(qint64(m_length) - m_writtenEnd);
    return true;
}

// The file under the spool's name is the one written to, and holds all that
// was written.
bool SpoolFile::stillInPlace() const
{
    struct stat named {};
    struct stat written {};
    return ::stat(QFile::encodeName(m_file.fileName()).constData(), &named) == 0
        && ::fstat(m_file.handle(), &written) == 0 && named.st_dev == written.st_dev
        && named.st_ino == written.st_ino && written.st_size == m_writtenEnd;
}
