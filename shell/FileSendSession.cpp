#include "FileSendSession.h"

#include "CSocket.h"
#include "Frame.h"
#include "NativePath.h"
#include "Platform.h"

#include <QFileInfo>
#include <QMap>

#include <algorithm>
#include <utility>

namespace {
const QString PeersSeparator = QStringLiteral("、");

QString busyMessage()
{
    return QStringLiteral("この相手には前のファイルを送信中です。送信が終わってから、もう一度やり直してください。");
}

QString unreadableMessage(const QString &path)
{
    return QStringLiteral("ファイル「%1」を開けません。読み取りできるファイルか確かめて、もう一度送信してください。")
        .arg(NativePath::of(path));
}
}

FileSendSession::FileSendSession(IPlatform &desktop, CConnSocket *connection)
    : m_desktop(desktop)
{
    m_sends.push_back({connection, QString()});
}

FileSendSession::FileSendSession(IPlatform &desktop, const QList<QPointer<CConnSocket>> &connections,
                                 const QStringList &names, QObject *parent)
    : QObject(parent)
    , m_desktop(desktop)
{
    for (qsizetype i = 0; i < connections.size(); ++i)
        m_sends.push_back({connections.at(i), names.value(i)});
}

bool FileSendSession::begin()
{
    if (!tellLeftOut(QString())) {
        deleteLater();
        return false;
    }
    return begin(m_desktop.getOpenFileName());
}

bool FileSendSession::begin(const QString &path)
{
    const bool sending = !path.isEmpty() && start(path);
    if (!sending)
        deleteLater();
    return sending;
}

bool FileSendSession::usable(const Send &send) const
{
    return send.connection && send.connection->isOpen() && !send.connection->isSendingFile();
}

bool FileSendSession::tellLeftOut(const QString &file)
{
    QStringList gone;
    QStringList busy;
    for (const Send &send : m_sends) {
        if (!send.connection || !send.connection->isOpen())
            gone.append(send.name);
        else if (send.connection->isSendingFile())
            busy.append(send.name);
    }
    if (single()) {
        // Before the file is chosen the caller has checked the connection.
        if (!file.isEmpty() && !gone.isEmpty()) {
            m_desktop.messageBox(QStringLiteral("相手との接続が切れたため、ファイル「%1」は送信しませんでした。"
                                                "接続し直してから、もう一度送信してください。")
                                     .arg(file));
            return false;
        }
        if (!busy.isEmpty()) {
            m_desktop.messageBox(busyMessage());
            return false;
        }
        return true;
    }
    const bool someLeft = size_t(gone.size() + busy.size()) < m_sends.size();
    // Those left out are told together, once the file is chosen.
    if (file.isEmpty() && someLeft)
        return true;
    const QString what = file.isEmpty() ? QStringLiteral("ファイル") : QStringLiteral("ファイル「%1」").arg(file);
    QStringList told;
    if (!gone.isEmpty())
        told.append(QStringLiteral("%1 は接続を切ったため、%2を送信しませんでした。").arg(gone.join(PeersSeparator), what));
    if (!busy.isEmpty())
        told.append(QStringLiteral("%1 には前のファイルを送信中のため、%2を送信しませんでした。"
                                   "送信が終わってから、もう一度やり直してください。")
                        .arg(busy.join(PeersSeparator), what));
    if (!told.isEmpty())
        m_desktop.messageBox(told.join(QLatin1Char('\n')));
    return someLeft;
}

bool FileSendSession::start(const QString &path)
{
    // Kept here until the sends take the files.
    QObject opened;
    QIODevice *file = m_desktop.openFile(path, QIODevice::ReadOnly, &opened);
    if (!file) {
        m_desktop.messageBox(unreadableMessage(path));
        return false;
    }
    if (!FrameCodec::fileFits(quint64(file->size()))) {
        m_desktop.messageBox(QStringLiteral("ファイル「%1」は大きすぎて送れません。送れるのは %2 バイトまでです。"
                                            "分割してから送信してください。")
                                 .arg(NativePath::of(path))
                                 .arg(quint64(MAX_CHUNK_INDEX) * CHUNK_SIZE + CHUNK_SIZE - 1));
        return false;
    }
    m_name = QFileInfo(path).fileName();
    m_size = file->size();
    // The connections may have ended while the dialog was open.
    if (!tellLeftOut(m_name))
        return false;
    // Each connection reads the file for itself, at its own pace.
    std::vector<QIODevice *> files(m_sends.size(), nullptr);
    for (size_t i = 0; i < m_sends.size(); ++i) {
        if (!usable(m_sends[i]))
            continue;
        files[i] = file ? std::exchange(file, nullptr) : m_desktop.openFile(path, QIODevice::ReadOnly, &opened);
        if (!files[i]) {
            m_desktop.messageBox(unreadableMessage(path));
            return false;
        }
    }
    if (single())
        setParent(m_sends.front().connection);
    // Known before the first frame, for the progress of the whole.
    for (size_t i = 0; i < m_sends.size(); ++i) {
        if (files[i])
            m_sends[i].frameCount = int(files[i]->size() / CHUNK_SIZE) + 1;
    }
    int started = 0;
    // A file of one frame is sent, and ended, before SendFile returns.
    m_starting = true;
    for (size_t i = 0; i < m_sends.size(); ++i) {
        Send &send = m_sends[i];
        if (!files[i])
            continue;
        CConnSocket *connection = send.connection;
        send.running = true;
        connect(connection, &CConnSocket::sendProgress, this,
                [this, i](int framesSent, int frameCount, int secondsLeft, bool waitingForPeer) {
                    showProgress(i, framesSent, frameCount, secondsLeft, waitingForPeer);
                });
        connect(connection, &CConnSocket::sendFinished, this,
                [this, i](PacedFileSend::Outcome outcome, int framesSent, int frameCount) {
                    finish(i, outcome, framesSent, frameCount);
                });
        if (!single())
            connect(connection, &QObject::destroyed, this, [this, i] { ended(i); });
        if (connection->SendFile(files[i])) {
            ++started;
        } else {
            connection->disconnect(this);
            send.running = false;
            send.frameCount = 0;
        }
    }
    m_starting = false;
    if (started > 0)
        endIfDone();
    return started > 0;
}

