#pragma once

#include "FileReception.h"

#include <QObject>
#include <QString>

class CConnSocket;
class IPlatform;
class IProgress;
class SpoolDelivery;

// A received file as the operator sees it, the same in both programs: told
// when it arrived incomplete, else saved where the operator says in the Save
// As dialog, its name (if it came with one) suggested (asked again while the target, links followed, lies in a chunk
// directory) and moved there, a copy across file systems followed in a
// progress dialog once it takes long. The connection's reading, when one is
// given, is held while the dialogs are open, so that its frames are handled
// in order. What went wrong is told by told(), one cause at a time.
class FileSaveSession : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        // Moved or being copied to the target; a failure is told on its own.
        Saving,
        // The operator cancelled the Save As dialog.
        NotSaved,
        // Incomplete: the operator was told.
        Lost,
    };

    // A copy that lasts longer than this shows a progress dialog.
    static constexpr int COPY_PROGRESS_DELAY_MS = 500;

    // For a file of `sender` ("端末 3 ", "接続局").
    FileSaveSession(IPlatform &desktop, const QString &sender, QObject *parent = nullptr);
    ~FileSaveSession() override;

    // Offers `file` that came on `connection` (null: nothing to hold). The
    // session deletes itself once what became of the file is known: a copy
    // takes it along.
    Outcome offer(CConnSocket *connection, const ReceivedFile &file);
    // The same, for a file whose history nobody keeps, told in plain
    // message boxes.
    static Outcome offer(IPlatform &desktop, CConnSocket *connection, const ReceivedFile &file,
                         const QString &sender);

    // The history's line for a file that arrived.
    static QString receivedLine(const ReceivedFile &file);
    // That a file of `sender` was not taken for want of room in the spool's
    // file system.
    static QString refusedMessage(const QString &sender, quint64 length, qint64 available);

    static constexpr const char *BrokenCause = "broken file";
    static constexpr const char *SaveFailedCause = "save failed";

signals:
    // One line of what became of the file, for the operator's history.
    void recorded(const QString &line);
    // A message for the operator, of `cause` (BrokenCause, SaveFailedCause).
    void told(const QString &cause, const QString &text);
    // What became of the file, once known, for its sender.
    void receiptReady(FileReceipt receipt);

private:
    void deliver(const ReceivedFile &file, const QString &target, const QString &written);
    void delivered(const QString &target, bool ok, const QString &error);

    IPlatform &m_desktop;
    QString m_sender;
    IProgress *m_progress = nullptr;
};
