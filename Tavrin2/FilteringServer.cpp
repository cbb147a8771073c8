#include "FilteringServer.h"

#include "CSocket.h"
#include "KeepAlive.h"
#include "PeerWatch.h"

#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
void closeDescriptor(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(descriptor));
#else
    ::close(int(descriptor));
#endif
}

// Null when the peer has already gone.
QHostAddress peerAddressOf(qintptr descriptor)
{
    sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return QHostAddress();
    return AddressFilter::unmapped(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)));
}
}

FilteringServer::FilteringServer(QObject *parent)
    : QTcpServer(parent)
{
}

void FilteringServer::unbar(const QHostAddress &address)
{
    if (--m_barred[address] <= 0)
        m_barred.remove(address);
}

bool FilteringServer::admits(const QHostAddress &peer)
{
    const bool allowed = m_filter.admits(peer);
    if (allowed && !m_barred.contains(peer))
        return true;
    if (!peer.isNull())
        emit refused(peer, allowed ? Refusal::Barred : Refusal::NotAllowed);
    return false;
}

void FilteringServer::incomingConnection(qintptr descriptor)
{
    const QHostAddress peer = peerAddressOf(descriptor);
    if (!admits(peer)) {
        closeDescriptor(descriptor);
        return;
    }
    if (m_maxPerAddress > 0 && m_live.value(peer) >= m_maxPerAddress) {
        emit refused(peer, Refusal::TooMany);
        closeDescriptor(descriptor);
        return;
    }
    auto *socket = new QTcpSocket(this);
    socket->setReadBufferSize(CConnSocket::READ_BUFFER_SIZE);
    if (!socket->setSocketDescriptor(descriptor)) {
        socket->deleteLater();
        closeDescriptor(descriptor);
        return;
    }
    ++m_live[peer];
    connect(socket, &QObject::destroyed, this, [this, peer] {
        if (--m_live[peer] <= 0)
            m_live.remove(peer);
    });
    KeepAlive::enable(socket);
    new PeerWatch(socket, socket);
    addPendingConnection(socket);
}
