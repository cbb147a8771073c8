#pragma once

class QTcpSocket;

// Notices a peer whose host lost power or network, on each of the link's
// connections. An idle connection carries TCP keepalive: after IDLE_SECONDS
// of silence the system probes every INTERVAL_SECONDS and drops the
// connection after PROBE_COUNT unanswered probes. While data waits for the
// peer, the PeerWatch that each connection's owner gives it judges from what
// the kernel reports. There is no TCP_USER_TIMEOUT: it would also end a
// connection whose live peer merely keeps its window closed. Elsewhere than
// Linux only the system's own keepalive timing applies. Only empty probe
// segments are added; not a byte of the frames changes.
namespace KeepAlive {

constexpr int IDLE_SECONDS = 15;
constexpr int INTERVAL_SECONDS = 5;
constexpr int PROBE_COUNT = 5;

// Applies the settings to the socket's descriptor, or, while a connecting
// socket has none yet, as soon as it has one. False when the system refused
// a setting.
bool enable(QTcpSocket *socket);

}
