#include "FileFrameCheck.h"

#include "FuzzPlatform.h"

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

void FileFrameCheck::receive(const FrameHeader &header, const QByteArray &payload)
{
    FuzzPlatform &platform = FuzzPlatform::instance();
    const int dialogsBefore = platform.saveDialogs;
    const int messagesBefore = platform.messages;
    m_reception.ReceiveFileChunk(header, payload);
    const int dialogs = platform.saveDialogs - dialogsBefore;
    const int messages = platform.messages - messagesBefore;

    if (!header.isLastFileChunk()) {
        require(dialogs == 0 && messages == 0, "a chunk that is not the last asked the operator");
        m_arrived.insert({header.length, header.index});
        return;
    }
    require(dialogs + messages <= 1, "one last frame asked the operator more than once");
    require(dialogs == 0 || allChunksArrived(m_arrived, header.length),
            "Save As was asked for a file whose chunks did not all arrive");
    m_arrived.clear();
}
