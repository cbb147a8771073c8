#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QFile>
#include <QString>

// One file being received, parked in a single file of its own: each full
// chunk is written at its place (index × CHUNK_SIZE) as it arrives, with a
// record of which ones did, and the last frame's bytes at the end, so that
// the spool holds the whole file once it is complete. The spool file is
// removed with this object unless it was moved elsewhere first.
class SpoolFile
{
public:
    // Creates a new spool file named `name` in `directory` for a file of
    // `length` bytes; isOpen() tells whether that worked.
    SpoolFile(const QString &directory, const QString &name, quint32 length);
    ~SpoolFile();

    SpoolFile(const SpoolFile &) = delete;
    SpoolFile &operator=(const SpoolFile &) = delete;

    bool isOpen() const { return m_file.isOpen(); }
    quint32 length() const { return m_length; }
    QString path() const { return m_file.fileName(); }
    // The open spool, for reading it back; nothing else writes to it then.
    int handle() const { return m_file.handle(); }

    // Writes a full chunk at its place; false (and not recorded) when the
    // index lies beyond the file or the write failed.
    bool writeChunk(quint16 index, const QByteArray &payload);
    // Writes the last frame's bytes, once every full chunk was recorded and
    // the spool file is still in its place and whole; false otherwise.
    bool writeTail(const QByteArray &tail);

    // The spool file was moved away: nothing left to remove.
    void markMoved() { m_moved = true; }

private:
    bool writeAt(qint64 offset, const QByteArray &bytes);
    bool stillInPlace(qint64 size) const;

    QFile m_file;
    quint32 m_length;
    QBitArray m_arrived;
    bool m_moved = false;
};
