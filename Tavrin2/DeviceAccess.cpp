#include "DeviceAccess.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

namespace {
constexpr uint ReadWrite = 06;

bool mayReadWrite(uint mode, int shift)
{
    return ((mode >> shift) & ReadWrite) == ReadWrite;
}

QString modeText(uint mode)
{
    QString text;
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (mode >> shift) & 04 ? QLatin1Char('r') : QLatin1Char('-');
        text += (mode >> shift) & 02 ? QLatin1Char('w') : QLatin1Char('-');
        text += (mode >> shift) & 01 ? QLatin1Char('x') : QLatin1Char('-');
    }
    return text;
}

QString nameOr(const QString &name, uint id)
{
    return name.isEmpty() ? QString::number(id) : name;
}

#ifdef Q_OS_UNIX
QString userNameOf(uid_t user)
{
    const passwd *entry = ::getpwuid(user);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

QString groupNameOf(gid_t group)
{
    const struct group *entry = ::getgrgid(group);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString();
}
#endif
}

DeviceAccess DeviceAccess::of(const QString &device)
{
    DeviceAccess access;
    access.device = device;
    const QString target = QFileInfo(device).canonicalFilePath();
    access.kernelName = QFileInfo(target.isEmpty() ? device : target).fileName();
#ifdef Q_OS_UNIX
    struct stat status {};
    access.known = ::stat(QFile::encodeName(device).constData(), &status) == 0;
    if (access.known) {
        access.owner = status.st_uid;
        access.group = status.st_gid;
        access.mode = status.st_mode & 0777;
        access.ownerName = userNameOf(status.st_uid);
        access.groupName = groupNameOf(status.st_gid);
    }
    access.user = ::geteuid();
    access.userName = userNameOf(access.user);
    access.sessionGroups.append(::getegid());
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(qMax(count, 0)));
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        access.sessionGroups.append(QList<uint>(groups.begin(), groups.end()));
    if (const passwd *entry = ::getpwuid(access.user)) {
        int members = 64;
        std::vector<gid_t> joined(static_cast<size_t>(members));
        if (::getgrouplist(entry->pw_name, entry->pw_gid, joined.data(), &members) < 0) {
            joined.resize(size_t(members));
            ::getgrouplist(entry->pw_name, entry->pw_gid, joined.data(), &members);
        }
        joined.resize(size_t(qMax(members, 0)));
        access.memberGroups = QList<uint>(joined.begin(), joined.end());
    }
#endif
    return access;
}

QString permissionAdvice(const DeviceAccess &access)
{
    const QString user = nameOr(access.userName, access.user);
    if (!access.known)
        return QStringLiteral("このユーザー（%1）には使う権限がありません。管理者に、このユーザーが %2 を読み書きできるように"
                              "してもらってください。")
            .arg(user, access.device);
    const QString group = nameOr(access.groupName, access.group);
    const QString standing = QStringLiteral("（%1 の持ち主は %2、グループは %3、権限は %4）")
                                 .arg(access.device, nameOr(access.ownerName, access.owner), group,
                                      modeText(access.mode));
    const bool groupMay = mayReadWrite(access.mode, 3);
    const bool inGroup = access.sessionGroups.contains(access.group);
    const QString systemRefused = QStringLiteral("このユーザー（%1）は読み書きできるはずですが、システムが拒みました%2。"
                                                 "管理者に、アクセス制御の設定を確かめてもらってください。")
                                      .arg(user, standing);
    // The kernel looks at the owner's bits, else the group's, else the others'.
    if (access.user == access.owner) {
        if (mayReadWrite(access.mode, 6))
            return systemRefused;
        return QStringLiteral("持ち主のこのユーザー（%1）にも読み書きの権限がありません%2。「chmod u+rw %3」を実行してください。")
            .arg(user, standing, access.device);
    }
    if ((inGroup && groupMay) || (!inGroup && mayReadWrite(access.mode, 0)))
        return systemRefused;
    // Joining root's group would give away far more than the line.
    if (!inGroup && groupMay && access.group != 0) {
        if (access.memberGroups.contains(access.group))
            return QStringLiteral("このユーザー（%1）は %2 グループに入っていますが、このログインにはまだ反映されていません%3。"
                                  "いったんログアウトして、ログインし直してください。")
                .arg(user, group, standing);
        return QStringLiteral("このユーザー（%1）は %2 グループに入っていません%3。「sudo usermod -aG %2 %1」を実行して"
                              "グループに加え、ログインし直してください。")
            .arg(user, group, standing);
    }
    const QString why = groupMay ? QStringLiteral("装置のグループが root のため、このユーザー（%1）をそのグループに加えることは"
                                                  "勧められません%2。")
                                       .arg(user, standing)
                                 : QStringLiteral("装置のグループ %1 には読み書きの権限がありません%2。").arg(group, standing);
    return why
        + QStringLiteral("管理者に頼んで、udev の規則で装置を dialout グループの読み書きにしてもらってください（例: "
                         "/etc/udev/rules.d/ のファイルに KERNEL==\"%1\", GROUP=\"dialout\", MODE=\"0660\"）。"
                         "すぐに試すだけなら「sudo chmod 666 %2」を実行します（装置をつなぎ直すと元に戻ります）。")
              .arg(access.kernelName, access.device);
}
