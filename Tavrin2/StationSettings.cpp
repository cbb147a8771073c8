#include "StationSettings.h"

#include "AppFramework.h"

#include <QSettings>

namespace {
const QString AllowedTerminalsKey = QStringLiteral("Security/AllowedTerminals");
const QString ListenAddressKey = QStringLiteral("Security/ListenAddress");
const QString MaxPerAddressKey = QStringLiteral("Security/MaxConnectionsPerAddress");
const QString SerialDeviceKey = QStringLiteral("Serial/Device");

// An empty value removes the key: absent means the default.
template<typename Value>
void storeSetting(QSettings &settings, const QString &key, const Value &value)
{
    if (value.isEmpty())
        settings.remove(key);
    else
        settings.setValue(key, value);
}
}

StationSettings StationSettings::load()
{
    const QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"));
    StationSettings loaded {settings.value(AllowedTerminalsKey).toStringList(), settings.value(ListenAddressKey).toString(),
                            settings.value(QString::fromLatin1(Journal::KeptDaysKey), Journal::DefaultKeptDays).toInt(),
                            qMax(0, settings.value(MaxPerAddressKey).toInt())};
    const QString device = settings.value(SerialDeviceKey).toString();
    if (!device.isEmpty())
        loaded.serialDevice = device;
    return loaded;
}

void StationSettings::store() const
{
    QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"));
    storeSetting(settings, AllowedTerminalsKey, allowedTerminals);
    storeSetting(settings, ListenAddressKey, listenAddress);
    if (historyDays == Journal::DefaultKeptDays)
        settings.remove(QString::fromLatin1(Journal::KeptDaysKey));
    else
        settings.setValue(QString::fromLatin1(Journal::KeptDaysKey), historyDays);
    if (maxConnectionsPerAddress > 0)
        settings.setValue(MaxPerAddressKey, maxConnectionsPerAddress);
    else
        settings.remove(MaxPerAddressKey);
    if (serialDevice == QLatin1String(CSerialPort::FirstSerialPort))
        settings.remove(SerialDeviceKey);
    else
        settings.setValue(SerialDeviceKey, serialDevice);
}
