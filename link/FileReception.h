#pragma once

#include "Frame.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QTemporaryDir;
class SpoolFile;

// Reassembles the files that arrive on one connection. Each file is parked
// in a spool file of its own, chunk by chunk, in a private directory of this
// connection (owner-only, under the system temp path, removed with this
// object). On the last frame the operator picks a target in the Save As
// dialog, asked again while it lies, symbolic links followed, inside the
// chunk directory of any connection (tavrin-XXXXXX under the temp path), and
// the spool is moved there: renamed on one file system, else copied on a
// worker thread while this connection goes on receiving. A failure leaves an
// existing file untouched. A file whose chunks were not all parked here is
// not saved; the operator is told.
class FileReception
{
public:
    FileReception();
    ~FileReception();

    // Handles one complete file frame; `payload` is its whole payload.
    void ReceiveFileChunk(const FrameHeader &header, const QByteArray &payload);

    // The chunk directory, empty until the first file frame was parked.
    QString chunkDirectory() const;

    // A copy that lasts longer than this shows a progress dialog.
    static constexpr int COPY_PROGRESS_DELAY_MS = 500;

private:
    void startFile(quint32 length);
    void saveFile(const FrameHeader &header, const QByteArray &tail);
    bool ensureDirectory();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SpoolFile> m_spool;
    quint32 m_fileLength = 0;
    quint32 m_spoolsMade = 0;
};
