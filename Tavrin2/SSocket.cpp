#include "SSocket.h"

#include "CSocket.h"
#include "RsRelay.h"
#include "SerialPort.h"
#include "Timers.h"

#include <QIODevice>
#include <QTcpSocket>

CListenSocket::CListenSocket(CSerialPort *serial, ITimers &timers, quint16 port, QObject *parent)
    : QObject(parent)
    , m_pSerial(serial)
    , m_timers(timers)
    , m_port(port)
    , m_server(new FilteringServer(this))
{
    // Only one accepted connection waits inside the server: once it is
    // there the server stops watching the listener, so a full table costs
    // no CPU, and taking that connection makes it watch again.
    m_server->setMaxPendingConnections(1);
    m_server->setListenBacklogSize(LISTEN_BACKLOG);
    connect(m_server, &QTcpServer::newConnection, this, &CListenSocket::OnConnectionPending);
    connect(m_server, &FilteringServer::refused, this, &CListenSocket::connectionRefused);
}

bool CListenSocket::Listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(m_listenAddress, m_port)) {
        emit listenFailed(m_server->serverError(), m_server->errorString());
        return false;
    }
    emit listening();
    return true;
}

bool CListenSocket::isListening() const
{
    return m_server->isListening();
}

quint16 CListenSocket::serverPort() const
{
    return m_server->serverPort();
}

void CListenSocket::setAddressFilter(const AddressFilter &filter)
{
    m_server->setFilter(filter);
}

const AddressFilter &CListenSocket::addressFilter() const
{
    return m_server->filter();
}

void CListenSocket::setMaxConnectionsPerAddress(int max)
{
    m_server->setMaxPerAddress(max);
}

int CListenSocket::maxConnectionsPerAddress() const
{
    return m_server->maxPerAddress();
}

void CListenSocket::barAddress(const QHostAddress &address, int milliseconds)
{
    const QHostAddress peer = AddressFilter::unmapped(address);
    m_server->bar(peer);
    m_timers.singleShot(milliseconds, m_server, [server = m_server, peer] { server->unbar(peer); });
}

CConnSocket *CListenSocket::client(int slot) const
{
    if (slot < 0 || slot >= MAX_CLIENTS)
        return nullptr;
    return m_clients[slot].connection;
}

bool CListenSocket::isLeaving(int slot) const
{
    const CConnSocket *connection = client(slot);
    return connection && connection->state() == CConnSocket::State::Draining;
}

quint64 CListenSocket::waitingRs(int slot) const
{
    return client(slot) ? m_clients[slot].relay->waiting() : 0;
}

bool CListenSocket::SendTextToClient(const QByteArray &text, int slot)
{
    CConnSocket *target = client(slot);
    if (!target || !target->isOpen())
        return false;
    target->SendText(text);
    return true;
}

bool CListenSocket::SendFileToClient(QIODevice *file, int slot)
{
    CConnSocket *target = client(slot);
    return target && target->SendFile(file);
}

void CListenSocket::OnConnectionPending()
{
    while (m_nCount < MAX_CLIENTS && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        // The Terminal may have given up while it waited, or the filter
        // changed meanwhile.
        if (socket->state() != QAbstractSocket::ConnectedState
            || !m_server->admits(AddressFilter::unmapped(socket->peerAddress()))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const int slot = freeSlot();
        auto *connection = new CConnSocket(m_timers, this);
        m_clients[slot] = {connection, new RsRelay(connection, m_pSerial, m_timers)};
        ++m_nCount;
        watch(slot);
        connection->setExtensionEnabled(m_extensionEnabled);
        // Bytes that arrived while the connection waited, or its close, are
        // handled once the event loop runs: nothing removes it before the
        // signals below, which find its address.
        connection->attach(socket);
        emit clientAdmitted(slot);
        emit countChanged(m_nCount);
    }
}

void CListenSocket::watch(int slot)
{
    CConnSocket *connection = m_clients[slot].connection;
    RsRelay *relay = m_clients[slot].relay;
    connect(relay, &RsRelay::textReceived, this, [this, slot](const QByteArray &text) { emit textReceived(slot, text); });
    connect(relay, &RsRelay::unicodeTextReceived, this,
            [this, slot](const QString &text) { emit unicodeTextReceived(slot, text); });
    connect(connection, &CConnSocket::fileReceipt, this,
            [this, slot](const QString &name, quint64 size, FileReceipt receipt) {
                emit fileReceipt(slot, name, size, receipt);
            });
    connect(relay, &RsRelay::fileReceived, this, [this, slot, connection](const ReceivedFile &file) {
        emit fileReceived(slot, connection, file);
    });
    connect(relay, &RsRelay::fileRefused, this,
            [this, slot](quint64 length, qint64 available) { emit fileRefused(slot, length, available); });
    connect(relay, &RsRelay::waitingChanged, this, [this, slot](quint64 waiting) { emit waitingRsChanged(slot, waiting); });
    connect(connection, &CConnSocket::stateChanged, this, [this, slot, relay](CConnSocket::State state) {
        if (state == CConnSocket::State::Draining) {
            emit clientLeaving(slot);
            relay->peerLeaving();
        } else if (state == CConnSocket::State::Closed) {
            RemoveClient(slot);
        }
    });
}

void CListenSocket::dropClient(int slot)
{
    CConnSocket *connection = client(slot);
    if (!connection)
        return;
    m_clients[slot].relay->discard();
    connection->close();
}

void CListenSocket::RemoveClient(int slot)
{
    const Client leaving = m_clients[slot];
    m_clients[slot] = {};
    --m_nCount;
    leaving.connection->disconnect(this);
    leaving.relay->disconnect(this);
    // Its notification may be what brought us here.
    leaving.connection->deleteLater();
    emit clientRemoved(slot, leaving.relay->dropped());
    emit countChanged(m_nCount);
    // A connection left waiting at a full table takes the freed slot.
    if (m_server->hasPendingConnections())
        QMetaObject::invokeMethod(this, &CListenSocket::OnConnectionPending, Qt::QueuedConnection);
}

int CListenSocket::freeSlot() const
{
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (!m_clients[slot].connection)
            return slot;
    }
    return -1;
}

int CListenSocket::slotOf(const QObject *connection) const
{
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (m_clients[slot].connection == connection)
            return slot;
    }
    return -1;
}
