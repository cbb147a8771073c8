#include "StationNotices.h"

#include "Platform.h"

StationNotices::StationNotices(IPlatform &desktop, QObject *parent)
    : QObject(parent)
    , m_desktop(desktop)
{
}

bool StationNotices::takeRefusal(const QHostAddress &address)
{
    if (m_refusalsTold.contains(address))
        return false;
    m_refusalsTold.insert(address);
    m_desktop.singleShot(REFUSAL_NOTE_INTERVAL_MS, this, [this, address] { m_refusalsTold.remove(address); });
    return true;
}
