#include "FileReception.h"

#include "Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>

namespace {
QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// True when `target` would land in a chunk directory of any connection of
// either program: its files there are overwritten by the next file's chunks
// and removed with the connection.
bool insideChunkDirectory(const QString &target)
{
    const QFileInfo info(target);
    const QString resolved = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    const QString folder = QFileInfo(QFileInfo(resolved).absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (folder.isEmpty() || temp.isEmpty() || !folder.startsWith(temp + QLatin1Char('/')))
        return false;
    static const QRegularExpression chunkDirectoryName(QStringLiteral("^tavrin-[A-Za-z0-9]{6}$"));
    return chunkDirectoryName.match(folder.mid(temp.size() + 1).section(QLatin1Char('/'), 0, 0)).hasMatch();
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
    if (m_dir)
        return true;
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
    if (header.index == 0 || header.length != m_fileLength) {
        m_fileLength = header.length;
        m_parked.fill(false, int(header.length / CHUNK_SIZE));
    }
    if (header.isLastFileChunk()) {
        saveFile(header, payload);
        m_parked.clear();
        m_fileLength = 0;
        return;
    }
    if (header.index < m_parked.size() && parkChunk(header.index, payload))
        m_parked.setBit(header.index);
}

bool FileReception::parkChunk(quint16 index, const QByteArray &payload)
{
    if (payload.size() != CHUNK_SIZE || !ensureDirectory())
        return false;
    const QString path = m_dir->filePath(QString::number(index));
    // Unbuffered, so that a failed write shows in write()'s result.
    const auto mode = QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered;
    std::unique_ptr<QIODevice> file = Platform::get().openFile(path, mode);
    if (!file && !QDir(m_dir->path()).exists()) {
        m_dir.reset();
        if (!ensureDirectory())
            return false;
        file = Platform::get().openFile(m_dir->filePath(QString::number(index)), mode);
    }
    return file && file->write(payload) == payload.size();
}

void FileReception::saveFile(const FrameHeader &header, const QByteArray &tail)
{
    IPlatform &platform = Platform::get();
    const quint32 fullChunks = header.length / CHUNK_SIZE;
    const auto lost = [&] {
        platform.messageBox(QStringLiteral("受信したファイル（%1 バイト）の一部を一時保存できなかったため、"
                                           "保存しませんでした。一時フォルダ %2 の空き容量を確かめて、"
                                           "相手にもう一度送ってもらってください。")
                                .arg(header.length)
                                .arg(nativePath(QDir::tempPath())));
    };
    // The directory is gone when re-creating it failed after chunks were parked.
    if (m_parked.count(true) != qsizetype(fullChunks) || (fullChunks > 0 && !m_dir)) {
        lost();
        return;
    }

    QString target = platform.getSaveFileName();
    while (!target.isEmpty() && insideChunkDirectory(target)) {
        platform.messageBox(QStringLiteral("保存先「%1」は受信したファイルを一時保存するフォルダの中にあるため、"
                                           "保存できません（次のファイルの受信や切断で消えてしまいます）。"
                                           "別のフォルダを選んでください。")
                                .arg(nativePath(target)));
        target = platform.getSaveFileName();
    }
    if (target.isEmpty())
        return;

    QSaveFile out(target);
    const auto failed = [&](const QString &reason) {
        out.cancelWriting();
        platform.messageBox(QStringLiteral("ファイル「%1」を保存できませんでした（%2）。"
                                           "保存先のフォルダと空き容量を確かめて、相手にもう一度送ってもらってください。")
                                .arg(nativePath(target), reason));
    };
    if (!out.open(QIODevice::WriteOnly)) {
        failed(out.errorString());
        return;
    }
    char copy[CHUNK_SIZE];
    for (quint32 i = 0; i < fullChunks; ++i) {
        const std::unique_ptr<QIODevice> chunk =
            platform.openFile(m_dir->filePath(QString::number(i)), QIODevice::ReadOnly);
        if (!chunk || chunk->read(copy, CHUNK_SIZE) != CHUNK_SIZE) {
            out.cancelWriting();
            lost();
            return;
        }
        if (out.write(copy, CHUNK_SIZE) != CHUNK_SIZE) {
            failed(out.errorString());
            return;
        }
    }
    if (out.write(tail) != tail.size()) {
        failed(out.errorString());
        return;
    }
    if (!out.commit())
        failed(out.errorString());
}
