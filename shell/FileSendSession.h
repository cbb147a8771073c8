#pragma once

#include "PacedFileSend.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <vector>

class CConnSocket;
class IPlatform;
class IProgress;

// A file send as the operator sees it, the same in both programs: the file
// chosen in the Open dialog (or given) and checked, the send followed in a
// progress dialog with "キャンセル", and its end told when it did not go
// through. One file may go to several peers at once: each connection opens
// it for itself and sends its own frames at its own pace, while one progress
// dialog counts the frames of all and its キャンセル stops them all.
class FileSendSession : public QObject
{
    Q_OBJECT

public:
    // For a send on `connection`; it then goes with the connection.
    FileSendSession(IPlatform &desktop, CConnSocket *connection);
    // For the same file on each of `connections`, named to the operator
    // by `names` ("端末 3"); a connection already gone may be null. The
    // session is `parent`'s child.
    FileSendSession(IPlatform &desktop, const QList<QPointer<CConnSocket>> &connections, const QStringList &names,
                    QObject *parent);

    // Asks for a file, or takes `path`, and starts sending it; false when
    // nothing was sent (the operator was told why, or cancelled the
    // dialog). The session deletes itself when nothing was sent or every
    // send has ended, after recorded().
    bool begin();
    bool begin(const QString &path);

signals:
    // The file's name and size and how the send on connection `index` (in
    // the order given) ended, for the history.
    void recorded(int index, const QString &line);

private:
    struct Send
    {
        QPointer<CConnSocket> connection;
        QString name;
        bool running = false;
        int framesSent = 0;
        int frameCount = 0;
        int secondsLeft = 0;
        bool waitingForPeer = false;
    };

    bool usable(const Send &send) const;
    // Tells, once, which peers were left out and why; false when none is left.
    bool tellLeftOut(const QString &what);
    bool start(const QString &path);
    void showProgress(size_t index, int framesSent, int frameCount, int secondsLeft, bool waitingForPeer);
    void finish(size_t index, PacedFileSend::Outcome outcome, int framesSent, int frameCount);
    void ended(size_t index);
    void endIfDone();
    bool single() const { return m_sends.size() == 1 && m_sends.front().name.isEmpty(); }

    IPlatform &m_desktop;
    std::vector<Send> m_sends;
    QString m_name;
    qint64 m_size = 0;
    IProgress *m_progress = nullptr;
    bool m_starting = false;
    // How the sends that did not go through ended, one line each.
    QStringList m_failures;
};
