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
