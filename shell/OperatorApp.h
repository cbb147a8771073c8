#pragma once

#include "AppFramework.h"
#include "DisplayLine.h"

#include <QByteArray>
#include <QHash>
#include <QString>

class CConnSocket;
struct ReceivedFile;

// What the operator of either program sees of the link: the status line and
// the message line the view draws, a received text shown and noted, the
// operator's text checked before it goes out, and received files offered
// for saving. A slot of -1 stands for the Terminal's one peer, its Station;
// a slot from 0 for the Station's Terminal in that slot.
class OperatorApp : public AppFramework
{
    Q_OBJECT

public:
    // Whether files of a peer stop being offered after a few left unsaved.
    enum class DeclinedFiles { AlwaysOffer, DiscardAfterLimit };
    static constexpr int MAX_DECLINED_FILES = 3;

    OperatorApp(const QString &programTitle, IPlatform &desktop, int statusCapacity, DeclinedFiles declinedFiles);

    // The commands the menu bar of both programs starts with.
    virtual void OnStart() = 0;
    virtual void OnSend() = 0;
    virtual void OnFileSend() = 0;

    DisplayLine m_status;
    DisplayLine m_message {200};

    // The peer as the operator is told of it: "接続局", "端末 3 ".
    static QString senderName(int slot);
    // Why the operator's text for `what` ("送る文字列") was not sent.
    static QString unencodableMessage(const QString &what, const QString &characters);
    static QString tooLongMessage(const QString &what, int bytes, int limit);
    static QString declinedFilesMessage(int slot);

protected:
    // "開始", "送信" and "ファイル送信", first on the menu bar.
    void addLinkCommands(CMainFrame *frame);
    // "履歴保存".
    void addHistoryCommand(CMainFrame *frame);

    // The status line in CP932, redrawn.
    void setStatus(const QString &text);
    // A text from `slot`: on the message line, in the history and, while
    // the window is inactive, on the desktop.
    void showText(const QByteArray &text, int slot = -1);
    // The operator's text as wire bytes of at most `limit`, or false after
    // telling why it cannot be sent.
    bool wireText(const QString &text, const QString &what, int limit, QByteArray *bytes);
    // Offers a file that arrived from `slot` on `connection`.
    void receiveFile(CConnSocket *connection, const ReceivedFile &file, int slot = -1);
    void tellFileRefused(int slot, quint32 length, qint64 available);
    // The peer in `slot` was sent something or came anew: its files are
    // offered again.
    void resetDeclinedFiles(int slot) { m_declined.remove(slot); }

    // Notes `text` in the history, for `slot`'s peer.
    void record(const QString &text, int slot = -1, HistoryModel::Kind kind = HistoryModel::Kind::Note);
    // The peer's "address:port" the history notes for `slot`; none here.
    virtual QString peerOf(int slot) const;

private:
    DeclinedFiles m_declinedFiles;
    // Files of each peer not saved in a row (Save As cancelled, or the file broken).
    QHash<int, int> m_declined;
};
