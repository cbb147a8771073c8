#pragma once

#include "Frame.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>

class SpoolDirectory;
class SpoolFile;
class SpoolSpace;

// A file that arrived on a connection, parked in its spool file until it is
// moved to where the operator saves it (SpoolDelivery); the spool file goes
// when the last copy of this goes without that.
struct ReceivedFile
{
    std::shared_ptr<SpoolFile> spool;
    quint32 length = 0;
    // False when chunks are missing from the spool, or it could not be
    // written or was removed meanwhile: then there is nothing to save, and
    // no spool, which went at once.
    bool complete = false;
};
Q_DECLARE_METATYPE(ReceivedFile)

// Reassembles the files that arrive on one connection. Each file is parked
// in a spool file of its own, chunk by chunk, in a private directory of this
// connection (SpoolDirectory, removed with this object); fileReceived()
// hands it on after its last frame. A file reserves its whole length in the
// process's SpoolSpace at its first frame; one that does not fit beside the
// files in progress is not parked at all. A spool that broke is given up at
// once.
class FileReception : public QObject
{
    Q_OBJECT

public:
    // Reserves in the process's shared space.
    explicit FileReception(QObject *parent = nullptr);
    FileReception(SpoolSpace &space, QObject *parent = nullptr);
    ~FileReception() override;

    // Handles one complete file frame; `payload` is its whole payload.
    void ReceiveFileChunk(const FrameHeader &header, const QByteArray &payload);

    // The chunk directory, empty until the first file frame was parked.
    QString chunkDirectory() const;

    // The file that saving to `target` writes: symbolic links, dangling
    // ones included, followed to the file they name.
    static QString writtenPath(const QString &target);
    // True when `written` would land in a chunk directory of any connection
    // of either program, which is removed with its connection.
    static bool insideChunkDirectory(const QString &written);

signals:
    void fileReceived(const ReceivedFile &file);
    // A file of `length` bytes began that does not fit the `available`
    // bytes left on the spool's file system beside the files in progress:
    // it is not parked.
    void fileRefused(quint32 length, qint64 available);

private:
    void startFile(quint32 length);
    bool ensureDirectory();

    SpoolSpace &m_space;
    std::unique_ptr<SpoolDirectory> m_dir;
    std::unique_ptr<SpoolFile> m_spool;
    quint32 m_fileLength = 0;
    quint32 m_spoolsMade = 0;
    bool m_refusedFile = false;
};
