#pragma once

#include "Journal.h"
#include "SerialPort.h"

#include <QString>
#include <QStringList>

// What the Station's operator sets in 設定, kept in the per-user settings:
// the addresses Terminals may connect from, the local address to listen
// on, how many Terminals may connect from one address at once (empty, and
// 0, mean the default: every address, any number), and the days the journal
// of the history is kept (0: none), and the serial device that stands for
// COM1 (CSerialPort::NoDevice for none).
struct StationSettings
{
    QStringList allowedTerminals;
    QString listenAddress;
    int historyDays = Journal::DefaultKeptDays;
    int maxConnectionsPerAddress = 0;
    QString serialDevice = QString::fromLatin1(CSerialPort::FirstSerialPort);

    static StationSettings load();
    void store() const;

    bool operator==(const StationSettings &other) const
    {
        return allowedTerminals == other.allowedTerminals && listenAddress == other.listenAddress
            && historyDays == other.historyDays && maxConnectionsPerAddress == other.maxConnectionsPerAddress
            && serialDevice == other.serialDevice;
    }
};
