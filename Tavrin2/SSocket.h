#pragma once

#include "Frame.h"
#include "IClientOwner.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>

class CConnSocket;
class DisplayLine;
class IRedrawHost;
class ISerialLine;
class QTcpServer;

// The Station's listener and its client table. Each Terminal it admits gets
// the lowest free of MAX_CLIENTS slots and a CConnSocket of its own, which
// this object owns until the Terminal leaves. The status line shows
// "接続待ち" until the first admission, then the number of Terminals.
//
// At MAX_CLIENTS a further connection stays pending, costing nothing, and is
// admitted into the first slot that frees.
class CListenSocket : public QObject, public IClientOwner
{
    Q_OBJECT

public:
    CListenSocket(DisplayLine *line, DisplayLine *status, ISerialLine *serial, IRedrawHost *host,
                  quint16 port = SERVICE_PORT, QObject *parent = nullptr);
    ~CListenSocket() override;

    // Starts listening unless already listening; on failure says so in the
    // status line. A later call tries again.
    bool Listen();
    bool isListening() const;
    quint16 serverPort() const;

    CConnSocket *client(int slot) const;
    int count() const { return m_nCount; }

    // `text` is CP932 bytes; the slot must be occupied.
    void SendTextToClient(const QByteArray &text, int slot);
    void SendFileToClient(int slot);

    void RemoveClient(int slot) override;
    // Admits waiting connections while a slot is free.
    void OnConnectionPending();

    static constexpr int LISTEN_BACKLOG = 5;

signals:
    // A Terminal was admitted or removed.
    void clientsChanged();

private:
    int freeSlot() const;
    void writeStatus(const QString &text);
    void writeCountStatus();

    DisplayLine *m_pLine;
    DisplayLine *m_pStatus;
    ISerialLine *m_pSerial;
    IRedrawHost *m_pHost;
    quint16 m_port;
    QTcpServer *m_server;
    std::array<CConnSocket *, MAX_CLIENTS> m_clients {};
    int m_nCount = 0;
    bool m_listenFailed = false;
};
