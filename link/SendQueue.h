#pragma once

#include <QtGlobal>

class QTcpSocket;

// What a connection holds that has not gone on the wire yet, in Qt's buffer
// and the kernel's. Elsewhere than Linux only Qt's buffer is known.
namespace SendQueue {

// Bytes written to `socket` that wait for its peer: those Qt holds, and
// those the kernel holds unsent while the peer takes nothing (its window is
// closed, or what is in flight goes unacknowledged). What the kernel still
// has to send to a peer that takes it is on its way.
qint64 heldBackBytes(const QTcpSocket *socket);

}
