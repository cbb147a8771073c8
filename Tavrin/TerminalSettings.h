#pragma once

#include "Journal.h"

#include <QString>
#include <QStringList>

// What the Terminal's operator sets in 設定, kept in the per-user settings:
// whether a connection the Station ended is made again by itself, whether
// the link offers its extension to a Station, and the days the journal of
// the history is kept (0: none). Beside them, the Stations last connected
// to, which Start offers.
struct TerminalSettings
{
    static constexpr int MAX_RECENT_STATIONS = 10;

    bool reconnect = true;
    bool extension = true;
    int historyDays = Journal::DefaultKeptDays;

    static TerminalSettings load();
    void store() const;

    // The Stations connected to, the most recent first, at most MAX_RECENT_STATIONS.
    static QStringList recentStations();
    // `address` connected: first in the list, once.
    static void rememberStation(const QString &address);

    bool operator==(const TerminalSettings &other) const
    {
        return reconnect == other.reconnect && extension == other.extension && historyDays == other.historyDays;
    }
};
