#pragma once

#include <QDate>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class ITimers;
class QDateTime;
class QIODevice;

// The whole history of a program kept on disk, one file a day named
// "<program>-yyyy-MM-dd.txt", one entry a line as "履歴保存" writes it. Lines
// are buffered and written within FlushIntervalMs; days older than the
// kept days are removed when it opens. A file that cannot be written turns
// it Failed for the rest of the run.
class Journal : public QObject
{
    Q_OBJECT

public:
    enum class State { Off, Writing, Failed };
    Q_ENUM(State)

    static constexpr int FlushIntervalMs = 800;
    static constexpr int DefaultKeptDays = 30;
    // Per-user setting of the days kept; 0 keeps no journal.
    static constexpr const char *KeptDaysKey = "History/KeptDays";
    // A buffer this full is written at once, not on the timer.
    static constexpr qsizetype BufferLimit = 1 << 20;

    // Off when `directory` is empty or `keptDays` is 0.
    Journal(const QString &directory, const QString &programTitle, int keptDays, ITimers &timers,
            QObject *parent = nullptr);
    ~Journal() override;

    State state() const { return m_state; }
    // Why it failed, as the operator is told.
    QString failure() const { return m_failure; }
    QString fileOf(const QDate &date) const;

    void append(const QDateTime &time, const QString &line);
    void flush();

    // Up to `count` of the last lines written before this run, oldest first.
    QStringList earlierLines(int count) const;
    // The lines of this run; false when the device did not take them all
    // or the journal could not be read back.
    bool writeRun(QIODevice &device);

signals:
    void stateChanged(Journal::State state);

private:
    QStringList filesNewestFirst() const;
    void removeOldDays(const QDate &today);
    void fail(const QString &path, const QString &reason);

    QString m_directory;
    QString m_programTitle;
    int m_keptDays;
    ITimers &m_timers;
    State m_state;
    QString m_failure;
    QByteArray m_buffer;
    QDate m_bufferDate;
    bool m_flushPending = false;
    QFile m_file;
    // Each file this run wrote to, with its size before the first line.
    QList<QPair<QString, qint64>> m_runFiles;
};
