#include "Journal.h"

#include "NativePath.h"
#include "Timers.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>

#include <algorithm>

namespace {
const QString DateFormat = QStringLiteral("yyyy-MM-dd");
constexpr qint64 ReadChunk = 64 * 1024;
// What loading the earlier run reads of one file at most.
constexpr qint64 TailLimit = 4 * 1024 * 1024;
}

Journal::Journal(const QString &directory, const QString &programTitle, int keptDays, ITimers &timers,
                 QObject *parent)
    : QObject(parent)
    , m_directory(directory)
    , m_programTitle(programTitle)
    , m_keptDays(keptDays)
    , m_timers(timers)
    , m_state(directory.isEmpty() || keptDays <= 0 ? State::Off : State::Writing)
{
    if (m_state == State::Writing)
        removeOldDays(QDate::currentDate());
}

Journal::~Journal()
{
    flush();
}

QString Journal::fileOf(const QDate &date) const
{
    return QDir(m_directory).filePath(QStringLiteral("%1-%2.txt").arg(m_programTitle, date.toString(DateFormat)));
}

void Journal::append(const QDateTime &time, const QString &line)
{
    if (m_state != State::Writing)
        return;
    if (!m_buffer.isEmpty() && time.date() != m_bufferDate)
        flush();
    m_bufferDate = time.date();
    m_buffer += line.toUtf8();
    m_buffer += '\n';
    if (m_buffer.size() >= BufferLimit) {
        flush();
    } else if (!m_flushPending) {
        m_flushPending = true;
        m_timers.singleShot(FlushIntervalMs, this, [this] {
            m_flushPending = false;
            flush();
        });
    }
}

void Journal::flush()
{
    if (m_state != State::Writing || m_buffer.isEmpty())
        return;
    const QString path = fileOf(m_bufferDate);
    if (m_file.fileName() != path || !m_file.isOpen()) {
        m_file.close();
        m_file.setFileName(path);
        if (!QDir().mkpath(m_directory) || !m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            fail(path, m_file.errorString());
            return;
        }
        const bool known = std::any_of(m_runFiles.cbegin(), m_runFiles.cend(),
                                       [&path](const QPair<QString, qint64> &file) { return file.first == path; });
        if (!known)
            m_runFiles.append({path, m_file.size()});
    }
    if (m_file.write(m_buffer) != m_buffer.size() || !m_file.flush()) {
        fail(path, m_file.errorString());
        return;
    }
    m_buffer.clear();
}

void Journal::fail(const QString &path, const QString &reason)
{
    m_buffer.clear();
    m_file.close();
    m_state = State::Failed;
    m_failure = QStringLiteral("履歴ファイル「%1」に書き込めませんでした（%2）。この後の履歴はファイルに残りません。"
                               "空き容量と書き込みの許可を確かめて、プログラムを起動し直してください。")
                    .arg(NativePath::of(path), reason);
    emit stateChanged(m_state);
}

QStringList Journal::filesNewestFirst() const
{
    const QDir dir(m_directory);
    QStringList files = dir.entryList({m_programTitle + QStringLiteral("-????-??-??.txt")}, QDir::Files, QDir::Name);
    std::reverse(files.begin(), files.end());
    for (QString &file : files)
        file = dir.filePath(file);
    return files;
}

void Journal::removeOldDays(const QDate &today)
{
    const QDate oldestKept = today.addDays(1 - m_keptDays);
    for (const QString &path : filesNewestFirst()) {
        const QString name = QFileInfo(path).completeBaseName();
        const QDate date = QDate::fromString(name.right(DateFormat.size()), DateFormat);
        if (date.isValid() && date < oldestKept)
            QFile::remove(path);
    }
}

QStringList Journal::earlierLines(int count) const
{
    if (m_state == State::Off)
        return {};
    QStringList lines;
    for (const QString &path : filesNewestFirst()) {
        if (lines.size() >= count)
            break;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        qint64 end = file.size();
        for (const auto &[runFile, start] : m_runFiles) {
            if (runFile == path)
                end = std::min(end, start);
        }
        // Backwards a chunk at a time until the lines still wanted are in.
        QByteArray tail;
        qint64 from = end;
        while (from > 0 && tail.count('\n') <= count - lines.size() && end - from < TailLimit) {
            const qint64 start = std::max<qint64>(0, from - ReadChunk);
            if (!file.seek(start))
                break;
            tail.prepend(file.read(from - start));
            from = start;
        }
        QList<QByteArray> fileLines = tail.split('\n');
        if (!fileLines.isEmpty() && fileLines.last().isEmpty())
            fileLines.removeLast();
        // The first line of a tail that starts inside the file is cut.
        if (from > 0 && !fileLines.isEmpty())
            fileLines.removeFirst();
        QStringList taken;
        for (qsizetype i = std::max<qsizetype>(0, fileLines.size() - (count - lines.size())); i < fileLines.size(); ++i)
            taken.append(QString::fromUtf8(fileLines.at(i)));
        lines = taken + lines;
    }
    return lines;
}

bool Journal::writeRun(QIODevice &device)
{
    flush();
    if (m_state != State::Writing)
        return false;
    for (const auto &[path, start] : m_runFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(start))
            return false;
        while (!file.atEnd()) {
            const QByteArray chunk = file.read(4 * ReadChunk);
            if (chunk.isEmpty() || device.write(chunk) != chunk.size())
                return false;
        }
    }
    return true;
}
