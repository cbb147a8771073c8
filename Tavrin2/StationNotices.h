#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSet>

class IPlatform;

// Notices the Station keeps from piling up: a refused address is noted once
// a minute at most.
class StationNotices : public QObject
{
    Q_OBJECT

public:
    static constexpr int REFUSAL_NOTE_INTERVAL_MS = 60 * 1000;

    StationNotices(IPlatform &desktop, QObject *parent = nullptr);

    // True when a refusal of `address` is to be noted now.
    bool takeRefusal(const QHostAddress &address);
private:
    IPlatform &m_desktop;
    // Addresses whose refusal was noted less than a minute ago.
    QSet<QHostAddress> m_refusalsTold;
};
