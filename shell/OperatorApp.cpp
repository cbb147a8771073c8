#include "OperatorApp.h"

#include "CSocket.h"
#include "CodePage.h"
#include "DisplayText.h"
#include "FileSaveSession.h"
#include "Platform.h"

#include <algorithm>

OperatorApp::OperatorApp(const QString &programTitle, IPlatform &desktop, int statusCapacity,
                         FilesOfGonePeer filesOfGonePeer)
    : AppFramework(programTitle, desktop)
    , m_status(statusCapacity)
    , m_filesOfGonePeer(filesOfGonePeer)
{
}

void OperatorApp::addLinkCommands(CMainFrame *frame)
{
    addCommandItems<OperatorApp>(frame, this,
                                 {{QStringLiteral("開始"), &OperatorApp::OnStart},
                                  {QStringLiteral("送信"), &OperatorApp::OnSend},
                                  {QStringLiteral("ファイル送信"), &OperatorApp::OnFileSend}});
}

void OperatorApp::addHistoryCommand(CMainFrame *frame)
{
    addCommandItems<OperatorApp>(frame, this, {{QStringLiteral("履歴保存"), &OperatorApp::OnSaveHistory}});
}

QString OperatorApp::senderName(int slot)
{
    return slot < 0 ? QStringLiteral("接続局") : QStringLiteral("端末 %1 ").arg(slot);
}

QString OperatorApp::declinedFilesMessage(int slot, const QString &address)
{
    return QStringLiteral("%1（アドレス %2）からのファイルを %3 回続けて保存しなかったため、このアドレスからのファイルは"
                          "%4 分のあいだ保存せずに捨てます。早くまた受け取るには、相手に何か送ってください。")
        .arg(senderName(slot).trimmed(), address)
        .arg(MAX_DECLINED_FILES)
        .arg(DECLINED_MEMORY_MS / 60000);
}

void OperatorApp::setStatus(const QString &text)
{
    QByteArray bytes;
    CodePage::encode(text, &bytes);
    m_status.set(bytes);
    Redraw();
}

void OperatorApp::showText(const QByteArray &text, int slot)
{
    // The line cuts a text too long for it, never inside a character.
    m_message.set(slot < 0 ? text : QByteArray::number(slot) + "> " + text);
    Redraw();
    const QString decoded = CodePage::decode(text);
    record(QStringLiteral("受信: ") + decoded, slot, HistoryModel::Kind::Text);
    callForAttention(slot < 0 ? QString() : QStringLiteral("端末 %1").arg(slot), decoded);
}

void OperatorApp::showUnicodeText(const QString &text, int slot)
{
    m_message.setUnicode(slot < 0 ? text : QString::number(slot) + QStringLiteral("> ") + text);
    Redraw();
    record(QStringLiteral("受信: ") + text, slot, HistoryModel::Kind::Text);
    callForAttention(slot < 0 ? QString() : QStringLiteral("端末 %1").arg(slot), text);
}

void OperatorApp::receiveFile(CConnSocket *connection, const ReceivedFile &file, int slot)
{
    callForAttention(file.name.isEmpty() ? QStringLiteral("ファイルを受信しました")
                                         : QStringLiteral("ファイル「%1」を受信しました").arg(file.name));
    const QueuedFile queued {connection, file, slot, peerOf(slot), addressOf(connection)};
    history().add(FileSaveSession::receivedLine(file), slot, queued.peer);
    // A peer whose files the operator keeps declining, or that keeps
    // sending broken ones, cannot raise one dialog after another.
    if (discardDeclined(queued))
        return;
    if (!m_offering && m_queue.empty()) {
        m_queue.push_back(queued);
        queueChanged(queued, false);
        QMetaObject::invokeMethod(this, &OperatorApp::offerNext, Qt::QueuedConnection);
        return;
    }
    m_queue.push_back(queued);
    history().add(QStringLiteral("保存先を尋ねる順番を待っています（保存待ち %1 件）").arg(m_queue.size()), slot,
                  queued.peer);
    queueChanged(queued, false);
}

