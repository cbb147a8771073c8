#include "SpoolDelivery.h"

#include "SpoolFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <cerrno>
#include <cstdio>

SpoolDelivery::SpoolDelivery(std::shared_ptr<SpoolFile> spool, const QString &target, QObject *parent)
    : QObject(parent)
    , m_spool(std::move(spool))
    , m_target(target)
{
}

SpoolDelivery::~SpoolDelivery() = default;

void SpoolDelivery::start()
{
    // A file that is replaced keeps its permissions, as QSaveFile keeps them.
    const QFileInfo existing(m_target);
    if (existing.exists())
        QFile::setPermissions(m_spool->path(), existing.permissions());
    if (std::rename(QFile::encodeName(m_spool->path()).constData(), QFile::encodeName(m_target).constData()) == 0) {
        m_spool->markMoved();
        finish(true, QString());
        return;
    }
    const int renameError = errno;
    // A temp cleaner may have taken the spool's name while Save As was open;
    // its open handle still holds the whole file.
    if (renameError != EXDEV && QFileInfo::exists(m_spool->path())) {
        finish(false, qt_error_string(renameError));
        return;
    }
    m_copy = QThread::create([this] { copy(); });
    connect(m_copy, &QThread::finished, this, [this] { finish(m_copied, m_copyError); });
    connect(m_copy, &QThread::finished, m_copy, &QObject::deleteLater);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &SpoolDelivery::waitForCopyOnQuit);
    m_copy->start();
}

// Runs on the worker thread; the spool is not touched elsewhere meanwhile.
// Read through its open handle, it stays readable even when the connection
// ends and its directory is removed.
void SpoolDelivery::copy()
{
    QFile source;
    if (!source.open(m_spool->handle(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !source.seek(0)) {
        m_copyError = source.errorString();
        return;
    }
    QSaveFile out(m_target);
    if (!out.open(QIODevice::WriteOnly)) {
        m_copyError = out.errorString();
        return;
    }
    const qint64 total = m_spool->length();
    QByteArray block(COPY_BLOCK, Qt::Uninitialized);
    for (qint64 copied = 0; copied < total;) {
        if (m_cancelled) {
            out.cancelWriting();
            return;
        }
        const qint64 got = source.read(block.data(), qMin(COPY_BLOCK, total - copied));
        if (got <= 0) {
            out.cancelWriting();
            m_copyError = QStringLiteral("一時保存したファイルを読み出せません");
            return;
        }
        if (out.write(block.constData(), got) != got) {
            m_copyError = out.errorString();
            return;
        }
        copied += got;
        emit progress(copied, total);
    }
    m_copied = out.commit();
    if (!m_copied)
        m_copyError = out.errorString();
}

void SpoolDelivery::finish(bool ok, const QString &error)
{
    m_copy = nullptr;
    emit finished(ok, error);
    deleteLater();
}

// Ending the program in mid-copy would leave QSaveFile's temporary file
// behind; the copy stops at its next block.
void SpoolDelivery::waitForCopyOnQuit()
{
    if (!m_copy)
        return;
    m_cancelled = true;
    m_copy->wait();
}
