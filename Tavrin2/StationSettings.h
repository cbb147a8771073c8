#pragma once

#include "Journal.h"

#include <QString>
#include <QStringList>

// What the Station's operator sets in 設定, kept in the per-user settings:
// the addresses Terminals may connect from, the local address to listen
// on, how many Terminals may connect from one address at once (empty, and
// 0, mean the default: every address, any number), the days the journal
// of the history is kept (0: none) and whether the connections it admits
// offer the extension our programs speak between them.
struct StationSettings
{
    QStringList allowedTerminals;
    QString listenAddress;
    int historyDays = Journal::DefaultKeptDays;
    int maxConnectionsPerAddress = 0;
    bool extension = true;

    static StationSettings load();
    void store() const;

    bool operator==(const StationSettings &other) const
    {
        return allowedTerminals == other.allowedTerminals && listenAddress == other.listenAddress
            && historyDays == other.historyDays && maxConnectionsPerAddress == other.maxConnectionsPerAddress
            && extension == other.extension;
    }
};
