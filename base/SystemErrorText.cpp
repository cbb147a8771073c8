#include "SystemErrorText.h"

#include <cerrno>

namespace {
const int CommonErrors[] = {ENOENT, ENODEV, ENXIO, EACCES, EPERM, EBUSY, EIO, ENOSPC,
                            ECONNRESET, EPIPE, ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN};
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
