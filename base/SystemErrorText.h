#pragma once

#include <QString>

// Japanese phrases for the system errors an operator meets most often on a
// serial line or a connection (SocketErrorText adds the socket layer's own), so that a message never quotes the system's
// English ("Input/output error"). Each phrase fits both inside parentheses
// and before "。". Errors without a phrase keep the system's own text.
class SystemErrorText
{
public:
    // The phrase for the errno value `error`; empty when there is none.
    static QString fromErrno(int error);
    // Qt hands most system errors on as their text only (errorString());
    // this recognises the common ones behind it.
    static QString describe(const QString &systemText);
};