int OperatorApp::queuedFiles(int slot) const
{
    return int(std::count_if(m_queue.begin(), m_queue.end(), [slot](const QueuedFile &queued) { return queued.slot == slot; }));
}

int OperatorApp::queuedOn(const CConnSocket *connection) const
{
    return int(std::count_if(m_queue.begin(), m_queue.end(),
                             [connection](const QueuedFile &queued) { return queued.connection == connection; }));
}

void OperatorApp::queueChanged(const QueuedFile &queued, bool removed)
{
    // A peer that sends file after file waits for the operator, in the kernel.
    if (queued.connection) {
        const int waiting = queuedOn(queued.connection);
        if (!removed && waiting == MAX_QUEUED_FILES)
            queued.connection->holdReading();
        else if (removed && waiting == MAX_QUEUED_FILES - 1)
            queued.connection->resumeReading();
    }
    emit queuedFilesChanged(queued.slot, queuedFiles(queued.slot));
}

void OperatorApp::offerNext()
{
    while (!m_offering && !m_queue.empty()) {
        const QueuedFile queued = m_queue.front();
        m_queue.pop_front();
        queueChanged(queued, true);
        if (m_filesOfGonePeer == FilesOfGonePeer::Drop && (!queued.connection || !queued.connection->isOpen())) {
            history().add(QStringLiteral("接続が切れたため、受信したファイルは保存しませんでした"), queued.slot,
                          queued.peer);
            continue;
        }
        if (discardDeclined(queued))
            continue;
        m_offering = true;
        offer(queued);
        m_offering = false;
    }
}

void OperatorApp::offer(const QueuedFile &queued)
{
    auto *session = new FileSaveSession(desktop(), senderName(queued.slot), this);
    connect(session, &FileSaveSession::recorded, this,
            [this, slot = queued.slot, peer = queued.peer](const QString &line) { history().add(line, slot, peer); });
    connect(session, &FileSaveSession::told, this, &OperatorApp::tellFolded);
    // What the receipt needs of the file, not its spool, which goes with the delivery.
    ReceivedFile named = queued.file;
    named.spool.reset();
    connect(session, &FileSaveSession::receiptReady, this,
            [connection = queued.connection, named](FileReceipt receipt) {
                if (connection)
                    connection->sendReceipt(named, receipt);
            });
    // The file waited here, so the connection's frames went on meanwhile.
    if (session->offer(nullptr, queued.file) == FileSaveSession::Outcome::Saving)
        m_declined.remove(queued.address);
    else
        declined(queued.address);
}

bool OperatorApp::discardDeclined(const QueuedFile &queued)
{
    const auto found = m_declined.find(queued.address);
    if (found == m_declined.end() || found->count < MAX_DECLINED_FILES)
        return false;
    history().add(QStringLiteral("ファイル（%1 バイト）を保存せずに捨てました").arg(queued.file.length), queued.slot,
                  queued.peer);
    if (queued.connection)
        queued.connection->sendReceipt(queued.file, FileReceipt::NotSaved);
    if (!found->told) {
        found->told = true;
        tellFolded(QStringLiteral("declined"), declinedFilesMessage(queued.slot, queued.address));
    }
    return true;
}

void OperatorApp::declined(const QString &address)
{
    Declined &entry = m_declined[address];
    ++entry.count;
    const int generation = ++entry.generation;
    desktop().singleShot(DECLINED_MEMORY_MS, this, [this, address, generation] {
        const auto found = m_declined.constFind(address);
        if (found != m_declined.constEnd() && found->generation == generation)
            m_declined.remove(address);
    });
}

QString OperatorApp::extensionAgreedLine()
{
    return QStringLiteral("Tavrin 同士の拡張機能（高速ファイル転送・ファイル名・受信確認・多言語テキスト）で通信します");
}

void OperatorApp::noteExtension(CConnSocket *connection, int slot)
{
    connect(connection, &CConnSocket::extensionChanged, this, [this, slot](CConnSocket::Extension extension) {
        if (extension == CConnSocket::Extension::Agreed)
            record(extensionAgreedLine(), slot);
    });
}

