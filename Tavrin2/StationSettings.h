#pragma once

#include <QString>
#include <QStringList>

// What the Station's operator sets in 設定, kept in the per-user settings:
// the addresses Terminals may connect from and the local address to listen
// on. Empty means the default: every address.
struct StationSettings
{
    QStringList allowedTerminals;
    QString listenAddress;

    static StationSettings load();
    void store() const;

    bool operator==(const StationSettings &other) const
    {
        return allowedTerminals == other.allowedTerminals && listenAddress == other.listenAddress;
    }
};
