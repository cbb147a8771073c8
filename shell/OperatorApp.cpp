#include "OperatorApp.h"

#include "CSocket.h"
#include "CodePage.h"
#include "FileSaveSession.h"
#include "Platform.h"

OperatorApp::OperatorApp(const QString &programTitle, IPlatform &desktop, int statusCapacity,
                         DeclinedFiles declinedFiles)
    : AppFramework(programTitle, desktop)
    , m_status(statusCapacity)
    , m_declinedFiles(declinedFiles)
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

QString OperatorApp::unencodableMessage(const QString &what, const QString &characters)
{
    return QStringLiteral("%1に送れない文字「%2」が含まれているため、送信しませんでした。"
                          "その文字を除いて、もう一度入力してください。")
        .arg(what, characters);
}

QString OperatorApp::tooLongMessage(const QString &what, int bytes, int limit)
{
    return QStringLiteral("%1が長すぎるため、送信しませんでした（%2バイト）。"
                          "%3バイト以内（全角は1文字2バイト）にして、もう一度入力してください。")
        .arg(what)
        .arg(bytes)
        .arg(limit);
}

QString OperatorApp::declinedFilesMessage(int slot)
{
    return QStringLiteral("端末 %1 からのファイルを %2 回続けて保存しなかったため、この端末からのファイルは"
                          "これから保存せずに捨てます。その端末に何か送るか、端末が接続し直すと、また保存先を尋ねます。")
        .arg(slot)
        .arg(MAX_DECLINED_FILES);
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

bool OperatorApp::wireText(const QString &text, const QString &what, int limit, QByteArray *bytes)
{
    if (!CodePage::encode(text, bytes)) {
        desktop().messageBox(unencodableMessage(what, CodePage::unencodable(text)));
        return false;
    }
    if (bytes->size() > limit) {
        desktop().messageBox(tooLongMessage(what, int(bytes->size()), limit));
        return false;
    }
    return true;
}

void OperatorApp::receiveFile(CConnSocket *connection, const ReceivedFile &file, int slot)
{
    callForAttention(QStringLiteral("ファイルを受信しました"));
    // A peer whose files the operator keeps declining, or that keeps
    // sending broken ones, cannot raise one dialog after another.
    int &declined = m_declined[slot];
    if (m_declinedFiles == DeclinedFiles::DiscardAfterLimit && declined >= MAX_DECLINED_FILES) {
        record(QStringLiteral("ファイル（%1 バイト）を受信しましたが、保存せずに捨てました").arg(file.length), slot);
        if (declined++ == MAX_DECLINED_FILES)
            desktop().messageBoxLater(declinedFilesMessage(slot));
        return;
    }
    auto *session = new FileSaveSession(desktop(), senderName(slot), this);
    connect(session, &FileSaveSession::recorded, this,
            [this, slot, peer = peerOf(slot)](const QString &line) { history().add(line, slot, peer); });
    if (session->offer(connection, file) == FileSaveSession::Outcome::Saving)
        m_declined.remove(slot);
    else
        ++m_declined[slot];
}

void OperatorApp::tellFileRefused(int slot, quint32 length, qint64 available)
{
    FileSaveSession::tellRefused(desktop(), senderName(slot), length, available);
}

void OperatorApp::record(const QString &text, int slot, HistoryModel::Kind kind)
{
    history().add(text, slot, peerOf(slot), kind);
}

QString OperatorApp::peerOf(int) const
{
    return QString();
}
