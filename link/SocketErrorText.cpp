#include "SocketErrorText.h"

#include "SystemErrorText.h"

#include <QCoreApplication>

#include <cerrno>

namespace {
// Qt's socket engine reports these under its own texts, not the system's.
QString socketEngineText(const char *text)
{
    return QCoreApplication::translate("QNativeSocketEngine", text);
}
}

QString SocketErrorText::describe(QAbstractSocket::SocketError error, const QString &systemText)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return SystemErrorText::fromErrno(ECONNREFUSED);
    case QAbstractSocket::RemoteHostClosedError:
        return SystemErrorText::fromErrno(ECONNRESET);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("相手のアドレスが見つかりません");
    case QAbstractSocket::SocketAccessError:
        return SystemErrorText::fromErrno(EACCES);
    case QAbstractSocket::SocketTimeoutError:
        return SystemErrorText::fromErrno(ETIMEDOUT);
    case QAbstractSocket::NetworkError:
        if (systemText == socketEngineText("Host unreachable") || systemText == socketEngineText("Network unreachable"))
            return SystemErrorText::fromErrno(EHOSTUNREACH);
        if (systemText == socketEngineText("Connection timed out"))
            return SystemErrorText::fromErrno(ETIMEDOUT);
        return SystemErrorText::describe(systemText);
    default:
        return SystemErrorText::describe(systemText);
    }
}
