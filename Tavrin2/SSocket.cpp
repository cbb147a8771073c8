#include "SSocket.h"

#include "CSocket.h"
#include "CodePage.h"
#include "DisplayLine.h"
#include "IRedrawHost.h"
#include "KeepAlive.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace {
// Bytes a connection left waiting at a full table may hold before TCP holds
// back its Terminal; the same bound an admitted connection keeps.
constexpr qint64 WAITING_READ_BUFFER = 64 * 1024;

void closeDescriptor(qintptr descriptor)
{
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(descriptor));
#else
    ::close(int(descriptor));
#endif
}

// A server whose accepted connections are bounded from the start.
class BoundedServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setReadBufferSize(WAITING_READ_BUFFER);
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

const QString WAITING = QStringLiteral("接続待ち");
const QString CONNECTED = QStringLiteral("人と接続中");
const QString LISTEN_FAILED = QStringLiteral("待ち受けできません。開始をやり直してください");
}

CListenSocket::CListenSocket(DisplayLine *line, DisplayLine *status, ISerialLine *serial,
                             IRedrawHost *host, quint16 port, QObject *parent)
    : QObject(parent)
    , m_pLine(line)
    , m_pStatus(status)
    , m_pSerial(serial)
    , m_pHost(host)
    , m_port(port)
    , m_server(new BoundedServer(this))
{
    // Only one accepted connection waits inside the server: once it is
    // there the server stops watching the listener, so a full table costs
    // no CPU, and taking that connection makes it watch again.
    m_server->setMaxPendingConnections(1);
    m_server->setListenBacklogSize(LISTEN_BACKLOG);
    connect(m_server, &QTcpServer::newConnection, this, &CListenSocket::OnConnectionPending);

    writeStatus(WAITING);
    Listen();
}

CListenSocket::~CListenSocket()
{
    // Emptied first, so that a socket closing on its way out finds no slot
    // to remove.
    const auto clients = m_clients;
    m_clients.fill(nullptr);
    m_nCount = 0;
    for (CConnSocket *client : clients)
        delete client;
}

bool CListenSocket::Listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(QHostAddress::Any, m_port)) {
        m_listenFailed = true;
        writeStatus(LISTEN_FAILED);
        return false;
    }
    if (m_listenFailed) {
        m_listenFailed = false;
        writeStatus(WAITING);
    }
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
    return m_clients[slot];
}

void CListenSocket::SendTextToClient(const QByteArray &text, int slot)
{
    if (CConnSocket *target = client(slot))
        target->SendText(text);
}

void CListenSocket::SendFileToClient(int slot)
{
    if (CConnSocket *target = client(slot))
        target->SendFile();
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
        auto *connection = new CConnSocket(m_pLine, slot, this, m_pSerial, m_pHost, this);
        m_clients[slot] = connection;
        ++m_nCount;
        writeCountStatus();
        emit clientsChanged();
        // Last: bytes that arrived while the connection waited are handled
        // once the event loop runs, and may end in RemoveClient for this slot.
        connection->attach(socket);
    }
}

void CListenSocket::RemoveClient(int slot)
{
    CConnSocket *leaving = client(slot);
    if (!leaving)
        return;
    m_clients[slot] = nullptr;
    --m_nCount;
    // The socket may be inside one of its own handlers (a modal dialog, or
    // the close notification that brought us here): it deletes itself once
    // that has returned.
    leaving->release();
    writeCountStatus();
    emit clientsChanged();
    // A connection left waiting at a full table takes the freed slot, once
    // the leaving socket's handler has returned.
    if (m_server->hasPendingConnections())
        QMetaObject::invokeMethod(this, &CListenSocket::OnConnectionPending, Qt::QueuedConnection);
}

int CListenSocket::freeSlot() const
{
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (!m_clients[slot])
            return slot;
    }
    return -1;
}

void CListenSocket::writeStatus(const QString &text)
{
    QByteArray bytes;
    CodePage::encode(text, &bytes);
    m_pStatus->set(bytes);
    m_pHost->Redraw();
}

void CListenSocket::writeCountStatus()
{
    writeStatus(QString::number(m_nCount) + CONNECTED);
}
