#pragma once

#include "AddressFilter.h"
#include "FileReception.h"
#include "FilteringServer.h"
#include "Frame.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <array>
#include <memory>

class CConnSocket;
class CSerialPort;
class ITimers;
class QIODevice;
class RsRelay;

// The Station's listener and its client table. Each Terminal it admits gets
// the lowest free of MAX_CLIENTS slots and a CConnSocket of its own, a child
// of this object until RemoveClient, with an RsRelay that carries its RS
// strings to the serial line and its other frames here in order. It reports
// what happens by signals; the Station decides what its operator sees.
//
// At MAX_CLIENTS a further connection stays pending, costing nothing, and is
// admitted into the first slot that frees. A Terminal that leaves keeps its
// slot while the frames it sent before are handled, save its RS strings that
// have not reached the line's queue: those are dropped and counted, so that
// the slot frees at the pace of the network, not of the line.
class CListenSocket : public QObject
{
    Q_OBJECT

public:
    // `serial` may be null (no line); `port` stands for SERVICE_PORT.
    CListenSocket(CSerialPort *serial, ITimers &timers, quint16 port = SERVICE_PORT, QObject *parent = nullptr);

    // Starts listening unless already listening; false (and listenFailed()
    // with the reason) on failure. A later call tries again.
    bool Listen();
    bool isListening() const;
    quint16 serverPort() const;
    // The local address the next Listen() binds; every address by default.
    void setListenAddress(const QHostAddress &address) { m_listenAddress = address; }
    QHostAddress listenAddress() const { return m_listenAddress; }

    // Whether connections admitted from now on offer our extension.
    void setExtensionEnabled(bool enabled) { m_extensionEnabled = enabled; }
    // Applies to connections accepted from now on, and to one that waits.
    void setAddressFilter(const AddressFilter &filter);
    const AddressFilter &addressFilter() const;
    // Connections from one address at once; 0 for any number.
    void setMaxConnectionsPerAddress(int max);
    int maxConnectionsPerAddress() const;
    // Refuses connections from `address`, a waiting one included, for `milliseconds`.
    void barAddress(const QHostAddress &address, int milliseconds);

    // The connection in `slot`, open or leaving; nullptr for a free slot.
    CConnSocket *client(int slot) const;
    // True while the Terminal in `slot` has left and its last frames are handled.
    bool isLeaving(int slot) const;
    // RS strings of `slot` not yet written to the line, the one in the
    // line's queue included.
    quint64 waitingRs(int slot) const;
    // The slot of `connection`, -1 when it holds none.
    int slotOf(const QObject *connection) const;
    int count() const { return m_nCount; }

    // `text` is CP932 bytes. False, sending nothing, unless `slot` holds an
    // open connection.
    bool SendTextToClient(const QByteArray &text, int slot);
    // Starts sending `file` to `slot`. False, sending nothing, unless the
    // slot holds an open connection with no file on its way.
    bool SendFileToClient(QIODevice *file, int slot);

    // Closes the connection in `slot` at once, drops what it still had
    // queued for the serial line and frees the slot.
    void dropClient(int slot);
    // Admits waiting connections while a slot is free.
    void OnConnectionPending();

    static constexpr int LISTEN_BACKLOG = 5;

signals:
    void listening();
    void listenFailed(QAbstractSocket::SocketError error, const QString &systemText);
    // A Terminal was admitted or removed; `count` Terminals hold slots.
    void countChanged(int count);
    // A Terminal took `slot`; client(slot) tells its address.
    void clientAdmitted(int slot);
    // The Terminal in `slot` left; its last frames are being handled.
    void clientLeaving(int slot);
    // The slot is free again; `droppedRs` of the RS strings the Terminal
    // sent before leaving never reached the line.
    void clientRemoved(int slot, int droppedRs);
    void textReceived(int slot, const QByteArray &text);
    void unicodeTextReceived(int slot, const QString &text);
    // What the Terminal in `slot` did with a named file it was sent.
    void fileReceipt(int slot, const QString &name, quint64 size, FileReceipt receipt);
    // A file of `slot` arrived on `connection`; its spool goes with `file`.
    void fileReceived(int slot, CConnSocket *connection, const ReceivedFile &file);
    void fileRefused(int slot, quint64 length, qint64 available);
    // waitingRs(slot) changed.
    void waitingRsChanged(int slot, quint64 waiting);
    // A connection from `address` was closed unread, for `why`.
    void connectionRefused(const QHostAddress &address, FilteringServer::Refusal why);

private:
    struct Client
    {
        CConnSocket *connection = nullptr;
        RsRelay *relay = nullptr;
    };

    int freeSlot() const;
    void watch(int slot);
    void RemoveClient(int slot);

    CSerialPort *m_pSerial;
    ITimers &m_timers;
    quint16 m_port;
    QHostAddress m_listenAddress {QHostAddress::Any};
    FilteringServer *m_server;
    std::array<Client, MAX_CLIENTS> m_clients {};
    int m_nCount = 0;
    bool m_extensionEnabled = false;
};
