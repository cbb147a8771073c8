#include "CSocket.h"

#include "DisplayLine.h"
#include "FileReception.h"
#include "IClientOwner.h"
#include "IRedrawHost.h"
#include "ISerialLine.h"
#include "KeepAlive.h"
#include "PacedFileSend.h"
#include "Platform.h"
#include "SystemErrorText.h"

#include <QDir>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Unread bytes a connection may hold while its handler is stalled (a modal
// dialog); the rest waits in the kernel and throttles the peer.
constexpr qint64 READ_BUFFER_SIZE = 64 * 1024;

QByteArray slotPrefix(int slot)
{
    return QByteArray::number(slot) + "> ";
}

// Text bytes a received text may keep: what the line holds after the
// Station's slot prefix.
int textRoom(const DisplayLine *line, int slot)
{
    const int prefix = slot >= 0 ? int(slotPrefix(slot).size()) : 0;
    return line->maxTextBytes() - prefix;
}

QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}
}

// Marks a handler of this object as running; the last one to leave carries
// out what had to wait for it (deletion, bytes or a close that arrived).
class CConnSocket::BusyScope
{
public:
    explicit BusyScope(CConnSocket *socket)
        : m_socket(socket)
    {
        ++m_socket->m_busy;
    }
    ~BusyScope()
    {
        if (--m_socket->m_busy == 0)
            m_socket->leaveBusy();
    }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    CConnSocket *m_socket;
};

CConnSocket::CConnSocket(DisplayLine *line, int slot, IClientOwner *owner, ISerialLine *serial,
                         IRedrawHost *host, QObject *parent)
    : QObject(parent)
    , m_nSlot(slot)
    , m_pLine(line)
    , m_pOwner(owner)
    , m_pSerial(serial)
    , m_pHost(host)
    , m_decoder(textRoom(line, slot))
    , m_files(std::make_unique<FileReception>())
{
}

CConnSocket::CConnSocket(DisplayLine *line, IRedrawHost *host, QObject *parent)
    : QObject(parent)
    , m_pLine(line)
    , m_pHost(host)
    , m_decoder(textRoom(line, -1))
    , m_files(std::make_unique<FileReception>())
{
}

CConnSocket::~CConnSocket()
{
    // Ends quietly: the program or the connection's owner is going away.
    delete m_fileSend;
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
    }
}

void CConnSocket::attach(QTcpSocket *socket)
{
    m_socket = socket;
    m_socket->setParent(this);
    wire();
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &CConnSocket::OnDataReady, Qt::QueuedConnection);
    else
        QMetaObject::invokeMethod(this, &CConnSocket::OnPeerClosed, Qt::QueuedConnection);
}

void CConnSocket::connectToStation(const QString &host, quint16 port, int timeoutMs)
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
    }
    m_socket = new QTcpSocket(this);
    wire();
    m_connecting = true;
    m_socket->connectToHost(host, port);
    KeepAlive::enable(m_socket);
    // A Station behind a firewall that drops the attempt would otherwise
    // keep the operator waiting for the system's own limit, minutes long.
    QTimer::singleShot(timeoutMs, m_socket, [this] {
        if (!m_connecting)
            return;
        m_connecting = false;
        m_socket->abort();
        emit connectFailed(QStringLiteral("接続がタイムアウトしました"));
    });
}

bool CConnSocket::isConnected() const
{
    return m_socket && !m_releaseRequested && m_socket->state() == QAbstractSocket::ConnectedState;
}

void CConnSocket::wire()
{
    m_socket->setReadBufferSize(READ_BUFFER_SIZE);
    connect(m_socket, &QTcpSocket::readyRead, this, &CConnSocket::OnDataReady);
    connect(m_socket, &QTcpSocket::disconnected, this, &CConnSocket::OnPeerClosed);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        m_connecting = false;
        emit connected();
    });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (!m_connecting)
            return;
        m_connecting = false;
        emit connectFailed(SystemErrorText::describe(m_socket->error(), m_socket->errorString()));
    });
}

bool CConnSocket::SendText(const QByteArray &text)
{
    const int limit = isStation() ? MAX_TEXT : MAX_TERMINAL_TEXT;
    if (text.size() > limit || !isConnected())
        return false;
    sendFrame(FrameCodec::textFrame(text));
    return true;
}

void CConnSocket::sendFrame(const QByteArray &frame)
{
    // A peer that does not read leaves it queued in the socket.
    if (isConnected())
        m_socket->write(frame);
}

