#include "CSocket.h"

#include "DisplayLine.h"
#include "FileReception.h"
#include "IClientOwner.h"
#include "IRedrawHost.h"
#include "ISerialLine.h"
#include "Platform.h"

#include <QDir>
#include <QScopedValueRollback>
#include <QTcpSocket>

namespace {
// Unread bytes a connection may hold while its handler is stalled (a modal
// dialog); the rest waits in the kernel and throttles the peer.
constexpr qint64 READ_BUFFER_SIZE = 64 * 1024;
// Unsent bytes a send may leave queued before it waits for the peer.
constexpr qint64 SEND_HIGH_WATER = 64 * 1024;
constexpr int SEND_WAIT_MS = 1000;
constexpr int CHUNK_PAUSE_MS = 1000;

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

void CConnSocket::connectToStation(const QString &host, quint16 port)
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
        emit connectFailed(m_socket->errorString());
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
    if (!isConnected())
        return;
    BusyScope busy(this);
    m_socket->write(frame);
    m_socket->flush();
    drainSendBuffer();
}

bool CConnSocket::drainSendBuffer()
{
    while (isConnected() && m_socket->bytesToWrite() > SEND_HIGH_WATER)
        m_socket->waitForBytesWritten(SEND_WAIT_MS);
    return isConnected();
}

void CConnSocket::SendFile()
{
    if (!isConnected())
        return;
    BusyScope busy(this);
    IPlatform &platform = Platform::get();
    const QString path = platform.getOpenFileName();
    if (path.isEmpty() || !isConnected())
        return;
    const std::unique_ptr<QIODevice> file = platform.openFile(path, QIODevice::ReadOnly);
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

    FrameHeader header;
    header.kind = FRAME_FILE;
    header.length = quint32(total);
    const quint32 fullChunks = header.length / CHUNK_SIZE;
    QByteArray frame(FRAME_HEADER_SIZE + CHUNK_SIZE, Qt::Uninitialized);
    for (quint32 i = 0; i <= fullChunks; ++i) {
        const qint64 size = i < fullChunks ? CHUNK_SIZE : header.length % CHUNK_SIZE;
        if (size > 0 && file->read(frame.data() + FRAME_HEADER_SIZE, size) != size) {
            // A short frame would put the receiver out of step; stop between frames.
            platform.messageBox(QStringLiteral("ファイル「%1」の読み込みに失敗したため、送信を中止しました。"
                                               "ファイルを確かめて、もう一度送信してください。")
                                    .arg(nativePath(path)));
            return;
        }
        if (!isConnected())
            return;
        header.index = quint16(i);
        header.encode(frame.data());
        m_socket->write(frame.constData(), FRAME_HEADER_SIZE + size);
        m_socket->flush();
        if (!drainSendBuffer())
            return;
        if (i < fullChunks)
            platform.sleep(CHUNK_PAUSE_MS);
    }
}

void CConnSocket::release()
{
    if (m_releaseRequested)
        return;
    m_releaseRequested = true;
    if (m_socket)
        m_socket->disconnect(this);
    // A peer that closed while a handler of ours was busy (a Save As dialog)
    // may have sent more frames before closing: the running handler still
    // takes them from the buffer, and the socket closes when it returns.
    m_finishBuffered = m_busy > 0 && m_peerCloseSeen;
    if (m_finishBuffered)
        return;
    if (m_socket)
        m_socket->close();
    if (m_busy == 0)
        deleteLater();
}

void CConnSocket::leaveBusy()
{
    if (m_releaseRequested) {
        if (m_finishBuffered && m_socket && m_socket->bytesAvailable() > 0) {
            // The busy handler was a send: take the closed peer's last frames
            // now; leaving this scope comes back here to close.
            BusyScope busy(this);
            readAvailable();
            return;
        }
        if (m_socket)
            m_socket->close();
        deleteLater();
        return;
    }
    if (m_peerCloseSeen && !m_closeReported)
        QMetaObject::invokeMethod(this, &CConnSocket::OnPeerClosed, Qt::QueuedConnection);
    else if (m_socket && m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &CConnSocket::OnDataReady, Qt::QueuedConnection);
}

void CConnSocket::OnDataReady()
{
    // Never re-entered from a dialog of its own handling; a send under way
    // does not stop reading, so two ends sending files to each other never
    // wait on each other.
    if (m_reading || m_releaseRequested || !m_socket)
        return;
    BusyScope busy(this);
    readAvailable();
}

void CConnSocket::OnPeerClosed()
{
    if (m_releaseRequested || m_closeReported || !m_socket)
        return;
    if (m_busy > 0) {
        m_peerCloseSeen = true;
        // The Station frees the slot at once; this object goes only once
        // its running handler has returned (see release()).
        if (isStation()) {
            m_closeReported = true;
            m_pOwner->RemoveClient(m_nSlot);
        }
        return;
    }
    BusyScope busy(this);
    m_peerCloseSeen = false;
    m_connecting = false;
    readAvailable();
    if (m_releaseRequested)
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
        const qint64 got = m_socket->read(buffer, sizeof buffer);
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
            m_pSerial->WriteByte(m_decoder.payload());
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
