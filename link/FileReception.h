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

// What the receiver of a named file did with it, as its receipt says.
enum class FileReceipt : quint8 { Saved = 1, NotSaved = 2, Broken = 3, Refused = 4 };
Q_DECLARE_METATYPE(FileReceipt)

// A file that arrived on a connection, parked in its spool file until it is
// moved to where the operator saves it (SpoolDelivery); the spool file goes
// when the last copy of this goes without that.
struct ReceivedFile
{
    std::shared_ptr<SpoolFile> spool;
    quint64 length = 0;
    // The name it was sent with, made safe (FrameCodec::safeFileName);
    // empty for a classic file.
    QString name;
    // The sender's number for a named file, 0 for a classic one.
    quint32 transferId = 0;
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
// once. A named file of a peer that speaks the extension goes the same way,
// beside the classic one that may be in progress.
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

    // A named file begins; an unfinished one goes. False, with
    // fileRefused(), when it does not fit the spool's room.
    bool beginNamedFile(const FrameCodec::ExtFileBegin &begin);
    // The data of chunk `chunk` of the named file in progress.
    void receiveNamedData(quint32 transferId, quint32 chunk, const char *data, qsizetype size);
    // The sender gave up the named file: what was parked goes, unreported.
    void abortNamedFile(quint32 transferId);

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
    void fileRefused(quint64 length, qint64 available);

private:
    struct NamedFile
    {
        quint32 transferId = 0;
        quint64 size = 0;
        quint64 received = 0;
        quint32 nextChunk = 0;
        QString name;
        std::unique_ptr<SpoolFile> spool;
    };

    void startFile(quint32 length);
    // `inStep`: no chunk came out of order or of the wrong size.
    void finishNamedFile(bool inStep);
    bool ensureDirectory();

    SpoolSpace &m_space;
    std::unique_ptr<SpoolDirectory> m_dir;
    std::unique_ptr<SpoolFile> m_spool;
    quint32 m_fileLength = 0;
    quint32 m_spoolsMade = 0;
    bool m_refusedFile = false;
    std::unique_ptr<NamedFile> m_named;
};
