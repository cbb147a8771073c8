#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

void DesktopNotifier::notify(const QString &title, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                                       QString::fromLatin1(Service), QStringLiteral("Notify"));
    // Application name, id to replace, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << title << uint(0) << QString() << title << body << QStringList() << QVariantMap() << int(-1);
    bus.send(call);
}
