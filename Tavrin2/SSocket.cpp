#include "SSocket.h"

#include "CSocket.h"
#include "KeepAlive.h"
#include "SerialPort.h"

#include <QHostAddress>
#include <QIODevice>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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

// A server whose accepted connections are bounded from the start: a
// connection left waiting at a full table holds no more than an admitted
// one, and one from an address `admits` refuses is closed unread.
class BoundedServer : public QTcpServer
{
public:
    BoundedServer(std::function<bool(const QHostAddress &)> admits, QObject *parent)
        : QTcpServer(parent)
        , m_admits(std::move(admits))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!m_admits(peerAddressOf(descriptor))) {
            closeDescriptor(descriptor);
            return;
        }
        auto *socket = new QTcpSocket(this);
        socket->setReadBufferSize(CConnSocket::READ_BUFFER_SIZE);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            closeDescriptor(descriptor);
            return;
        }
        // A Terminal that vanishes, admitted or waiting, is noticed.
        KeepAlive::enable(socket);
        addPendingConnection(socket);
    }

private:
    std::function<bool(const QHostAddress &)> m_admits;
};
}

CListenSocket::CListenSocket(CSerialPort *serial, ITimers &timers, quint16 port, QObject *parent)
    : QObject(parent)
    , m_pSerial(serial)
    , m_timers(timers)
    , m_port(port)
    , m_server(new BoundedServer([this](const QHostAddress &peer) { return admits(peer); }, this))
{
    // Only one accepted connection waits inside the server: once it is
    // there the server stops watching the listener, so a full table costs
    // no CPU, and taking that connection makes it watch again.
    m_server->setMaxPendingConnections(1);
    m_server->setListenBacklogSize(LISTEN_BACKLOG);
    connect(m_server, &QTcpServer::newConnection, this, &CListenSocket::OnConnectionPending);
}

CListenSocket::~CListenSocket()
{
    // Emptied first, so that a socket closing on its way out finds no slot
    // to remove.
    const auto clients = m_clients;
    m_clients.fill({});
    m_nCount = 0;
    for (const Client &client : clients)
        delete client.connection;
}

bool CListenSocket::Listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(m_listenAddress, m_port)) {
        emit listenFailed();
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
            || !admits(AddressFilter::unmapped(socket->peerAddress()))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const int slot = freeSlot();
        auto *connection = new CConnSocket(m_timers, this);
        m_clients[slot].connection = connection;
        ++m_nCount;
        watch(connection);
        // Bytes that arrived while the connection waited, or its close, are
        // handled once the event loop runs: nothing removes it before the
        // signals below, which find its address.
        connection->attach(socket);
        emit clientAdmitted(slot);
        emit countChanged(m_nCount);
    }
}

bool CListenSocket::admits(const QHostAddress &peer)
{
    if (m_filter.admits(peer))
        return true;
    if (!peer.isNull())
        emit connectionRefused(peer);
    return false;
}

void CListenSocket::watch(CConnSocket *connection)
{
    connect(connection, &CConnSocket::textReceived, this, [this, connection](const QByteArray &text) {
        inOrder(connection, [this, connection, text] { emit textReceived(slotOf(connection), text); });
    });
    connect(connection, &CConnSocket::fileReceived, this, [this, connection](const ReceivedFile &file) {
        inOrder(connection, [this, connection, file] { emit fileReceived(slotOf(connection), connection, file); });
    });
    connect(connection, &CConnSocket::fileRefused, this, [this, connection](quint32 length, qint64 available) {
        inOrder(connection,
                [this, connection, length, available] { emit fileRefused(slotOf(connection), length, available); });
    });
    connect(connection, &CConnSocket::rsReceived, this,
            [this, connection](const QByteArray &firstByte) { relay(connection, firstByte); });
    connect(connection, &CConnSocket::stateChanged, this, [this, connection](CConnSocket::State state) {
        const int slot = slotOf(connection);
        if (slot < 0)
            return;
        if (state == CConnSocket::State::Draining)
            leaving(slot);
        else if (state == CConnSocket::State::Closed)
            removeClient(slot);
    });
}

quint64 CListenSocket::waitingRs(int slot) const
{
    if (!client(slot))
        return 0;
    const Client &waiting = m_clients[slot];
    return waiting.rsBacklogCount + (waiting.onLine ? 1 : 0);
}

