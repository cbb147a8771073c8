#pragma once

#include <QString>
#include <QtGlobal>

// The room on the temp file system that the spools of every connection of
// this process share. A file reserves its whole length when it begins, and
// a file that does not fit beside the ones in progress is refused then, so
// that several arriving at once cannot fill the disk and all be lost. A
// reservation shrinks as its spool is written, since the free space then
// counts those bytes itself.
class SpoolSpace
{
public:
    SpoolSpace() = default;
    virtual ~SpoolSpace() = default;

    SpoolSpace(const SpoolSpace &) = delete;
    SpoolSpace &operator=(const SpoolSpace &) = delete;

    // The one every connection of the process uses.
    static SpoolSpace &shared();

    // What one spool holds; given back when this goes.
    class Reservation
    {
    public:
        Reservation() = default;
        Reservation(Reservation &&other) noexcept;
        Reservation &operator=(Reservation &&other) noexcept;
        ~Reservation();

        qint64 bytes() const { return m_bytes; }
        // The bytes not yet written, for a reservation of at most that.
        void shrinkTo(qint64 outstanding);

    private:
        friend class SpoolSpace;
        void release();

        SpoolSpace *m_space = nullptr;
        qint64 m_bytes = 0;
    };

    // Reserves `length` bytes for a spool in `directory`; false when they do
    // not fit. `room` is then what is left for it: the free space less what
    // files in progress reserved and the margin. An unknown free space
    // refuses nothing.
    bool reserve(qint64 length, const QString &directory, Reservation *reservation, qint64 *room);

    qint64 reserved() const { return m_reserved; }

    // Left free for everything else: an eighth of the free space, at most this.
    static constexpr qint64 MAX_MARGIN = 4 * 1024 * 1024;

protected:
    // The bytes free for this user on the file system of `directory`, or -1.
    virtual qint64 freeBytes(const QString &directory) const;

private:
    qint64 m_reserved = 0;
};
