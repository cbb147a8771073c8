#include "CSocket.h"

#include "FileReception.h"
#include "KeepAlive.h"
#include "PeerWatch.h"
#include "Timers.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

CConnSocket::CConnSocket(ITimers &timers, QObject *parent)
    : QObject(parent)
    , m_timers(timers)
    , m_decoder(TEXT_KEEP)
    , m_files(new FileReception(this))
    , m_leaveCheck(new QTimer(this))
{
    connect(m_files, &FileReception::fileReceived, this, &CConnSocket::fileReceived);
    connect(m_files, &FileReception::fileRefused, this, &CConnSocket::fileRefused);
    m_leaveCheck->setInterval(LEAVE_CHECK_MS);
    connect(m_leaveCheck, &QTimer::timeout, this, &CConnSocket::checkPeerLeft);
}

CConnSocket::~CConnSocket()
{
    // Ends quietly: the program or the connection's owner is going away.
    if (m_fileSend)
        m_fileSend->disconnect(this);
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
    }
}

void CConnSocket::attach(QTcpSocket *socket)
{
    m_announces = true;
    m_socket = socket;
    m_socket->setParent(this);
    wire();
    setState(State::Open);
    if (m_extensionEnabled && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(FrameCodec::announcementFrame());
        setExtension(Extension::Announced);
    }
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        readLater();
    else
        QMetaObject::invokeMethod(this, &CConnSocket::OnPeerClosed, Qt::QueuedConnection);
}

void CConnSocket::connectToStation(const QString &host, quint16 port, int timeoutMs)
{
    m_socket = new QTcpSocket(this);
    wire();
    connect(m_socket, &QTcpSocket::connected, this, [this] { setState(State::Open); });
    setState(State::Connecting);
    m_socket->connectToHost(host, port);
    KeepAlive::enable(m_socket);
    new PeerWatch(m_socket, m_socket);
    // A Station behind a firewall that drops the attempt would otherwise
    // keep the operator waiting for the system's own limit, minutes long.
    m_timers.singleShot(timeoutMs, m_socket, [this] {
        if (m_state != State::Connecting)
            return;
        m_socket->disconnect(this);
        m_socket->abort();
        emit connectFailed(QAbstractSocket::SocketTimeoutError);
        setState(State::Closed);
    });
}

void CConnSocket::wire()
{
    m_socket->setReadBufferSize(READ_BUFFER_SIZE);
    connect(m_socket, &QTcpSocket::readyRead, this, &CConnSocket::dataArrived);
    connect(m_socket, &QTcpSocket::readyRead, this, &CConnSocket::OnDataReady);
    connect(m_socket, &QTcpSocket::disconnected, this, &CConnSocket::OnPeerClosed);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_state != State::Connecting)
            return;
        m_socket->disconnect(this);
        m_socket->abort();
        emit connectFailed(error);
        setState(State::Closed);
    });
}

void CConnSocket::setExtensionEnabled(bool enabled)
{
    m_extensionEnabled = enabled;
}

void CConnSocket::setExtension(Extension extension)
{
    if (m_extension == extension)
        return;
    m_extension = extension;
    if (extension == Extension::Agreed) {
        // A stream's frames end off segment boundaries: Nagle's algorithm
        // would hold each tail back for the peer's delayed acknowledgement.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->setReadBufferSize(STREAM_READ_BUFFER_SIZE);
    }
    emit extensionChanged(extension);
}

int CConnSocket::unicodeTextLimit() const
{
    return peerHasExtension() ? MAX_EXT_TEXT : 0;
}

bool CConnSocket::carriesFile(quint64 size) const
{
    return peerHasExtension() ? size < EXT_FILE_SIZE_LIMIT : FrameCodec::fileFits(size);
}

void CConnSocket::sendUnicodeText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    if (peerHasExtension() && utf8.size() <= MAX_EXT_TEXT)
        sendFrame(FrameCodec::extTextFrame(utf8));
}

void CConnSocket::sendReceipt(const ReceivedFile &file, FileReceipt receipt)
{
    if (peerHasExtension() && file.transferId != 0)
        sendFrame(FrameCodec::extReceiptFrame(file.transferId, quint8(receipt)));
}

void CConnSocket::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