void CConnSocket::SendFile()
{
    if (!isConnected())
        return;
    IPlatform &platform = Platform::get();
    if (m_fileSend) {
        platform.messageBox(QStringLiteral("この相手には前のファイルを送信中です。"
                                           "送信が終わってから、もう一度やり直してください。"));
        return;
    }
    BusyScope busy(this);
    const QString path = platform.getOpenFileName();
    if (path.isEmpty() || !isConnected() || m_fileSend)
        return;
    std::unique_ptr<QIODevice> file = platform.openFile(path, QIODevice::ReadOnly);
    if (!file) {
        platform.messageBox(QStringLiteral("ファイル「%1」を開けません。読み取りできるファイルか確かめて、"
                                           "もう一度送信してください。")
                                .arg(nativePath(path)));
        return;
    }
    const qint64 total = file->size();
    if (!FrameCodec::fileFits(quint64(total))) {
        platform.messageBox(QStringLiteral("ファイル「%1」は大きすぎて送れません。送れるのは %2 バイトまでです。"
                                           "分割してから送信してください。")
                                .arg(nativePath(path))
                                .arg(quint64(MAX_CHUNK_INDEX) * CHUNK_SIZE + CHUNK_SIZE - 1));
        return;
    }

    m_fileSend = new PacedFileSend(m_socket, std::move(file), path, this);
    connect(m_fileSend, &PacedFileSend::finished, this, [this] {
        m_fileSend->deleteLater();
        m_fileSend = nullptr;
    });
    m_fileSend->start();
}

void CConnSocket::release()
{
    if (m_releaseRequested)
        return;
    m_releaseRequested = true;
    if (m_fileSend)
        m_fileSend->connectionLost();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
    }
    if (m_busy == 0)
        deleteLater();
}

void CConnSocket::leaveBusy()
{
    if (m_releaseRequested) {
        deleteLater();
        return;
    }
    continueLater();
}

// Picks up what waited while a handler or the serial line held this
// connection: frames that arrived meanwhile, then a close of the peer.
void CConnSocket::continueLater()
{
    if (m_waitingForLine || !m_socket)
        return;
    if (m_peerCloseSeen && !m_closeReported)
        QMetaObject::invokeMethod(this, &CConnSocket::OnPeerClosed, Qt::QueuedConnection);
    else if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &CConnSocket::OnDataReady, Qt::QueuedConnection);
}

void CConnSocket::OnDataReady()
{
    // Never re-entered from a dialog of its own handling; a send under way
    // does not stop reading, so two ends sending files to each other never
    // wait on each other.
    if (m_reading || m_waitingForLine || m_releaseRequested || !m_socket)
        return;
    BusyScope busy(this);
    readAvailable();
}

void CConnSocket::OnPeerClosed()
{
    if (m_releaseRequested || m_closeReported || !m_socket)
        return;
    m_connecting = false;
    m_peerCloseSeen = true;
    // Frames the peer sent before closing are handled first, under its own
    // slot, which stays taken until then (see continueLater()).
    if (m_busy > 0 || m_waitingForLine)
        return;
    BusyScope busy(this);
    readAvailable();
    if (m_releaseRequested || m_waitingForLine)
        return;
    m_closeReported = true;
    if (isStation())
        m_pOwner->RemoveClient(m_nSlot);
    else
        emit peerClosed();
}

void CConnSocket::readAvailable()
{
    if (m_reading)
        return;
    const QScopedValueRollback<bool> reading(m_reading, true);
    char buffer[4096];
    while (!readingStopped()) {
        // Peeked, so that what follows a frame that holds reading up stays
        // in the socket (and, beyond its bound, in the kernel).
        const qint64 got = m_socket->peek(buffer, sizeof buffer);
        if (got <= 0)
            return;
        qint64 used = 0;
        while (used < got && !readingStopped()) {
            used += m_decoder.feed(buffer + used, got - used);
            if (m_decoder.frameReady()) {
                handleFrame();
                m_decoder.nextFrame();
            }
        }
        if (!m_releaseRequested)
            m_socket->skip(used);
    }
}

void CConnSocket::handleFrame()
{
    const FrameHeader &header = m_decoder.header();
    switch (header.kind) {
    case FRAME_TEXT:
        handleText();
        break;
    case FRAME_FILE:
        m_files->ReceiveFileChunk(header, m_decoder.payload());
        break;
    case FRAME_RS:
        if (isStation() && m_pSerial)
            relayToLine();
        break;
    default:
        break;
    }
}

void CConnSocket::handleText()
{
    // The decoder kept no more than fits; the line cuts a double-byte
    // character that the limit split.
    const QByteArray &text = m_decoder.payload();
    m_pLine->set(isStation() ? slotPrefix(m_nSlot) + text : text);
    if (m_pHost)
        m_pHost->Redraw();
}

void CConnSocket::relayToLine()
{
    m_waitingForLine = true;
    m_pSerial->WriteByte(m_decoder.payload(), this, [this] {
        m_waitingForLine = false;
        if (!m_releaseRequested)
            continueLater();
    });
}
