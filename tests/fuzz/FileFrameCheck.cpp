#include "FileFrameCheck.h"

#include "SpoolFile.h"

#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

namespace {
void require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "file reception: %s\n", what);
        std::abort();
    }
}

bool allChunksArrived(const std::set<std::pair<quint32, quint16>> &arrived, quint32 length)
{
    const quint32 chunks = length / CHUNK_SIZE;
    if (arrived.size() < chunks)
        return false;
    for (quint32 index = 0; index < chunks; ++index) {
        if (!arrived.count({length, quint16(index)}))
            return false;
    }
    return true;
}
}

FileFrameCheck::FileFrameCheck()
{
    QObject::connect(&m_reception, &FileReception::fileReceived, [this](const ReceivedFile &file) {
        ++m_files;
        m_last = file;
    });
}

void FileFrameCheck::receive(const FrameHeader &header, const QByteArray &payload)
{
    const int filesBefore = m_files;
    m_reception.ReceiveFileChunk(header, payload);
    const int files = m_files - filesBefore;

    if (!header.isLastFileChunk()) {
        require(files == 0, "a chunk that is not the last reported a file");
        m_arrived.insert({header.length, header.index});
        return;
    }
    require(files <= 1, "one last frame reported more than one file");
    if (files == 1) {
        require(m_last.length == header.length, "the file reported is not the one whose last frame came");
        require(!m_last.complete || allChunksArrived(m_arrived, header.length),
                "a file was reported complete whose chunks did not all arrive");
        require(!m_last.complete || QFileInfo(m_last.spool->path()).size() == qint64(header.length),
                "a complete file's spool does not hold the whole file");
    }
    // The spool goes with the last copy of the report.
    m_last = {};
    m_arrived.clear();
}

void FileFrameCheck::receiveExtension(quint8 kind, const QByteArray &payload)
{
    const int filesBefore = m_files;
    quint32 transferId = 0;
    quint32 chunk = 0;
    FrameCodec::ExtFileBegin begin;
    if (kind == FRAME_EXT_FILE_BEGIN && FrameCodec::parseExtFileBegin(payload, &begin)) {
        m_named = m_reception.beginNamedFile(begin);
        m_begun = begin;
        m_namedBytes = 0;
    } else if (kind == FRAME_EXT_FILE_DATA && FrameCodec::parseExtFileData(payload, &transferId, &chunk)) {
        m_reception.receiveNamedData(transferId, chunk, payload.constData() + EXT_FILE_DATA_FIXED,
                                     payload.size() - EXT_FILE_DATA_FIXED);
        if (m_named && transferId == m_begun.transferId)
            m_namedBytes += quint64(payload.size() - EXT_FILE_DATA_FIXED);
    } else if (kind == FRAME_EXT_FILE_ABORT && FrameCodec::parseExtTransferId(payload, &transferId)) {
        m_reception.abortNamedFile(transferId);
        require(m_files == filesBefore, "an abort reported a file");
        if (transferId == m_begun.transferId)
            m_named = false;
        return;
    } else {
        return;
    }
    require(m_files - filesBefore <= 1, "one frame reported more than one named file");
    if (m_files == filesBefore)
        return;
    require(m_named && m_last.transferId == m_begun.transferId && m_last.length == m_begun.size,
            "the named file reported is not the one in progress");
    require(m_last.name == FrameCodec::safeFileName(m_last.name), "a named file's name is not safe");
    require(!m_last.complete || m_namedBytes == m_begun.size, "a named file was complete before all its data came");
    require(!m_last.complete || QFileInfo(m_last.spool->path()).size() == qint64(m_begun.size),
            "a complete named file's spool does not hold the whole file");
    require(m_last.complete || !m_last.spool, "a broken named file kept its spool");
    m_named = false;
    m_last = {};
}
