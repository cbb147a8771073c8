#pragma once

#include "PacedFileSend.h"

#include <QObject>
#include <QPointer>
#include <QString>

class CConnSocket;
class IPlatform;
class IProgress;

// A file send as the operator sees it, the same in both programs: the file
// chosen in the Open dialog and checked, the send followed in a progress
// dialog with "キャンセル", and its end told when it did not go through.
class FileSendSession : public QObject
{
    Q_OBJECT

public:
    // For a send on `connection`; it then goes with the connection.
    FileSendSession(IPlatform &desktop, CConnSocket *connection);

    // Asks for a file and starts sending it; false when nothing was sent
    // (the operator was told why, or cancelled the dialog). The session
    // deletes itself when nothing was sent or the send has ended, after
    // recorded().
    bool begin();

signals:
    // The file's name and size and how the send ended, for the history.
    void recorded(const QString &line);

private:
    bool start();
    void showProgress(int framesSent, int frameCount, int secondsLeft, bool waitingForPeer);
    void finish(PacedFileSend::Outcome outcome, int framesSent, int frameCount);

    IPlatform &m_desktop;
    QPointer<CConnSocket> m_connection;
    QString m_name;
    qint64 m_size = 0;
    IProgress *m_progress = nullptr;
};