void FileSendSession::showProgress(size_t index, int framesSent, int frameCount, int secondsLeft, bool waitingForPeer)
{
    Send &send = m_sends[index];
    send.framesSent = framesSent;
    send.frameCount = frameCount;
    send.secondsLeft = secondsLeft;
    send.waitingForPeer = waitingForPeer;
    int sent = 0;
    int count = 0;
    int longest = 0;
    bool waiting = false;
    QStringList names;
    for (const Send &each : m_sends) {
        if (each.frameCount == 0)
            continue;
        sent += each.framesSent;
        count += each.frameCount;
        names.append(each.name);
        if (each.running) {
            longest = std::max(longest, each.secondsLeft);
            waiting = waiting || each.waitingForPeer;
        }
    }
    // Only a file with a pause in it takes long enough to show progress.
    if (!m_progress) {
        m_progress = m_desktop.openProgress(count, this);
        connect(m_progress, &IProgress::canceled, this, [this] {
            for (const Send &each : m_sends) {
                if (each.running && each.connection)
                    each.connection->cancelSend();
            }
        });
    }
    QString text = single() ? QStringLiteral("ファイル「%1」を送信しています。\n").arg(m_name)
                            : QStringLiteral("ファイル「%1」を %2 に送信しています。\n").arg(m_name, names.join(PeersSeparator));
    text += QStringLiteral("%1 / %2 チャンク送信済み").arg(sent).arg(count);
    if (waiting)
        text += QStringLiteral("\n相手が受信するのを待っています…");
    else
        text += QStringLiteral("、残り約 %1 秒").arg(longest);
    m_progress->setLabelText(text);
    m_progress->setValue(sent);
}

void FileSendSession::finish(size_t index, PacedFileSend::Outcome outcome, int framesSent, int frameCount)
{
    Send &send = m_sends[index];
    send.framesSent = framesSent;
    send.frameCount = frameCount;
    if (send.connection)
        send.connection->disconnect(this);
    QString failure;
    if (outcome == PacedFileSend::Outcome::ConnectionLost)
        failure = single() ? QStringLiteral("接続が切れたため、ファイル「%1」の送信を途中で終えました（%2 / %3 チャンク送信済み）。"
                                            "接続し直してから、もう一度送信してください。")
                           : QStringLiteral("%1: 接続が切れたため途中で終えました（%2 / %3 チャンク送信済み）");
    else if (outcome == PacedFileSend::Outcome::ReadFailed)
        failure = single() ? QStringLiteral("ファイル「%1」の読み込みに失敗したため、送信を中止しました（%2 / %3 チャンク送信済み）。"
                                            "ファイルを確かめて、もう一度送信してください。")
                           : QStringLiteral("%1: 読み込みに失敗したため中止しました（%2 / %3 チャンク送信済み）");
    if (!failure.isEmpty()) {
        failure = failure.arg(single() ? m_name : send.name, QString::number(framesSent), QString::number(frameCount));
        // Told from the event loop, not from inside the socket handler that
        // ended the send.
        if (single())
            m_desktop.messageBoxLater(failure);
        else
            m_failures.append(failure);
    }
    static const QMap<PacedFileSend::Outcome, QString> endings {
        {PacedFileSend::Outcome::Sent, QStringLiteral("を送信しました")},
        {PacedFileSend::Outcome::Cancelled, QStringLiteral("の送信をキャンセルしました")},
        {PacedFileSend::Outcome::ConnectionLost, QStringLiteral("の送信は接続が切れたため途中で終わりました")},
        {PacedFileSend::Outcome::ReadFailed, QStringLiteral("の送信は読み込みに失敗したため中止しました")},
    };
    emit recorded(int(index), QStringLiteral("ファイル「%1」（%2 バイト）%3（%4 / %5 チャンク）")
                                  .arg(m_name, QString::number(m_size), endings.value(outcome),
                                       QString::number(framesSent), QString::number(frameCount)));
    ended(index);
}

void FileSendSession::ended(size_t index)
{
    m_sends[index].running = false;
    endIfDone();
}

void FileSendSession::endIfDone()
{
    if (m_starting || std::any_of(m_sends.begin(), m_sends.end(), [](const Send &send) { return send.running; }))
        return;
    if (!m_failures.isEmpty())
        m_desktop.messageBoxLater(QStringLiteral("ファイル「%1」の送信を途中で終えた相手があります。\n%2\n"
                                                 "接続し直すかファイルを確かめてから、もう一度送信してください。")
                                      .arg(m_name, m_failures.join(QLatin1Char('\n'))));
    deleteLater();
}