QHostAddress CConnSocket::peerAddress() const
{
    if (!m_socket)
        return {};
    // The listener takes both address families: an IPv4 Terminal is shown in
    // its IPv4 form, not as an IPv4-mapped IPv6 address.
    const QHostAddress address = m_socket->peerAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

quint16 CConnSocket::peerPort() const
{
    return m_socket ? m_socket->peerPort() : 0;
}

QString CConnSocket::errorString() const
{
    return m_socket ? m_socket->errorString() : QString();
}

void CConnSocket::SendText(const QByteArray &text)
{
    sendFrame(FrameCodec::textFrame(text));
}

void CConnSocket::sendFrame(const QByteArray &frame)
{
    // A peer that does not read leaves it queued in the socket.
    if (isOpen())
        m_socket->write(frame);
}

bool CConnSocket::SendFile(QIODevice *file, const QString &name)
{
    if (!isOpen() || m_fileSend)
        return false;
    if (peerHasExtension()) {
        if (++m_lastTransferId == 0)
            ++m_lastTransferId;
        const QString safeName = FrameCodec::safeFileName(name);
        if (m_sentFiles.size() == REMEMBERED_SENDS)
            m_sentFiles.removeFirst();
        m_sentFiles.append({m_lastTransferId, safeName, quint64(file->size())});
        m_fileSend = new PacedFileSend(m_socket, file, m_timers, m_lastTransferId, safeName, this);
    } else {
        m_fileSend = new PacedFileSend(m_socket, file, m_timers, this);
    }
    connect(m_fileSend, &PacedFileSend::progressed, this, [this] {
        emit sendProgress(m_fileSend->framesSent(), m_fileSend->frameCount(), m_fileSend->secondsLeft(),
                          m_fileSend->waitingForPeer());
    });
    connect(m_fileSend, &PacedFileSend::finished, this, [this](PacedFileSend::Outcome outcome) {
        PacedFileSend *send = m_fileSend;
        m_fileSend = nullptr;
        send->deleteLater();
        emit sendFinished(outcome, send->framesSent(), send->frameCount());
    });
    m_fileSend->start();
    return true;
}

void CConnSocket::cancelSend()
{
    if (m_fileSend)
        m_fileSend->cancel();
}

void CConnSocket::holdReading()
{
    ++m_holds;
    if (m_state == State::Open)
        m_leaveCheck->start();
}

void CConnSocket::resumeReading()
{
    if (m_holds == 0 || --m_holds > 0)
        return;
    m_leaveCheck->stop();
    readLater();
}

void CConnSocket::close()
{
    if (m_state == State::Closed)
        return;
    m_leaveCheck->stop();
    if (m_fileSend)
        m_fileSend->connectionLost();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->close();
    }
    setState(State::Closed);
}

void CConnSocket::readLater()
{
    if (m_readPosted)
        return;
    m_readPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readPosted = false;
            OnDataReady();
        },
        Qt::QueuedConnection);
}

void CConnSocket::OnDataReady()
{
    // Never re-entered from a dialog that a frame's owner opened; a send
    // under way does not stop reading, so two ends sending files to each
    // other never wait on each other.
    if (m_reading || m_readPosted || m_holds > 0 || !m_socket
        || (m_state != State::Open && m_state != State::Draining))
        return;
    // An owner may delete this object from a nested event loop that one of
    // the signals below runs (a dialog): nothing here is touched after that.
    const QPointer<CConnSocket> alive(this);
    m_reading = true;
    char buffer[16384];
    int frames = 0;
    const auto stopped = [&] {
        return !alive || m_holds > 0 || m_state == State::Closed || frames == READ_SHARE_FRAMES;
    };
    while (!stopped()) {
        // Peeked, so that what follows a frame that holds reading up stays
        // in the socket (and, beyond its bound, in the kernel).
        const qint64 got = m_socket->peek(buffer, sizeof buffer);
        if (got <= 0)
            break;
        qint64 used = 0;
        while (used < got && !stopped()) {
            used += m_decoder.feed(buffer + used, got - used);
            if (m_decoder.frameReady()) {
                const FrameHeader header = m_decoder.header();
                const QByteArray payload = m_decoder.payload();
                const bool payloadWhole = m_decoder.droppedBytes() == 0;
                m_decoder.nextFrame();
                ++frames;
                handleFrame(header, payload, payloadWhole);
            }
        }
        if (!alive)
            return;
        if (m_state != State::Closed)
            m_socket->skip(used);
    }
    if (!alive)
        return;
    m_reading = false;
    if (frames == READ_SHARE_FRAMES && m_holds == 0 && m_state != State::Closed) {
        readLater();
        return;
    }
    finishDraining();
}

