#pragma once

#include "CSocket.h"
#include "CodePage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// Loopback helpers shared by the frame link tests. Everything runs on the
// test's thread and lets the event loop turn while it waits.
namespace LinkTest {

// `text` as the programs put it on the wire; a test text must have a form.
inline QByteArray cp932(const QString &text)
{
    QByteArray bytes;
    if (!CodePage::encode(text, &bytes))
        qFatal("test text has no CP932 form");
    return bytes;
}

// A TCP port free on this machine just now; 0 when there is none.
inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

// The TCP socket under `connection`, for looking at what the kernel and Qt
// hold; nullptr before it has one.
inline QTcpSocket *tcpSocketOf(const CConnSocket *connection)
{
    return connection->findChild<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
}

// Handles events until `done` holds or `timeoutMs` passes.
inline bool pumpUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Creates or replaces the file at `path` with `bytes`.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The next connection `server` accepts, unparented; nullptr on timeout.
inline QTcpSocket *acceptOne(QTcpServer &server)
{
    if (!pumpUntil([&] { return server.hasPendingConnections(); }))
        return nullptr;
    QTcpSocket *socket = server.nextPendingConnection();
    socket->setParent(nullptr);
    return socket;
}

// A raw client connected to `server`, and the server's end of it.
inline bool rawPair(QTcpServer &server, QTcpSocket **client, QTcpSocket **accepted)
{
    auto *raw = new QTcpSocket;
    raw->connectToHost(server.serverAddress(), server.serverPort());
    QTcpSocket *other = acceptOne(server);
    if (!other || !pumpUntil([&] { return raw->state() == QAbstractSocket::ConnectedState; })) {
        delete raw;
        delete other;
        return false;
    }
    *client = raw;
    *accepted = other;
    return true;
}

// Writes `bytes` in pieces, letting the receiver read between them so that
// nothing piles up in the writer; `between` runs after each piece.
inline bool streamOut(QTcpSocket *socket, const QByteArray &bytes, int piece = 16 * 1024,
                      const std::function<void()> &between = {})
{
    for (qsizetype pos = 0; pos < bytes.size(); pos += piece) {
        socket->write(bytes.mid(pos, piece));
        if (!pumpUntil([&] { return socket->bytesToWrite() == 0; }))
            return false;
        if (between)
            between();
    }
    return true;
}

}
