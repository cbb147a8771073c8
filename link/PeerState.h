#pragma once

class QTcpSocket;

// What the system knows of a connection's far end before the socket says so:
// a close or a reset that arrived behind bytes this end has not read yet.
namespace PeerState {

// True when the peer has closed or reset the connection. Where the system
// cannot tell, false: the close then shows once the bytes before it are read.
bool hasLeft(const QTcpSocket *socket);

}
