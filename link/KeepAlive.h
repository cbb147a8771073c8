#pragma once

class QTcpSocket;

// TCP keepalive for the link's connections, so that a peer whose host lost
// power or network is noticed within a minute: after IDLE_SECONDS of silence
// the system probes every INTERVAL_SECONDS, and once the peer has left a probe
// or data unacknowledged for USER_TIMEOUT_MS the connection is dropped (where
// there is no such timeout, after PROBE_COUNT unanswered probes). Elsewhere
// than Linux only the system's own keepalive timing applies. Only empty probe
// segments are added; not a byte of the frames changes.
namespace KeepAlive {

constexpr int IDLE_SECONDS = 15;
constexpr int INTERVAL_SECONDS = 5;
constexpr int PROBE_COUNT = 5;
constexpr unsigned USER_TIMEOUT_MS = 45000;

// Applies the settings to the socket's descriptor, or, while a connecting
// socket has none yet, as soon as it has one. False when the system refused
// a setting.
bool enable(QTcpSocket *socket);

}
