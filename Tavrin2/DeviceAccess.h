#pragma once

#include <QList>
#include <QString>

// Who may open a device file, as the system says it: its owner, group and
// mode, and the user with the groups this process has and those the group
// database gives (the latter take effect at the next login).
struct DeviceAccess
{
    QString device;
    // The file's own name behind any link, as udev names it.
    QString kernelName;
    // False when the file could not be looked at.
    bool known = false;
    uint owner = 0;
    uint group = 0;
    // The permission bits, as in 0660.
    uint mode = 0;
    QString ownerName;
    QString groupName;
    uint user = 0;
    QString userName;
    QList<uint> sessionGroups;
    QList<uint> memberGroups;

    // The device and this process's user as they stand.
    static DeviceAccess of(const QString &device);
};

// What the user refused `access.device` for permission can do about it, in
// the operator's words: join the device's group, log in again to take up a
// group joined already, or, when the group may not read and write or is
// root's, have the administrator give the device to the dialout group.
QString permissionAdvice(const DeviceAccess &access);
