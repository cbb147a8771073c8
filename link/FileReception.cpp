#include "FileReception.h"

#include "Platform.h"
#include "SpoolDelivery.h"
#include "SpoolFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {
QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The file that saving to `target` writes: symbolic links, dangling ones
// included, are followed to the file they name. Saving onto a loop of links
// replaces the link itself.
QString writtenPath(const QString &target)
{
    constexpr int MAX_LINKS_FOLLOWED = 40;
    const QString given = QFileInfo(target).absoluteFilePath();
    QFileInfo info(given);
    for (int followed = 0; info.isSymLink(); ++followed) {
        if (followed == MAX_LINKS_FOLLOWED)
            return given;
        info.setFile(info.symLinkTarget());
    }
    return info.absoluteFilePath();
}

// True when `written` would land in a chunk directory of any connection of
// either program, which is removed with its connection. The folder's own
// links are resolved too.
bool insideChunkDirectory(const QString &written)
{
    const QString folder = QFileInfo(QFileInfo(written).absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (folder.isEmpty() || temp.isEmpty() || !folder.startsWith(temp + QLatin1Char('/')))
        return false;
    static const QRegularExpression chunkDirectoryName(QStringLiteral("^tavrin-[A-Za-z0-9]{6}$"));
    return chunkDirectoryName.match(folder.mid(temp.size() + 1).section(QLatin1Char('/'), 0, 0)).hasMatch();
}

// Moves `spool` to `written` and tells the operator, who named it `target`,
// what went wrong. Everything here lives with the delivery rather than with
// the connection, which may end while a copy runs.
void deliver(std::unique_ptr<SpoolFile> spool, const QString &target, const QString &written)
{
    const int length = int(spool->length());
    auto *delivery = new SpoolDelivery(std::move(spool), written);
    auto progress = std::make_shared<std::unique_ptr<IProgress>>();
    QObject::connect(delivery, &SpoolDelivery::progress, delivery, [progress](qint64 copied) {
        if (*progress)
            (*progress)->setValue(int(copied));
    });
    const auto finished = [progress, target](bool ok, const QString &error) {
        progress->reset();
        if (ok || error.isEmpty())
            return;
        Platform::get().messageBox(QStringLiteral("ファイル「%1」を保存できませんでした（%2）。"
                                                  "保存先のフォルダと空き容量を確かめて、相手にもう一度送ってもらってください。")
                                       .arg(nativePath(target), error));
    };
    QObject::connect(delivery, &SpoolDelivery::finished, delivery, finished);
    delivery->start();
    if (!delivery->isCopying())
        return;
    const auto showProgress = [delivery, progress, target, length] {
        if (!delivery->isCopying())
            return;
        *progress = Platform::get().openProgress(length, [delivery] { delivery->cancel(); });
        if (*progress)
            (*progress)->setLabelText(QStringLiteral("ファイル「%1」を保存しています。").arg(nativePath(target)));
    };
    Platform::get().singleShot(FileReception::COPY_PROGRESS_DELAY_MS, delivery, showProgress);
}
}

FileReception::FileReception() = default;

FileReception::~FileReception() = default;

QString FileReception::chunkDirectory() const
{
    return m_dir ? m_dir->path() : QString();
}

bool FileReception::ensureDirectory()
{
    // Made again when something removed it meanwhile (a temp cleaner).
    if (m_dir && QFileInfo::exists(m_dir->path()))
        return true;
    m_dir.reset();
    QDir().mkpath(QDir::tempPath());
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tavrin-XXXXXX"));
    if (!dir->isValid())
        return false;
    m_dir = std::move(dir);
    return true;
}

void FileReception::ReceiveFileChunk(const FrameHeader &header, const QByteArray &payload)
{
    // No sender numbers the chunks of such a file to its end: nothing to park.
    if (!FrameCodec::fileFits(header.length))
        return;
    // Chunks of one file arrive in order, so index 0 or a new length starts a new file.
    if (header.index == 0 || header.length != m_fileLength)
        startFile(header.length);
    if (header.isLastFileChunk()) {
        saveFile(header, payload);
        return;
    }
    if (m_spool)
        m_spool->writeChunk(header.index, payload);
}

void FileReception::startFile(quint32 length)
{
    m_fileLength = length;
    m_spool.reset();
    if (!ensureDirectory())
        return;
    auto spool = std::make_unique<SpoolFile>(m_dir->path(), QStringLiteral("spool-%1").arg(++m_spoolsMade), length);
    if (spool->isOpen())
        m_spool = std::move(spool);
}

void FileReception::saveFile(const FrameHeader &header, const QByteArray &tail)
{
    IPlatform &platform = Platform::get();
    std::unique_ptr<SpoolFile> spool = std::move(m_spool);
    m_fileLength = 0;
    if (!spool || !spool->writeTail(tail)) {
        platform.messageBox(QStringLiteral("受信したファイル（%1 バイト）の一部を一時保存できなかったため、"
                                           "保存しませんでした。一時フォルダ %2 の空き容量を確かめて、"
                                           "相手にもう一度送ってもらってください。")
                                .arg(header.length)
                                .arg(nativePath(QDir::tempPath())));
        return;
    }

    QString target = platform.getSaveFileName();
    while (!target.isEmpty() && insideChunkDirectory(writtenPath(target))) {
        platform.messageBox(QStringLiteral("保存先「%1」は受信したファイルを一時保存するフォルダの中にあるため、"
                                           "保存できません（接続が切れると消えてしまいます）。"
                                           "別のフォルダを選んでください。")
                                .arg(nativePath(target)));
        target = platform.getSaveFileName();
    }
    if (!target.isEmpty())
        deliver(std::move(spool), target, writtenPath(target));
}
