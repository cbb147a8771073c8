#pragma once

#include "AddressFilter.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>

// The Station's TCP server: a connection from an address its filter does not
// admit is closed as it is accepted, before a byte of it is read, and told by
// refused(); so is one from an address barred for a while, or one over the
// number of connections allowed from one address. Every connection it accepts is bounded from the start, so that
// one left waiting at a full table holds no more than an admitted one, and
// carries keepalive and a PeerWatch, so that a Terminal that vanishes,
// admitted or waiting, is noticed.
class FilteringServer : public QTcpServer
{
    Q_OBJECT

public:
    enum class Refusal { NotAllowed, TooMany, Barred };
    Q_ENUM(Refusal)

    explicit FilteringServer(QObject *parent = nullptr);

    // Applies to connections accepted from now on.
    void setFilter(const AddressFilter &filter) { m_filter = filter; }
    const AddressFilter &filter() const { return m_filter; }

    // Connections from one address at once, waiting ones included; 0 for any number.
    void setMaxPerAddress(int max) { m_maxPerAddress = max; }
    int maxPerAddress() const { return m_maxPerAddress; }
    // Refuses `address` until as many unbar() calls.
    void bar(const QHostAddress &address) { ++m_barred[address]; }
    void unbar(const QHostAddress &address);

    // Whether the filter admits `peer` and it is not barred; refused() when not.
    bool admits(const QHostAddress &peer);

signals:
    // A connection from `address` was or is to be closed unread.
    void refused(const QHostAddress &address, FilteringServer::Refusal why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    AddressFilter m_filter;
    int m_maxPerAddress = 0;
    QHash<QHostAddress, int> m_barred;
    // Connections accepted and not yet destroyed, by address.
    QHash<QHostAddress, int> m_live;
};
