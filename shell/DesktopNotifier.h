#pragma once

#include <QString>

// Desktop notifications through the freedesktop notification service on
// the session bus. Nothing waits for the service: without a bus, or without
// the service on it, a notification is simply not shown.
namespace DesktopNotifier {

inline constexpr const char *Service = "org.freedesktop.Notifications";
inline constexpr const char *Path = "/org/freedesktop/Notifications";

void notify(const QString &title, const QString &body);

}
