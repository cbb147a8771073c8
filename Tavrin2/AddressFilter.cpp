#include "AddressFilter.h"

bool AddressFilter::setEntries(const QStringList &entries, QString *badEntry)
{
    m_entries.clear();
    m_ranges.clear();
    bool allGood = true;
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        m_entries.append(entry);
        QPair<QHostAddress, int> range;
        if (parseEntry(entry, &range)) {
            m_ranges.append(range);
        } else if (allGood) {
            allGood = false;
            if (badEntry)
                *badEntry = entry;
        }
    }
    return allGood;
}

bool AddressFilter::admits(const QHostAddress &peer) const
{
    if (admitsAny())
        return true;
    const QHostAddress plain = unmapped(peer);
    for (const auto &range : m_ranges) {
        if (plain.isInSubnet(range) || peer.isInSubnet(range))
            return true;
    }
    return false;
}

bool AddressFilter::parseEntry(const QString &entry, QPair<QHostAddress, int> *range)
{
    // The address must be whole: short IPv4 forms such as "10" would
    // otherwise stand for 0.0.0.10 or 10.0.0.0/8.
    const QString addressPart = entry.section(QLatin1Char('/'), 0, 0);
    QHostAddress address;
    if (!address.setAddress(addressPart) || !address.scopeId().isEmpty())
        return false;
    const bool isIPv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (isIPv4 && addressPart.count(QLatin1Char('.')) != 3)
        return false;
    const QString withPrefix = entry.contains(QLatin1Char('/'))
        ? entry
        : entry + (isIPv4 ? QStringLiteral("/32") : QStringLiteral("/128"));
    const auto parsed = QHostAddress::parseSubnet(withPrefix);
    if (parsed.second < 0 || parsed.first.protocol() != address.protocol())
        return false;
    if (range)
        *range = parsed;
    return true;
}

QHostAddress AddressFilter::unmapped(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}
