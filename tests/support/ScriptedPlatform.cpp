#include "ScriptedPlatform.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <utility>

ScriptedPlatform::ScriptedPlatform()
{
    dataPath = m_data.path();
}

ScriptedPlatform::~ScriptedPlatform() = default;

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

QString ScriptedPlatform::getSaveFileName(const QString &caption)
{
    ++saveDialogs;
    saveCaptions.append(caption);
    return answer(m_saveAnswers);
}

void ScriptedPlatform::messageBox(const QString &text)
{
    messages.append(text);
    if (onMessage)
        onMessage(text);
}

void ScriptedPlatform::messageBoxLater(const QString &text)
{
    QTimer::singleShot(0, &m_context, [this, text] { messageBox(text); });
}

bool ScriptedPlatform::question(const QString &text)
{
    questions.append(text);
    return !m_questionAnswers.isEmpty() && m_questionAnswers.dequeue();
}

void ScriptedPlatform::singleShot(int milliseconds, QObject *context, std::function<void()> then)
{
    if (realDelays.contains(milliseconds)) {
        QTimer::singleShot(milliseconds, context, std::move(then));
        return;
    }
    pauses.append(milliseconds);
    if (onPause)
        onPause(milliseconds);
    if (holds && holds(milliseconds)) {
        m_held.append({context, std::move(then)});
        return;
    }
    QTimer::singleShot(realPauseMs, context, std::move(then));
}

void ScriptedPlatform::runHeldTimers()
{
    const QList<Held> due = std::exchange(m_held, {});
    for (const Held &timer : due) {
        if (timer.context)
            timer.then();
    }
}

IProgress *ScriptedPlatform::openProgress(int maximum, QObject *owner)
{
    class Recorded : public IProgress
    {
    public:
        Recorded(std::shared_ptr<Progress> record, QObject *owner)
            : IProgress(owner)
            , m_record(std::move(record))
        {
        }
        ~Recorded() override { m_record->open = false; }
        void setLabelText(const QString &text) override { m_record->labels.append(text); }
        void setValue(int value) override { m_record->values.append(value); }

    private:
        std::shared_ptr<Progress> m_record;
    };

    auto record = std::make_shared<Progress>();
    record->maximum = maximum;
    auto *dialog = new Recorded(record, owner);
    record->dialog = dialog;
    progresses.append(record);
    return dialog;
}

QIODevice *ScriptedPlatform::openFile(const QString &path, QIODevice::OpenMode mode, QObject *owner)
{
    for (const auto &failing : std::as_const(m_failing)) {
        if (failing.first == path && (failing.second & mode)) {
            openedFiles.append({path, mode, false});
            return nullptr;
        }
    }
    auto *file = new QFile(path, owner);
    const bool ok = file->open(mode);
    openedFiles.append({path, mode, ok});
    if (ok)
        return file;
    delete file;
    return nullptr;
}

bool ScriptedPlatform::startSockets()
{
    return socketsAvailable;
}

QString ScriptedPlatform::dataLocation()
{
    return dataPath;
}
