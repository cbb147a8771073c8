#include "SSocket.h"

#include "CSocket.h"
#include "KeepAlive.h"
#include "SerialPort.h"

#include <QHostAddress>
#include <QIODevice>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
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

// A server whose accepted connections are bounded from the start: a
// connection left waiting at a full table holds no more than an admitted one.
class BoundedServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
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
};
}

CListenSocket::CListenSocket(CSerialPort *serial, ITimers &timers, quint16 port, QObject *parent)
    : QObject(parent)
    , m_pSerial(serial)
    , m_timers(timers)
    , m_port(port)
    , m_server(new BoundedServer(this))
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
    if (!m_server->listen(QHostAddress::Any, m_port)) {
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

bool CListenSocket::SendFileToClient(std::unique_ptr<QIODevice> file, int slot)
{
    CConnSocket *target = client(slot);
    return target && target->SendFile(std::move(file));
}

void CListenSocket::OnConnectionPending()
{
    while (m_nCount < MAX_CLIENTS && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        // The Terminal may have given up while it waited.
        if (socket->state() != QAbstractSocket::ConnectedState) {
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

void CListenSocket::watch(CConnSocket *connection)
{
    connect(connection, &CConnSocket::textReceived, this, [this, connection](const QByteArray &text) {
        emit textReceived(slotOf(connection), text);
    });
    connect(connection, &CConnSocket::rsReceived, this,
            [this, connection](const QByteArray &firstByte) { relay(connection, firstByte); });
    connect(connection, &CConnSocket::stateChanged, this, [this, connection](CConnSocket::State state) {
        const int slot = slotOf(connection);
        if (slot < 0)
            return;
        if (state == CConnSocket::State::Draining) {
            // Its string on the line still goes out; the rest need not wait for it.
            stopWaitingForLine(m_clients[slot]);
            emit clientLeaving(slot);
        } else if (state == CConnSocket::State::Closed) {
            removeClient(slot);
        }
    });
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
    client.waitingForLine = true;
    connection->holdReading();
    m_pSerial->WriteByte(firstByte, connection, [this, connection] { lineDone(connection); });
}

void CListenSocket::lineDone(CConnSocket *connection)
{
    const int slot = slotOf(connection);
    if (slot >= 0)
        stopWaitingForLine(m_clients[slot]);
}

void CListenSocket::stopWaitingForLine(Client &client)
{
    if (!client.waitingForLine)
        return;
    client.waitingForLine = false;
    client.connection->resumeReading();
}

void CListenSocket::dropClient(int slot)
{
    CConnSocket *connection = client(slot);
    if (!connection)
        return;
    if (m_pSerial)
        m_pSerial->discard(connection);
    m_clients[slot].waitingForLine = false;
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
