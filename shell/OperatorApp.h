#pragma once

#include "AppFramework.h"
#include "DisplayLine.h"
#include "FileReception.h"

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>

class CConnSocket;

// What the operator of either program sees of the link: the status line and
// the message line the view draws, a received text shown and noted, and
// received files offered for saving, one Save As dialog at a time. A slot of -1 stands for the
// Terminal's one peer, its Station; a slot from 0 for the Station's
// Terminal in that slot.
class OperatorApp : public AppFramework
{
    Q_OBJECT

public:
    // Whether a file still waiting for its Save As is offered once its
    // connection has ended.
    enum class FilesOfGonePeer { Offer, Drop };
    // Files of one address left unsaved in a row, within DECLINED_MEMORY_MS
    // of each other, after which its files are no longer offered.
    static constexpr int MAX_DECLINED_FILES = 3;
    static constexpr int DECLINED_MEMORY_MS = 10 * 60 * 1000;
    // Files of one connection waiting for the Save As dialog; at this many
    // its reading is held until one is offered.
    static constexpr int MAX_QUEUED_FILES = 16;
    // Whether connections offer our extension (bool, true when absent), in
    // each program's settings.
    static constexpr const char *ExtensionKey = "Link/Extension";

    OperatorApp(const QString &programTitle, IPlatform &desktop, int statusCapacity, FilesOfGonePeer filesOfGonePeer);

    // The commands the menu bar of both programs starts with.
    virtual void OnStart() = 0;
    virtual void OnSend() = 0;
    virtual void OnFileSend() = 0;

    DisplayLine m_status;
    DisplayLine m_message {200};

    // Received files waiting for their Save As dialog, the open one not included.
    int queuedFiles() const { return int(m_queue.size()); }
    int queuedFiles(int slot) const;

    // The peer as the operator is told of it: "接続局", "端末 3 ".
    static QString senderName(int slot);
    static QString declinedFilesMessage(int slot, const QString &address);
    static QString extensionAgreedLine();
    // What `slot`'s peer did with the file `name` it was sent, for the
    // history: "端末 2 が「report.pdf」を保存しました".
    static QString receiptLine(int slot, const QString &name, FileReceipt receipt);

signals:
    // queuedFiles(slot) changed.
    void queuedFilesChanged(int slot, int count);

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
    // The same for a text that came in UTF-8, shown whole.
    void showUnicodeText(const QString &text, int slot = -1);
    // Queues a file that arrived from `slot` on `connection` for its Save As.
    void receiveFile(CConnSocket *connection, const ReceivedFile &file, int slot = -1);
    void tellFileRefused(int slot, quint64 length, qint64 available);
    // `slot`'s peer told what it did with a file we sent it: noted, and
    // told unless it was saved.
    void tellReceipt(int slot, const QString &name, quint64 size, FileReceipt receipt);
    // Notes in the history, for `slot`, when `connection` agrees on our extension.
    void noteExtension(CConnSocket *connection, int slot = -1);
    // The peer of `connection` was sent something: its files are offered again.
    void resetDeclinedFiles(const CConnSocket *connection);
    // Drops, with a note, the files of `connection` that wait for their Save As.
    void dropQueuedFiles(const CConnSocket *connection);

    // Shows `text` in a message box from the event loop. While a box of
    // `cause` is open, further texts of that cause are held and shown
    // together in one box once it is closed; a repeat of a held or shown
    // text is left out.
    void tellFolded(const QString &cause, const QString &text);

    // Notes `text` in the history, for `slot`'s peer.
    void record(const QString &text, int slot = -1, HistoryModel::Kind kind = HistoryModel::Kind::Note);
    // Received files not yet saved; the programs add their connections.
    QStringList closeLosses() const override;
    // The peer's "address:port" the history notes for `slot`; none here.
    virtual QString peerOf(int slot) const;

private:
    struct QueuedFile
    {
        QPointer<CConnSocket> connection;
        ReceivedFile file;
        int slot;
        QString peer;
        QString address;
    };
    struct Declined
    {
        int count = 0;
        int generation = 0;
        bool told = false;
    };
    struct Folded
    {
        bool showing = false;
        QStringList shown;
        QStringList held;
    };

    void offerNext();
    void offer(const QueuedFile &queued);
    // True when the file was not offered: its address declined too many.
    bool discardDeclined(const QueuedFile &queued);
    void declined(const QString &address);
    void queueChanged(const QueuedFile &queued, bool removed);
    int queuedOn(const CConnSocket *connection) const;
    void showFolded(const QString &cause);
    static QString addressOf(const CConnSocket *connection);

    FilesOfGonePeer m_filesOfGonePeer;
    std::deque<QueuedFile> m_queue;
    bool m_offering = false;
    QHash<QString, Declined> m_declined;
    QHash<QString, Folded> m_folded;
};
