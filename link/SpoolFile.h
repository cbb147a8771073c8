#pragma once

#include "SpoolSpace.h"

#include <QBitArray>
#include <QByteArray>
#include <QFile>
#include <QString>

// One file being received, parked in a single file of its own. A classic
// file's full chunks are each written at their place (index × CHUNK_SIZE),
// with a record of which ones arrived, and the last frame's bytes at the
// end, so that the spool holds the whole file once it is complete;
// consecutive chunks wait in memory, up to PENDING_CHUNKS of them, and go to
// disk in one write. A named file's data arrives in order and is appended.
// The spool file is removed with this object unless it was moved elsewhere.
class SpoolFile
{
public:
    enum class Filling { ByChunkIndex, InOrder };

    // Creates a new spool file named `name` in `directory` for a file of
    // `length` bytes; isOpen() tells whether that worked.
    SpoolFile(const QString &directory, const QString &name, quint64 length,
              Filling filling = Filling::ByChunkIndex);
    ~SpoolFile();

    SpoolFile(const SpoolFile &) = delete;
    SpoolFile &operator=(const SpoolFile &) = delete;

    bool isOpen() const { return m_file.isOpen(); }
    quint64 length() const { return m_length; }
    QString path() const { return m_file.fileName(); }
    // The open spool, for reading it back; nothing else writes to it then.
    int handle() const { return m_file.handle(); }

    // Parks a full chunk; one beyond the file is ignored. It counts as
    // arrived once it has been written.
    void writeChunk(quint16 index, const QByteArray &payload);
    // Writes the last frame's bytes, once every full chunk was recorded and
    // the spool file is still in its place and whole; false otherwise. Its
    // place is checked before every write: a spool removed or cut short from
    // outside (a temp cleaner, the directory lost) takes nothing more.
    bool writeTail(const QByteArray &tail);

    // InOrder: writes the next bytes of the file; false when they would
    // pass its end or could not be written.
    bool append(const char *data, qsizetype size);
    // InOrder: every byte arrived and the spool is still in its place.
    bool whole() const;

    // The spool file was moved away: nothing left to remove.
    void markMoved() { m_moved = true; }

    // The room reserved for the bytes not yet written; it shrinks as they
    // are, and goes with this object.
    void hold(SpoolSpace::Reservation reservation);
    // A write failed or the spool left its place: it can never be whole.
    bool broken() const { return m_broken; }

    static constexpr int PENDING_CHUNKS = 32;

private:
    void writePending();
    bool writeAt(qint64 offset, const QByteArray &bytes);
    bool stillInPlace() const;

    QFile m_file;
    quint64 m_length;
    QBitArray m_arrived;
    QByteArray m_pending;
    quint16 m_pendingFirst = 0;
    qint64 m_writtenEnd = 0;
    bool m_moved = false;
    bool m_broken = false;
    SpoolSpace::Reservation m_reservation;
};