void CConnSocket::handleFrame(const FrameHeader &header, const QByteArray &payload, bool payloadWhole)
{
    const bool firstFrame = !m_framesSeen;
    m_framesSeen = true;
    switch (header.kind) {
    case FRAME_TEXT:
        emit textReceived(payload);
        break;
    case FRAME_FILE:
        m_files->ReceiveFileChunk(header, payload);
        break;
    case FRAME_RS:
        if (header.announcedVersion() > 0)
            answerAnnouncement(firstFrame);
        else
            emit rsReceived(payload);
        break;
    default:
        if (header.isKnownExtension() && payloadWhole)
            handleExtension(header.kind, payload);
        break;
    }
}

// Only as the first thing a Station sends, and never by a Station itself.
void CConnSocket::answerAnnouncement(bool firstFrame)
{
    if (!firstFrame || !m_extensionEnabled || m_announces || m_extension != Extension::Off)
        return;
    sendFrame(FrameCodec::extHelloFrame(EXT_FEATURES));
    setExtension(Extension::Agreed);
}

void CConnSocket::handleExtension(quint8 kind, const QByteArray &payload)
{
    if (kind == FRAME_EXT_HELLO) {
        quint8 version = 0;
        quint32 features = 0;
        if (m_extension == Extension::Announced && FrameCodec::parseExtHello(payload, &version, &features)
            && version >= EXT_VERSION)
            setExtension(Extension::Agreed);
        return;
    }
    if (m_extension != Extension::Agreed)
        return;
    quint32 transferId = 0;
    switch (kind) {
    case FRAME_EXT_TEXT:
        emit unicodeTextReceived(QString::fromUtf8(payload));
        break;
    case FRAME_EXT_FILE_BEGIN: {
        FrameCodec::ExtFileBegin begin;
        if (FrameCodec::parseExtFileBegin(payload, &begin) && !m_files->beginNamedFile(begin))
            sendFrame(FrameCodec::extReceiptFrame(begin.transferId, quint8(FileReceipt::Refused)));
        break;
    }
    case FRAME_EXT_FILE_DATA: {
        quint32 chunk = 0;
        if (FrameCodec::parseExtFileData(payload, &transferId, &chunk))
            m_files->receiveNamedData(transferId, chunk, payload.constData() + EXT_FILE_DATA_FIXED,
                                      payload.size() - EXT_FILE_DATA_FIXED);
        break;
    }
    case FRAME_EXT_FILE_ABORT:
        if (FrameCodec::parseExtTransferId(payload, &transferId))
            m_files->abortNamedFile(transferId);
        break;
    case FRAME_EXT_RECEIPT: {
        quint8 outcome = 0;
        if (FrameCodec::parseExtReceipt(payload, &transferId, &outcome))
            takeReceipt(transferId, outcome);
        break;
    }
    default:
        break;
    }
}

void CConnSocket::takeReceipt(quint32 transferId, quint8 outcome)
{
    if (outcome < quint8(FileReceipt::Saved) || outcome > quint8(FileReceipt::Refused))
        return;
    const auto sent = std::find_if(m_sentFiles.cbegin(), m_sentFiles.cend(),
                                   [transferId](const SentFile &file) { return file.transferId == transferId; });
    if (sent == m_sentFiles.cend())
        return;
    const SentFile file = *sent;
    const auto receipt = FileReceipt(outcome);
    if (receipt == FileReceipt::Refused && m_fileSend && m_fileSend->transferId() == transferId)
        m_fileSend->refused();
    emit fileReceipt(file.name, file.size, receipt);
}

void CConnSocket::OnPeerClosed()
{
    if (m_state != State::Open && m_state != State::Draining)
        return;
    m_leaveCheck->stop();
    setState(State::Draining);
    readLater();
}

void CConnSocket::checkPeerLeft()
{
    if (m_state == State::Open && m_socket && PeerWatch::hasLeft(m_socket))
        OnPeerClosed();
}

void CConnSocket::finishDraining()
{
    if (m_state != State::Draining || m_holds > 0 || !m_socket)
        return;
    // A close seen behind unread bytes: those are read first.
    if (m_socket->state() == QAbstractSocket::ConnectedState || m_socket->bytesAvailable() > 0)
        return;
    close();
}
