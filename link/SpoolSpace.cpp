#include "SpoolSpace.h"

#include <QStorageInfo>

#include <utility>

SpoolSpace &SpoolSpace::shared()
{
    static SpoolSpace space;
    return space;
}

SpoolSpace::Reservation::Reservation(Reservation &&other) noexcept
    : m_space(std::exchange(other.m_space, nullptr))
    , m_bytes(std::exchange(other.m_bytes, 0))
{
}

SpoolSpace::Reservation &SpoolSpace::Reservation::operator=(Reservation &&other) noexcept
{
    if (this != &other) {
        release();
        m_space = std::exchange(other.m_space, nullptr);
        m_bytes = std::exchange(other.m_bytes, 0);
    }
    return *this;
}

SpoolSpace::Reservation::~Reservation()
{
    release();
}

void SpoolSpace::Reservation::shrinkTo(qint64 outstanding)
{
    const qint64 kept = qBound(qint64(0), outstanding, m_bytes);
    if (m_space)
        m_space->m_reserved -= m_bytes - kept;
    m_bytes = kept;
}

void SpoolSpace::Reservation::release()
{
    shrinkTo(0);
    m_space = nullptr;
}

bool SpoolSpace::reserve(qint64 length, const QString &directory, Reservation *reservation, qint64 *room)
{
    const qint64 free = freeBytes(directory);
    if (free >= 0) {
        const qint64 margin = qMin(MAX_MARGIN, free / 8);
        *room = qMax(qint64(0), free - m_reserved - margin);
        if (length > *room)
            return false;
    } else {
        *room = -1;
    }
    *reservation = Reservation();
    reservation->m_space = this;
    reservation->m_bytes = length;
    m_reserved += length;
    return true;
}

qint64 SpoolSpace::freeBytes(const QString &directory) const
{
    return QStorageInfo(directory).bytesAvailable();
}
