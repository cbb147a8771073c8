#include "SystemErrorText.h"

#include <QCoreApplication>

#include <cerrno>

namespace {
const int CommonErrors[] = {ENOENT, ENODEV, ENXIO, EACCES, EPERM, EBUSY, EIO, ENOSPC,
                            ECONNRESET, EPIPE, ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN};

// Qt's socket engine reports these under its own texts, not the system's.
QString socketEngineText(const char *text)
{
    return QCoreApplication::translate("QNativeSocketEngine", text);
}
}

QString SystemErrorText::fromErrno(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("見つかりません");
    case ENODEV:
    case ENXIO:
        return QStringLiteral("装置がありません");
    case EACCES:
    case EPERM:
        return QStringLiteral("権限がありません");
    case EBUSY:
        return QStringLiteral("他のプログラムが使用中です");
    case EIO:
        return QStringLiteral("入出力エラーです");
    case ENOSPC:
        return QStringLiteral("ディスクに空きがありません");
    case ECONNRESET:
    case EPIPE:
        return QStringLiteral("相手が接続を切りました");
    case ETIMEDOUT:
        return QStringLiteral("相手から応答がありません");
    case ECONNREFUSED:
        return QStringLiteral("相手が接続を拒否しました");
    case EHOSTUNREACH:
    case ENETUNREACH:
        return QStringLiteral("相手まで届きません");
    case ENETDOWN:
        return QStringLiteral("ネットワークが使えません");
    default:
        return {};
    }
}

QString SystemErrorText::describe(const QString &systemText)
{
    for (const int error : CommonErrors) {
        if (systemText == qt_error_string(error))
            return fromErrno(error);
    }
    return systemText;
}

QString SystemErrorText::describe(QAbstractSocket::SocketError error, const QString &systemText)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return fromErrno(ECONNREFUSED);
    case QAbstractSocket::RemoteHostClosedError:
        return fromErrno(ECONNRESET);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("相手のアドレスが見つかりません");
    case QAbstractSocket::SocketAccessError:
        return fromErrno(EACCES);
    case QAbstractSocket::SocketTimeoutError:
        return fromErrno(ETIMEDOUT);
    case QAbstractSocket::NetworkError:
        if (systemText == socketEngineText("Host unreachable") || systemText == socketEngineText("Network unreachable"))
            return fromErrno(EHOSTUNREACH);
        if (systemText == socketEngineText("Connection timed out"))
            return fromErrno(ETIMEDOUT);
        return describe(systemText);
    default:
        return describe(systemText);
    }
}
