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

void StationNotices::tellFolded(const QString &note)
{
    m_folded.append(note);
    QMetaObject::invokeMethod(this, &StationNotices::showFolded, Qt::QueuedConnection);
}

void StationNotices::showFolded()
{
    if (m_foldedShowing || m_folded.isEmpty())
        return;
    const QString text = m_folded.join(QLatin1Char('\n'));
    m_folded.clear();
    m_foldedShowing = true;
    m_desktop.messageBox(text);
    m_foldedShowing = false;
    showFolded();
}
