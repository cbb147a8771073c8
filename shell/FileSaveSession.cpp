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

// Moves the spool to `written` and tells the operator, who named it
// `target`, what went wrong. Everything here lives with the delivery rather
// than with the connection, which may end while a copy runs.
void deliver(IPlatform &desktop, const ReceivedFile &file, const QString &target, const QString &written,
             const FileSaveSession::Record &record)
{
    auto *delivery = new SpoolDelivery(file.spool, written);
    auto progress = std::make_shared<std::unique_ptr<IProgress>>();
    QObject::connect(delivery, &SpoolDelivery::progress, delivery, [progress](qint64 copied) {
        if (*progress)
            (*progress)->setValue(int(copied));
    });
    QObject::connect(delivery, &SpoolDelivery::finished, delivery,
                     [&desktop, progress, target, record](bool ok, const QString &error) {
                         progress->reset();
                         if (record)
                             record(ok ? QStringLiteral("受信したファイルを「%1」に保存しました").arg(NativePath::of(target))
                                       : QStringLiteral("受信したファイルを「%1」に保存できませんでした").arg(NativePath::of(target)));
                         if (ok || error.isEmpty())
                             return;
                         desktop.messageBoxLater(
                             QStringLiteral("ファイル「%1」を保存できませんでした（%2）。"
                                            "保存先のフォルダと空き容量を確かめて、相手にもう一度送ってもらってください。")
                                 .arg(NativePath::of(target), error));
                     });
    delivery->start();
    if (!delivery->isCopying())
        return;
    const int length = int(file.length);
    desktop.singleShot(FileSaveSession::COPY_PROGRESS_DELAY_MS, delivery, [&desktop, delivery, progress, target, length] {
        if (!delivery->isCopying())
            return;
        *progress = desktop.openProgress(length, [delivery] { delivery->cancel(); });
        (*progress)->setLabelText(QStringLiteral("ファイル「%1」を保存しています。").arg(NativePath::of(target)));
    });
}
}

FileSaveSession::Outcome FileSaveSession::offer(IPlatform &desktop, CConnSocket *connection, const ReceivedFile &file,
                                                const QString &sender, Record record)
{
    const QString caption =
        QStringLiteral("%1からのファイル（%2 バイト）を保存").arg(sender, byteCount(qint64(file.length)));
    const auto note = [&record](const QString &line) {
        if (record)
            record(line);
    };
    note(QStringLiteral("ファイル（%1 バイト）を受信しました").arg(byteCount(qint64(file.length))));
    if (!file.complete) {
        note(QStringLiteral("受信したファイルは一部が欠けていたため、保存しませんでした"));
        desktop.messageBox(QStringLiteral("受信したファイル（%1 バイト）の一部を一時保存できなかったため、"
                                          "保存しませんでした。一時フォルダ %2 の空き容量を確かめて、"
                                          "相手にもう一度送ってもらってください。")
                               .arg(file.length)
                               .arg(NativePath::of(QDir::tempPath())));
        return Outcome::Lost;
    }
    const QPointer<CConnSocket> held(connection);
    connection->holdReading();
    QString target = desktop.getSaveFileName(caption);
    while (!target.isEmpty() && FileReception::insideChunkDirectory(FileReception::writtenPath(target))) {
        desktop.messageBox(QStringLiteral("保存先「%1」は受信したファイルを一時保存するフォルダの中にあるため、"
                                          "保存できません（接続が切れると消えてしまいます）。"
                                          "別のフォルダを選んでください。")
                               .arg(NativePath::of(target)));
        target = desktop.getSaveFileName(caption);
    }
    if (held)
        held->resumeReading();
    if (target.isEmpty()) {
        note(QStringLiteral("受信したファイルは保存しませんでした"));
        return Outcome::NotSaved;
    }
    deliver(desktop, file, target, FileReception::writtenPath(target), record);
    return Outcome::Saving;
}

void FileSaveSession::tellRefused(IPlatform &desktop, const QString &sender, quint32 length, qint64 available)
{
    desktop.messageBoxLater(QStringLiteral("%1からのファイル（%2 バイト）は、一時フォルダ %3 の空き容量（%4 バイト）に"
                                           "入らないため受け取りませんでした。空き容量を増やしてから、"
                                           "相手にもう一度送ってもらってください。")
                                .arg(sender, byteCount(qint64(length)), NativePath::of(QDir::tempPath()),
                                     byteCount(available)));
}
