#pragma once

#include <QString>
#include <QStringList>

// What the Station's operator sets in 設定, kept in the per-user settings:
// the addresses Terminals may connect from, the local address to listen
// on, and how many Terminals may connect from one address at once. Empty,
// and 0, mean the default: every address, any number.
struct StationSettings
{
    QStringList allowedTerminals;
    QString listenAddress;
    int maxConnectionsPerAddress = 0;

    static StationSettings load();
    void store() const;

    bool operator==(const StationSettings &other) const
    {
        return allowedTerminals == other.allowedTerminals && listenAddress == other.listenAddress
            && maxConnectionsPerAddress == other.maxConnectionsPerAddress;
    }
};
