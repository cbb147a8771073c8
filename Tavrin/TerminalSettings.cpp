#include "TerminalSettings.h"

#include "AppFramework.h"

#include <QSettings>

namespace {
const QString ReconnectKey = QStringLiteral("Connection/Reconnect");
const QString RecentStationsKey = QStringLiteral("Connection/RecentStations");
const QString ExtensionKey = QStringLiteral("Link/Extension");

const QString Program = QStringLiteral("Tavrin");

// A default value removes the key: absent means the default.
template<typename Value>
void storeSetting(QSettings &settings, const QString &key, const Value &value, const Value &defaultValue)
{
    if (value == defaultValue)
        settings.remove(key);
    else
        settings.setValue(key, value);
}
}

TerminalSettings TerminalSettings::load()
{
    const QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), Program);
    const TerminalSettings defaults;
    return {settings.value(ReconnectKey, defaults.reconnect).toBool(),
            settings.value(ExtensionKey, defaults.extension).toBool(),
            settings.value(QString::fromLatin1(Journal::KeptDaysKey), defaults.historyDays).toInt()};
}

void TerminalSettings::store() const
{
    QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), Program);
    const TerminalSettings defaults;
    storeSetting(settings, ReconnectKey, reconnect, defaults.reconnect);
    storeSetting(settings, ExtensionKey, extension, defaults.extension);
    storeSetting(settings, QString::fromLatin1(Journal::KeptDaysKey), historyDays, defaults.historyDays);
}

QStringList TerminalSettings::recentStations()
{
    const QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), Program);
    QStringList stations = settings.value(RecentStationsKey).toStringList();
    stations.removeAll(QString());
    stations.removeDuplicates();
    return stations.mid(0, MAX_RECENT_STATIONS);
}

void TerminalSettings::rememberStation(const QString &address)
{
    if (address.isEmpty())
        return;
    QStringList stations = recentStations();
    stations.removeAll(address);
    stations.prepend(address);
    QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), Program);
    settings.setValue(RecentStationsKey, stations.mid(0, MAX_RECENT_STATIONS));
}
