#pragma once

#include "Journal.h"
#include "SerialPort.h"

#include <QString>
#include <QStringList>

// What the Station's operator sets in 設定, kept in the per-user settings:
// the addresses Terminals may connect from, the local address to listen
// on, how many Terminals may connect from one address at once (empty, and
// 0, mean the default: every address, any number), the days the journal
// of the history is kept (0: none), the serial device that stands for COM1
// (CSerialPort::NoDevice for none) and whether the connections it admits
// offer the extension our programs speak between them.
struct StationSettings
{
    QStringList allowedTerminals;
    QString listenAddress;
    int historyDays = Journal::DefaultKeptDays;
    int maxConnectionsPerAddress = 0;
    QString serialDevice = QString::fromLatin1(CSerialPort::FirstSerialPort);
    bool extension = true;

    static StationSettings load();
    void store() const;

    bool operator==(const StationSettings &other) const
    {
        return allowedTerminals == other.allowedTerminals && listenAddress == other.listenAddress
            && historyDays == other.historyDays && maxConnectionsPerAddress == other.maxConnectionsPerAddress
            && serialDevice == other.serialDevice
            && extension == other.extension;
    }
};
