#pragma once

#include <QAbstractSocket>
#include <QString>

// The phrase of SystemErrorText for a socket's error, which Qt reports as its
// own error code and text rather than the system's.
namespace SocketErrorText {
QString describe(QAbstractSocket::SocketError error, const QString &systemText);
}
