#pragma once

#include "Platform.h"

#include <QList>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// A scripted stand-in for the desktop services. Dialogs answer from queues
// (an empty queue answers like Cancel), pauses and message boxes are
// recorded instead of blocking, and chosen paths can be made to fail to
// open. It installs itself on construction and restores the real services
// when destroyed.
//
//   ScriptedPlatform platform;
//   platform.queueSaveFileName(target, [&] { peer.close(); });
//   ...
//   QCOMPARE(platform.sleeps, QList<int>({1000, 1000}));
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

    // openFile() fails for `path` when the requested mode includes any of
    // `modes` (by default any mode at all).
    void failOpen(const QString &path, QIODevice::OpenMode modes = QIODevice::ReadWrite);

    // Lets events be handled for `milliseconds`, as a modal loop would.
    static void spinEvents(int milliseconds);

    // What the code under test asked for.
    int openDialogs = 0;
    int saveDialogs = 0;
    QList<int> sleeps;
    QStringList messages;
    struct Opened
    {
        QString path;
        QIODevice::OpenMode mode;
        bool succeeded;
    };
    QList<Opened> openedFiles;

    // Optional hooks, run when a message box shows or a pause is asked for.
    std::function<void(const QString &)> onMessage;
    std::function<void(int)> onSleep;

    // Answer of startSockets().
    bool socketsAvailable = true;

    QString getOpenFileName() override;
    QString getSaveFileName() override;
    void messageBox(const QString &text) override;
    void sleep(int milliseconds) override;
    std::unique_ptr<QIODevice> openFile(const QString &path, QIODevice::OpenMode mode) override;
    bool startSockets() override;

private:
    struct Answer
    {
        QString path;
        Action whileOpen;
    };
    static QString answer(QQueue<Answer> &queue);

    QQueue<Answer> m_openAnswers;
    QQueue<Answer> m_saveAnswers;
    QList<QPair<QString, QIODevice::OpenMode>> m_failing;
};
