#include "ScriptedPlatform.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

ScriptedPlatform::ScriptedPlatform()
{
    Platform::install(this);
}

ScriptedPlatform::~ScriptedPlatform()
{
    Platform::install(nullptr);
}

void ScriptedPlatform::queueOpenFileName(const QString &path, Action whileOpen)
{
    m_openAnswers.enqueue({path, std::move(whileOpen)});
}

void ScriptedPlatform::queueSaveFileName(const QString &path, Action whileOpen)
{
    m_saveAnswers.enqueue({path, std::move(whileOpen)});
}

void ScriptedPlatform::failOpen(const QString &path, QIODevice::OpenMode modes)
{
    m_failing.append({path, modes});
}

void ScriptedPlatform::spinEvents(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

QString ScriptedPlatform::answer(QQueue<Answer> &queue)
{
    if (queue.isEmpty())
        return QString();
    Answer next = queue.dequeue();
    if (next.whileOpen)
        next.whileOpen();
    return next.path;
}

QString ScriptedPlatform::getOpenFileName()
{
    ++openDialogs;
    return answer(m_openAnswers);
}

QString ScriptedPlatform::getSaveFileName()
{
    ++saveDialogs;
    return answer(m_saveAnswers);
}

void ScriptedPlatform::messageBox(const QString &text)
{
    messages.append(text);
    if (onMessage)
        onMessage(text);
}

void ScriptedPlatform::sleep(int milliseconds)
{
    sleeps.append(milliseconds);
    if (onSleep)
        onSleep(milliseconds);
}

std::unique_ptr<QIODevice> ScriptedPlatform::openFile(const QString &path, QIODevice::OpenMode mode)
{
    for (const auto &failing : std::as_const(m_failing)) {
        if (failing.first == path && (failing.second & mode)) {
            openedFiles.append({path, mode, false});
            return nullptr;
        }
    }
    auto file = std::make_unique<QFile>(path);
    const bool ok = file->open(mode);
    openedFiles.append({path, mode, ok});
    if (!ok)
        return nullptr;
    return file;
}

bool ScriptedPlatform::startSockets()
{
    return socketsAvailable;
}
