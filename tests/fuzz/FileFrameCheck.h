#pragma once

#include "FileReception.h"

#include <set>
#include <utility>

// The file side of the fuzzed connection, kept apart so that it can follow
// file reception wherever that goes. It hands each file frame on as the
// connection does and checks what reception reports: nothing for a chunk,
// at most one file for a last frame, and a complete file only when all of
// its chunks arrived since the previous last frame; for named files, a
// complete one only when its data reached its size, under a safe name.
class FileFrameCheck
{
public:
    FileFrameCheck();

    void receive(const FrameHeader &header, const QByteArray &payload);
    // An extension frame of an agreed peer, as the connection hands it on.
    void receiveExtension(quint8 kind, const QByteArray &payload);

private:
    FileReception m_reception;
    // Full chunks handed on since the last frame of a file, by file length and index.
    std::set<std::pair<quint32, quint16>> m_arrived;
    int m_files = 0;
    ReceivedFile m_last;
    // The named file in progress as the frames tell it, when one is.
    bool m_named = false;
    FrameCodec::ExtFileBegin m_begun;
    quint64 m_namedBytes = 0;
};