void OperatorApp::resetDeclinedFiles(const CConnSocket *connection)
{
    m_declined.remove(addressOf(connection));
}

void OperatorApp::dropQueuedFiles(const CConnSocket *connection)
{
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->connection != connection) {
            ++it;
            continue;
        }
        const QueuedFile queued = *it;
        it = m_queue.erase(it);
        history().add(QStringLiteral("接続が切れたため、受信したファイルは保存しませんでした"), queued.slot, queued.peer);
        emit queuedFilesChanged(queued.slot, queuedFiles(queued.slot));
    }
}

QString OperatorApp::addressOf(const CConnSocket *connection)
{
    return connection ? connection->peerAddress().toString() : QString();
}

void OperatorApp::tellFolded(const QString &cause, const QString &text)
{
    Folded &folded = m_folded[cause];
    if (folded.shown.contains(text) || folded.held.contains(text))
        return;
    folded.held.append(text);
    if (!folded.showing)
        QMetaObject::invokeMethod(this, [this, cause] { showFolded(cause); }, Qt::QueuedConnection);
}

void OperatorApp::showFolded(const QString &cause)
{
    Folded &folded = m_folded[cause];
    if (folded.showing || folded.held.isEmpty())
        return;
    folded.showing = true;
    folded.shown = folded.held;
    folded.held.clear();
    desktop().messageBox(folded.shown.join(QLatin1Char('\n')));
    // The box was modal: the hash may have grown meanwhile.
    Folded &after = m_folded[cause];
    after.showing = false;
    after.shown.clear();
    if (after.held.isEmpty())
        m_folded.remove(cause);
    else
        showFolded(cause);
}

void OperatorApp::tellFileRefused(int slot, quint64 length, qint64 available)
{
    tellFolded(QStringLiteral("spool room"), FileSaveSession::refusedMessage(senderName(slot), length, available));
}

QString OperatorApp::receiptLine(int slot, const QString &name, FileReceipt receipt)
{
    QString what;
    switch (receipt) {
    case FileReceipt::Saved:
        what = QStringLiteral("保存しました");
        break;
    case FileReceipt::NotSaved:
        what = QStringLiteral("保存しませんでした");
        break;
    case FileReceipt::Broken:
        what = QStringLiteral("受け取れませんでした（壊れていました）");
        break;
    case FileReceipt::Refused:
        what = QStringLiteral("空き容量が足りず受け取りませんでした");
        break;
    }
    return QStringLiteral("%1が「%2」を%3").arg(senderName(slot), DisplayText::visible(name), what);
}

void OperatorApp::tellReceipt(int slot, const QString &name, quint64 size, FileReceipt receipt)
{
    const QString line = receiptLine(slot, name, receipt);
    record(QStringLiteral("%1（%2 バイト）").arg(line).arg(size), slot);
    QString advice;
    switch (receipt) {
    case FileReceipt::Saved:
        callForAttention(line);
        return;
    case FileReceipt::NotSaved:
        advice = QStringLiteral("必要なら相手に確かめてから、もう一度送信してください。");
        break;
    case FileReceipt::Broken:
        advice = QStringLiteral("もう一度送信してください。");
        break;
    case FileReceipt::Refused:
        advice = QStringLiteral("相手に空き容量を増やしてもらってから、もう一度送信してください。");
        break;
    }
    tellFolded(QStringLiteral("receipt"), QStringLiteral("%1。%2").arg(line, advice));
}

void OperatorApp::record(const QString &text, int slot, HistoryModel::Kind kind)
{
    history().add(text, slot, peerOf(slot), kind);
}

QString OperatorApp::peerOf(int) const
{
    return QString();
}

QStringList OperatorApp::closeLosses() const
{
    const int unsaved = int(m_queue.size()) + (m_offering ? 1 : 0);
    if (unsaved == 0)
        return {};
    return {QStringLiteral("保存を待っている受信ファイル %1 件").arg(unsaved)};
}
