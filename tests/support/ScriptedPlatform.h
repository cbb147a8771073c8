#pragma once

#include "CSocket.h"
#include "Journal.h"
#include "Platform.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// A scripted stand-in for the desktop services. Dialogs answer from queues
// (an empty queue answers like Cancel), message boxes and progress dialogs
// are recorded instead of shown, timers run in no real time (unless told
// otherwise) and chosen paths can be made to fail to open. Pass it where the
// programs take their desktop services.
//
//   ScriptedPlatform platform;
//   platform.queueSaveFileName(target, [&] { peer.close(); });
//   ...
//   QCOMPARE(platform.pauses, QList<int>({1000, 1000}));
class ScriptedPlatform : public IPlatform
{
public:
    // Runs while a dialog is "open", before it answers: the place to let
    // events through (spinEvents) or to act as the operator would meanwhile.
    using Action = std::function<void()>;

    ScriptedPlatform();
    ~ScriptedPlatform() override;

    ScriptedPlatform(const ScriptedPlatform &) = delete;
    ScriptedPlatform &operator=(const ScriptedPlatform &) = delete;

    // Next answers of the Open and Save As dialogs; an empty path cancels.
    void queueOpenFileName(const QString &path, Action whileOpen = {});
    void queueSaveFileName(const QString &path, Action whileOpen = {});
    // Next answers of question boxes; an empty queue answers No.
    void queueQuestionAnswer(bool yes) { m_questionAnswers.enqueue(yes); }

    // openFile() fails for `path` when the requested mode includes any of
    // `modes` (by default any mode at all).
    void failOpen(const QString &path, QIODevice::OpenMode modes = QIODevice::ReadWrite);

    // Lets events be handled for `milliseconds`, as a modal loop would.
    static void spinEvents(int milliseconds);

    // What the code under test asked for.
    int openDialogs = 0;
    int saveDialogs = 0;
    QStringList saveCaptions;
    // The delay of every timer started, in order.
    QList<int> pauses;
    QStringList messages;
    QStringList questions;
    struct Progress
    {
        int maximum = 0;
        QStringList labels;
        QList<int> values;
        bool open = true;
        QPointer<IProgress> dialog;
        // What pressing "キャンセル" does, while the dialog is open.
        void pressCancel()
        {
            if (dialog)
                emit dialog->canceled();
        }
    };
    QList<std::shared_ptr<Progress>> progresses;
    struct Opened
    {
        QString path;
        QIODevice::OpenMode mode;
        bool succeeded;
    };
    QList<Opened> openedFiles;

    // Optional hooks, run when a message box shows or a timer is started.
    std::function<void(const QString &)> onMessage;
    std::function<void(int)> onPause;
    // Real time each timer takes, whatever its delay.
    int realPauseMs = 0;
    // Delays that are limits for something else to beat, not pauses: they
    // run their own time and are left out of `pauses`.
    // So is the journal's flush, which no test of pauses expects.
    QSet<int> realDelays {CConnSocket::CONNECT_TIMEOUT_MS, Journal::FlushIntervalMs};
    // Timers whose delay this accepts are started (and listed in `pauses`)
    // but wait for runHeldTimers().
    std::function<bool(int)> holds;
    int heldTimers() const { return int(m_held.size()); }
    // Runs the timers held so far whose context still lives; those they start are held anew.
    void runHeldTimers();

    // Answer of startSockets().
    bool socketsAvailable = true;
    // Answer of dataLocation(): a temporary folder of this platform's own.
    QString dataPath;

    QString getOpenFileName() override;
    QString getSaveFileName(const QString &caption) override;
    void messageBox(const QString &text) override;
    void messageBoxLater(const QString &text) override;
    bool question(const QString &text) override;
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override;
    IProgress *openProgress(int maximum, QObject *owner) override;
    QIODevice *openFile(const QString &path, QIODevice::OpenMode mode, QObject *owner) override;
    bool startSockets() override;
    QString dataLocation() override;

private:
    struct Answer
    {
        QString path;
        Action whileOpen;
    };
    static QString answer(QQueue<Answer> &queue);

    struct Held
    {
        QPointer<QObject> context;
        std::function<void()> then;
    };
    QList<Held> m_held;
    QQueue<Answer> m_openAnswers;
    QQueue<Answer> m_saveAnswers;
    QQueue<bool> m_questionAnswers;
    QList<QPair<QString, QIODevice::OpenMode>> m_failing;
    QTemporaryDir m_data;
    // Context of the messages shown later: they go with this object.
    QObject m_context;
};
