#include "FileSendSession.h"

#include "CSocket.h"
#include "Frame.h"
#include "NativePath.h"
#include "Platform.h"

#include <QFileInfo>
#include <QMap>

FileSendSession::FileSendSession(IPlatform &desktop, CConnSocket *connection)
    : m_desktop(desktop)
    , m_connection(connection)
{
}

bool FileSendSession::begin()
{
    const bool sending = start();
    if (!sending)
        deleteLater();
    return sending;
}

bool FileSendSession::start()
{
    if (m_connection->isSendingFile()) {
        m_desktop.messageBox(QStringLiteral("この相手には前のファイルを送信中です。"
                                            "送信が終わってから、もう一度やり直してください。"));
        return false;
    }
    const QString path = m_desktop.getOpenFileName();
    if (path.isEmpty())
        return false;
    // Kept here until the send takes the file.
    QObject opened;
    QIODevice *file = m_desktop.openFile(path, QIODevice::ReadOnly, &opened);
    if (!file) {
        m_desktop.messageBox(QStringLiteral("ファイル「%1」を開けません。読み取りできるファイルか確かめて、"
                                            "もう一度送信してください。")
                                 .arg(NativePath::of(path)));
        return false;
    }
    m_name = QFileInfo(path).fileName();
    m_size = file->size();
    // The connection may have ended while the dialog was open.
    if (!m_connection || !m_connection->isOpen()) {
        m_desktop.messageBox(QStringLiteral("相手との接続が切れたため、ファイル「%1」は送信しませんでした。"
                                            "接続し直してから、もう一度送信してください。")
                                 .arg(m_name));
        return false;
    }
    if (!m_connection->carriesFile(quint64(m_size))) {
        m_desktop.messageBox(QStringLiteral("ファイル「%1」は大きすぎて送れません。この相手に送れるのは %2 バイトまでです。"
                                            "分割してから送信してください。")
                                 .arg(NativePath::of(path))
                                 .arg(quint64(MAX_CHUNK_INDEX) * CHUNK_SIZE + CHUNK_SIZE - 1));
        return false;
    }
    if (m_connection->isSendingFile()) {
        m_desktop.messageBox(QStringLiteral("この相手には前のファイルを送信中です。"
                                            "送信が終わってから、もう一度やり直してください。"));
        return false;
    }
    setParent(m_connection);
    connect(m_connection, &CConnSocket::sendProgress, this, &FileSendSession::showProgress);
    connect(m_connection, &CConnSocket::sendFinished, this, &FileSendSession::finish);
    return m_connection->SendFile(file, m_name);
}

void FileSendSession::showProgress(int framesSent, int frameCount, int secondsLeft, bool waitingForPeer)
{
    // Only a file with a pause in it takes long enough to show progress.
    if (!m_progress) {
        m_progress = m_desktop.openProgress(frameCount, this);
        connect(m_progress, &IProgress::canceled, m_connection, &CConnSocket::cancelSend);
    }
    QString text = QStringLiteral("ファイル「%1」を送信しています。\n%2 / %3 チャンク送信済み")
                       .arg(m_name)
                       .arg(framesSent)
                       .arg(frameCount);
    if (waitingForPeer)
        text += QStringLiteral("\n相手が受信するのを待っています…");
    else if (secondsLeft >= 0)
        text += QStringLiteral("、残り約 %1 秒").arg(secondsLeft);
    m_progress->setLabelText(text);
    m_progress->setValue(framesSent);
}

void FileSendSession::finish(PacedFileSend::Outcome outcome, int framesSent, int frameCount)
{
    QString message;
    if (outcome == PacedFileSend::Outcome::ConnectionLost)
        message = QStringLiteral("接続が切れたため、ファイル「%1」の送信を途中で終えました（%2 / %3 チャンク送信済み）。"
                                 "接続し直してから、もう一度送信してください。");
    else if (outcome == PacedFileSend::Outcome::ReadFailed)
        message = QStringLiteral("ファイル「%1」の読み込みに失敗したため、送信を中止しました（%2 / %3 チャンク送信済み）。"
                                 "ファイルを確かめて、もう一度送信してください。");
    if (!message.isEmpty()) {
        // Told from the event loop, not from inside the socket handler that
        // ended the send.
        m_desktop.messageBoxLater(message.arg(m_name).arg(framesSent).arg(frameCount));
    }
    static const QMap<PacedFileSend::Outcome, QString> endings {
        {PacedFileSend::Outcome::Sent, QStringLiteral("を送信しました")},
        {PacedFileSend::Outcome::Cancelled, QStringLiteral("の送信をキャンセルしました")},
        {PacedFileSend::Outcome::ConnectionLost, QStringLiteral("の送信は接続が切れたため途中で終わりました")},
        {PacedFileSend::Outcome::ReadFailed, QStringLiteral("の送信は読み込みに失敗したため中止しました")},
        {PacedFileSend::Outcome::Refused, QStringLiteral("の送信は相手の空き容量が足りないため中止しました")},
    };
    emit recorded(QStringLiteral("ファイル「%1」（%2 バイト）%3（%4 / %5 チャンク）")
                      .arg(m_name)
                      .arg(m_size)
                      .arg(endings.value(outcome))
                      .arg(framesSent)
                      .arg(frameCount));
    deleteLater();
}
