#pragma once

#include <QString>

#include <memory>

class QTemporaryDir;

// The private directory a connection parks its files in: owner-only, under
// the system temp path, named "tavrin-" and six letters or digits, and
// removed with this object. A lock file in it stays locked (flock) while its
// process lives, whatever ends it, so that a directory left by a process
// that was killed can be told from one in use.
class SpoolDirectory
{
public:
    SpoolDirectory();
    ~SpoolDirectory();

    SpoolDirectory(const SpoolDirectory &) = delete;
    SpoolDirectory &operator=(const SpoolDirectory &) = delete;

    bool isValid() const;
    QString path() const;

    // Removes this user's spool directories under the temp path whose
    // process has gone, and those without a lock that nothing has touched
    // for STALE_UNLOCKED_SECONDS; ones in use are left alone. Returns how
    // many went.
    static int removeStale();
    // True when `name` is the name of a spool directory.
    static bool isSpoolDirectoryName(const QString &name);

    static constexpr const char *LockName = ".lock";
    static constexpr int STALE_UNLOCKED_SECONDS = 3600;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    int m_lock = -1;
};
