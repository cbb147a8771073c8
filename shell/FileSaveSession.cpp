#include "FileSaveSession.h"

#include "CSocket.h"
#include "FileReception.h"
#include "NativePath.h"
#include "Platform.h"
#include "SpoolDelivery.h"
#include "SpoolFile.h"

#include <QDir>
#include <QLocale>
#include <QPointer>

namespace {
QString byteCount(qint64 bytes)
{
    return QLocale(QLocale::Japanese).toString(bytes);
}
}

FileSaveSession::FileSaveSession(IPlatform &desktop, const QString &sender, QObject *parent)
    : QObject(parent)
    , m_desktop(desktop)
    , m_sender(sender)
{
}

FileSaveSession::~FileSaveSession() = default;

FileSaveSession::Outcome FileSaveSession::offer(IPlatform &desktop, CConnSocket *connection, const ReceivedFile &file,
                                                const QString &sender)
{
    auto *session = new FileSaveSession(desktop, sender);
    connect(session, &FileSaveSession::told, session, [&desktop](const QString &cause, const QString &text) {
        if (cause == QLatin1String(BrokenCause))
            desktop.messageBox(text);
        else
            desktop.messageBoxLater(text);
    });
    return session->offer(connection, file);
}

QString FileSaveSession::receivedLine(quint32 length)
{
    return QStringLiteral("ファイル（%1 バイト）を受信しました").arg(byteCount(qint64(length)));
}

FileSaveSession::Outcome FileSaveSession::offer(CConnSocket *connection, const ReceivedFile &file)
{
    const QString caption =
        QStringLiteral("%1からのファイル（%2 バイト）を保存").arg(m_sender, byteCount(qint64(file.length)));
    if (!file.complete) {
        emit recorded(QStringLiteral("受信したファイルは一部が欠けていたため、保存しませんでした"));
        emit told(QString::fromLatin1(BrokenCause), QStringLiteral("受信したファイル（%1 バイト）の一部を一時保存できなかったため、"
                                            "保存しませんでした。一時フォルダ %2 の空き容量を確かめて、"
                                            "相手にもう一度送ってもらってください。")
                                 .arg(file.length)
                                 .arg(NativePath::of(QDir::tempPath())));
        deleteLater();
        return Outcome::Lost;
    }
    const QPointer<CConnSocket> held(connection);
    if (connection)
        connection->holdReading();
    QString target = m_desktop.getSaveFileName(caption, QString());
    while (!target.isEmpty() && FileReception::insideChunkDirectory(FileReception::writtenPath(target))) {
        m_desktop.messageBox(QStringLiteral("保存先「%1」は受信したファイルを一時保存するフォルダの中にあるため、"
                                            "保存できません（接続が切れると消えてしまいます）。"
                                            "別のフォルダを選んでください。")
                                 .arg(NativePath::of(target)));
        target = m_desktop.getSaveFileName(caption, QString());
    }
    if (held)
        held->resumeReading();
    if (target.isEmpty()) {
        emit recorded(QStringLiteral("受信したファイルは保存しませんでした"));
        deleteLater();
        return Outcome::NotSaved;
    }
    deliver(file, target, FileReception::writtenPath(target));
    return Outcome::Saving;
}

// The session goes with the delivery rather than with the connection or the
// program's window, either of which may end while a copy runs.
void FileSaveSession::deliver(const ReceivedFile &file, const QString &target, const QString &written)
{
    auto *delivery = new SpoolDelivery(file.spool, written);
    setParent(delivery);
    connect(delivery, &SpoolDelivery::progress, this, [this](qint64 copied) {
        if (m_progress)
            m_progress->setValue(int(copied));
    });
    connect(delivery, &SpoolDelivery::finished, this,
            [this, target](bool ok, const QString &error) { delivered(target, ok, error); });
    delivery->start();
    if (!delivery->isCopying())
        return;
    const int length = int(file.length);
    m_desktop.singleShot(COPY_PROGRESS_DELAY_MS, this, [this, delivery, target, length] {
        if (!delivery->isCopying())
            return;
        m_progress = m_desktop.openProgress(length, this);
        connect(m_progress, &IProgress::canceled, delivery, &SpoolDelivery::cancel);
        m_progress->setLabelText(QStringLiteral("ファイル「%1」を保存しています。").arg(NativePath::of(target)));
    });
}

void FileSaveSession::delivered(const QString &target, bool ok, const QString &error)
{
    emit recorded(ok ? QStringLiteral("受信したファイルを「%1」に保存しました").arg(NativePath::of(target))
                     : QStringLiteral("受信したファイルを「%1」に保存できませんでした").arg(NativePath::of(target)));
    if (ok || error.isEmpty())
        return;
    emit told(QString::fromLatin1(SaveFailedCause), QStringLiteral("ファイル「%1」を保存できませんでした（%2）。"
                                             "保存先のフォルダと空き容量を確かめて、相手にもう一度送ってもらってください。")
                                  .arg(NativePath::of(target), error));
}

QString FileSaveSession::refusedMessage(const QString &sender, quint32 length, qint64 available)
{
    return QStringLiteral("%1からのファイル（%2 バイト）は、一時フォルダ %3 の空き容量（%4 バイト）に"
                                           "入らないため受け取りませんでした。空き容量を増やしてから、"
                                           "相手にもう一度送ってもらってください。")
                                .arg(sender, byteCount(qint64(length)), NativePath::of(QDir::tempPath()),
                                     byteCount(available));
}
