#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QStringList>

class IPlatform;

// Notices the Station keeps from piling up: a refused address is noted once
// a minute at most, and notes that arrive while their message box is open
// are shown together in one box once it is closed.
class StationNotices : public QObject
{
    Q_OBJECT

public:
    static constexpr int REFUSAL_NOTE_INTERVAL_MS = 60 * 1000;

    StationNotices(IPlatform &desktop, QObject *parent = nullptr);

    // True when a refusal of `address` is to be noted now.
    bool takeRefusal(const QHostAddress &address);
    // Shows `note` in a message box from the event loop, joined with the
    // others that came meanwhile.
    void tellFolded(const QString &note);

private:
    void showFolded();

    IPlatform &m_desktop;
    // Addresses whose refusal was noted less than a minute ago.
    QSet<QHostAddress> m_refusalsTold;
    QStringList m_folded;
    bool m_foldedShowing = false;
};
