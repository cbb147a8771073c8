#pragma once

#include "Frame.h"

#include <QBitArray>
#include <QByteArray>
#include <QString>

#include <memory>

class QTemporaryDir;

// Reassembles the files that arrive on one connection. Full chunks are
// parked as files named by their decimal chunk index in a private
// directory of this connection (owner-only, under the system temp path,
// removed with this object). On the last frame the operator picks a target
// in the Save As dialog, asked again while it lies inside the chunk
// directory of any connection (tavrin-XXXXXX under the temp path), and the
// parked chunks and the last payload are joined there, written through
// QSaveFile so that a failure leaves an existing file untouched. A file
// whose chunks were not all parked here is not saved; the operator is told.
class FileReception
{
public:
    FileReception();
    ~FileReception();

    // Handles one complete file frame; `payload` is its whole payload.
    void ReceiveFileChunk(const FrameHeader &header, const QByteArray &payload);

    // The chunk directory, empty until the first chunk was parked.
    QString chunkDirectory() const;

private:
    bool parkChunk(quint16 index, const QByteArray &payload);
    void saveFile(const FrameHeader &header, const QByteArray &tail);
    bool ensureDirectory();

    std::unique_ptr<QTemporaryDir> m_dir;
    QBitArray m_parked;
    quint32 m_fileLength = 0;
};
