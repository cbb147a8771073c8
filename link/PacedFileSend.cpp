#include "PacedFileSend.h"

#include "Frame.h"
#include "Platform.h"
#include "SendQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Shown from the event loop, not from inside the socket handler that ended
// the send; dropped if the services changed meanwhile (a test ended).
void tellLater(const QString &text)
{
    IPlatform *services = &Platform::get();
    QTimer::singleShot(0, QCoreApplication::instance(), [services, text] {
        if (&Platform::get() == services)
            services->messageBox(text);
    });
}
}

PacedFileSend::PacedFileSend(QTcpSocket *socket, std::unique_ptr<QIODevice> file, const QString &path,
                             QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_file(std::move(file))
    , m_name(QFileInfo(path).fileName())
    , m_length(quint32(m_file->size()))
    , m_fullChunks(m_length / CHUNK_SIZE)
{
    m_recheck.setSingleShot(true);
    connect(&m_recheck, &QTimer::timeout, this, &PacedFileSend::trySend);
}

PacedFileSend::~PacedFileSend() = default;

void PacedFileSend::start()
{
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PacedFileSend::trySend);
    connect(m_socket, &QTcpSocket::disconnected, this, &PacedFileSend::connectionLost);
    // Only a file with a pause in it takes long enough to show progress.
    if (m_fullChunks > 0)
        m_progress = Platform::get().openProgress(frameCount(), [this] { finish(); });
    sendNext();
}

void PacedFileSend::sendNext()
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        connectionLost();
        return;
    }
    const bool last = quint32(m_next) == m_fullChunks;
    const qint64 size = last ? m_length % CHUNK_SIZE : CHUNK_SIZE;
    const QByteArray chunk = m_file->read(size);
    if (chunk.size() != size) {
        // A short frame would put the receiver out of step.
        finish(QStringLiteral("ファイル「%1」の読み込みに失敗したため、送信を中止しました（%2 / %3 チャンク送信済み）。"
                              "ファイルを確かめて、もう一度送信してください。")
                   .arg(m_name)
                   .arg(m_next)
                   .arg(frameCount()));
        return;
    }
    const QByteArray frame = FrameCodec::fileFrame(m_length, quint16(m_next), chunk);
    // Set first: flush() reports bytesWritten at once, which comes back to
    // trySend().
    m_pauseRunning = !last;
    if (m_socket->write(frame) != frame.size()) {
        connectionLost();
        return;
    }
    ++m_next;
    // Hands the frame to the kernel now, without waiting, so that the pause
    // runs after it.
    m_socket->flush();
    if (m_done)
        return;
    if (last) {
        finish();
        return;
    }
    Platform::get().singleShot(CHUNK_PAUSE_MS, this, [this] {
        m_pauseRunning = false;
        trySend();
    });
    showProgress();
}

void PacedFileSend::trySend()
{
    if (m_done || m_pauseRunning || m_next == frameCount())
        return;
    const bool peerBehind = SendQueue::heldBackBytes(m_socket) > SEND_HIGH_WATER;
    if (peerBehind != m_waitingForPeer) {
        m_waitingForPeer = peerBehind;
        showProgress();
    }
    if (peerBehind) {
        if (!m_recheck.isActive()) {
            m_recheck.start(m_recheckMs);
            m_recheckMs = qMin(2 * m_recheckMs, LAST_RECHECK_MS);
        }
        return;
    }
    m_recheckMs = FIRST_RECHECK_MS;
    sendNext();
}

void PacedFileSend::connectionLost()
{
    if (m_done)
        return;
    finish(QStringLiteral("接続が切れたため、ファイル「%1」の送信を途中で終えました（%2 / %3 チャンク送信済み）。"
                          "接続し直してから、もう一度送信してください。")
               .arg(m_name)
               .arg(m_next)
               .arg(frameCount()));
}

void PacedFileSend::finish(const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_recheck.stop();
    m_socket->disconnect(this);
    m_progress.reset();
    if (!message.isEmpty())
        tellLater(message);
    emit finished();
}

void PacedFileSend::showProgress()
{
    if (!m_progress)
        return;
    QString text = QStringLiteral("ファイル「%1」を送信しています。\n%2 / %3 チャンク送信済み")
                       .arg(m_name)
                       .arg(m_next)
                       .arg(frameCount());
    // Each frame sent but the last is followed by a pause, over unless running.
    const int pausesOver = m_next - (m_pauseRunning ? 1 : 0);
    if (m_waitingForPeer)
        text += QStringLiteral("\n相手が受信するのを待っています…");
    else
        text += QStringLiteral("、残り約 %1 秒").arg(int(m_fullChunks) - pausesOver);
    m_progress->setLabelText(text);
    m_progress->setValue(m_next);
}