void CListenSocket::relay(CConnSocket *connection, const QByteArray &firstByte)
{
    const int slot = slotOf(connection);
    if (slot < 0 || !m_pSerial)
        return;
    Client &client = m_clients[slot];
    if (connection->state() != CConnSocket::State::Open) {
        ++client.droppedRs;
        return;
    }
    if (!client.rsBacklog.empty() && client.rsBacklog.back().firstByte == firstByte)
        ++client.rsBacklog.back().count;
    else
        client.rsBacklog.push_back({firstByte, 1});
    ++client.rsBacklogCount;
    feedLine(client);
    if (!client.rsBacklog.empty() && ++client.rsBatch == RS_BATCH) {
        // A flood is read on, but not at the cost of the other Terminals.
        client.rsBatch = 0;
        client.batchPause = true;
        QTimer::singleShot(RS_BATCH_PAUSE_MS, this, [this, held = QPointer<CConnSocket>(connection)] {
            const int slot = slotOf(held);
            if (!held || slot < 0)
                return;
            m_clients[slot].batchPause = false;
            updateHold(m_clients[slot]);
        });
    }
    updateHold(client);
}

void CListenSocket::inOrder(CConnSocket *connection, std::function<void()> report)
{
    const int slot = slotOf(connection);
    if (slot < 0)
        return;
    Client &client = m_clients[slot];
    if (!client.onLine && client.rsBacklog.empty()) {
        report();
        return;
    }
    client.afterRs = std::move(report);
    updateHold(client);
}

void CListenSocket::feedLine(Client &client)
{
    if (client.onLine || client.rsBacklog.empty())
        return;
    RsRun &front = client.rsBacklog.front();
    const QByteArray firstByte = front.firstByte;
    if (--front.count == 0)
        client.rsBacklog.pop_front();
    --client.rsBacklogCount;
    client.onLine = true;
    CConnSocket *connection = client.connection;
    m_pSerial->WriteByte(firstByte, connection, [this, connection] { lineDone(connection); });
}

void CListenSocket::lineDone(CConnSocket *connection)
{
    const int slot = slotOf(connection);
    if (slot < 0)
        return;
    Client &client = m_clients[slot];
    client.onLine = false;
    feedLine(client);
    if (client.onLine || !client.rsBacklog.empty() || !client.afterRs)
        return;
    // From the event loop rather than from the line's timer: a dialog that
    // the report opens must not hold the line up for the other Terminals.
    QMetaObject::invokeMethod(
        this,
        [this, held = QPointer<CConnSocket>(connection)] {
            const int slot = slotOf(held);
            if (!held || slot < 0 || !m_clients[slot].afterRs)
                return;
            const std::function<void()> report = std::move(m_clients[slot].afterRs);
            m_clients[slot].afterRs = nullptr;
            report();
            if (held && slotOf(held) >= 0)
                updateHold(m_clients[slotOf(held)]);
        },
        Qt::QueuedConnection);
}

void CListenSocket::leaving(int slot)
{
    Client &client = m_clients[slot];
    // Its string in the line's queue still goes out; the rest are dropped.
    client.droppedRs += int(client.rsBacklogCount);
    client.rsBacklog.clear();
    client.rsBacklogCount = 0;
    emit clientLeaving(slot);
    if (client.afterRs) {
        const std::function<void()> report = std::move(client.afterRs);
        client.afterRs = nullptr;
        report();
    }
    if (client.connection)
        updateHold(client);
}

void CListenSocket::updateHold(Client &client)
{
    const bool hold = client.rsBacklog.size() >= size_t(MAX_RS_RUNS) || client.afterRs || client.batchPause;
    if (hold == client.held)
        return;
    client.held = hold;
    if (hold)
        client.connection->holdReading();
    else
        client.connection->resumeReading();
}

void CListenSocket::dropClient(int slot)
{
    CConnSocket *connection = client(slot);
    if (!connection)
        return;
    if (m_pSerial)
        m_pSerial->discard(connection);
    Client &client = m_clients[slot];
    client.rsBacklog.clear();
    client.rsBacklogCount = 0;
    client.afterRs = nullptr;
    connection->close();
}

void CListenSocket::removeClient(int slot)
{
    const Client leaving = m_clients[slot];
    m_clients[slot] = {};
    --m_nCount;
    leaving.connection->disconnect(this);
    // Its notification may be what brought us here.
    leaving.connection->deleteLater();
    emit clientRemoved(slot, leaving.droppedRs);
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
