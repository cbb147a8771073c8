#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QThread;
class SpoolFile;

// Moves a complete spool file to the place it is to be saved at. On one
// file system that is a rename, which replaces an existing file in one
// step. Across file systems, or when the spool's name has gone meanwhile,
// the spool is copied from its open handle on a worker thread through
// QSaveFile, so that the event loop goes on meanwhile and a failure leaves
// an existing file untouched. Either way finished() follows once, and this
// object then deletes itself; the spool file goes with it.
class SpoolDelivery : public QObject
{
    Q_OBJECT

public:
    // `target` is the file to write, with symbolic links already followed.
    SpoolDelivery(std::shared_ptr<SpoolFile> spool, const QString &target, QObject *parent = nullptr);
    ~SpoolDelivery() override;

    // Renames, or starts the copy; a rename has finished on return.
    void start();
    bool isCopying() const { return m_copy != nullptr; }
    // Ends a copy at its next block, leaving the target as it was.
    void cancel() { m_cancelled = true; }

    static constexpr qint64 COPY_BLOCK = 1024 * 1024;

signals:
    // Bytes copied so far, from time to time during a copy.
    void progress(qint64 copied, qint64 total);
    // `error` says why it failed, and is empty when the copy was cancelled.
    void finished(bool ok, const QString &error);

private:
    void copy();
    void finish(bool ok, const QString &error);
    void waitForCopyOnQuit();

    std::shared_ptr<SpoolFile> m_spool;
    QString m_target;
    QThread *m_copy = nullptr;
    std::atomic<bool> m_cancelled{false};
    // Written by the worker, read once it has finished.
    bool m_copied = false;
    QString m_copyError;
};
