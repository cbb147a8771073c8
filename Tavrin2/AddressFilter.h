#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The addresses the Station admits Terminals from: IPv4 and IPv6 addresses
// and ranges such as 192.168.1.0/24 or fd00::/8. An empty list admits
// every address. An IPv4 peer seen through an IPv6 listener
// (::ffff:192.168.1.5) matches the IPv4 entries.
class AddressFilter
{
public:
    // Replaces the list. Blank entries are skipped. Returns false, naming
    // the first bad entry in `badEntry`, when an entry is neither an address
    // nor a range; the good entries are kept, and a bad one matches nothing,
    // so that a mistyped list refuses rather than admits everyone.
    bool setEntries(const QStringList &entries, QString *badEntry = nullptr);
    QStringList entries() const { return m_entries; }

    bool admitsAny() const { return m_entries.isEmpty(); }
    bool admits(const QHostAddress &peer) const;

    // The range an entry stands for; a lone address is a range of one.
    static bool parseEntry(const QString &entry, QPair<QHostAddress, int> *range = nullptr);
    // An IPv4 address mapped into IPv6 as its IPv4 self; others unchanged.
    static QHostAddress unmapped(const QHostAddress &address);

private:
    QStringList m_entries;
    QList<QPair<QHostAddress, int>> m_ranges;
};
