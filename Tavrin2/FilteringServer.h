#pragma once

#include "AddressFilter.h"

#include <QHostAddress>
#include <QTcpServer>

// The Station's TCP server: a connection from an address its filter does not
// admit is closed as it is accepted, before a byte of it is read, and told by
// refused(). Every connection it accepts is bounded from the start, so that
// one left waiting at a full table holds no more than an admitted one, and
// carries keepalive and a PeerWatch, so that a Terminal that vanishes,
// admitted or waiting, is noticed.
class FilteringServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit FilteringServer(QObject *parent = nullptr);

    // Applies to connections accepted from now on.
    void setFilter(const AddressFilter &filter) { m_filter = filter; }
    const AddressFilter &filter() const { return m_filter; }

    // Whether the filter admits `peer`; refused() when it does not.
    bool admits(const QHostAddress &peer);

signals:
    // A connection from `address` was or is to be closed unread.
    void refused(const QHostAddress &address);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    AddressFilter m_filter;
};
