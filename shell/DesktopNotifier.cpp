#include "DesktopNotifier.h"

#include "DisplayText.h"
#include "Timers.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>

namespace {
constexpr int REPLY_TIMEOUT_MS = 5000;

QDBusMessage notifyCall(const QString &title, uint replacesId, const QString &body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(DesktopNotifier::Service),
                                                       QString::fromLatin1(DesktopNotifier::Path),
                                                       QString::fromLatin1(DesktopNotifier::Service),
                                                       QStringLiteral("Notify"));
    // Application name, id to replace, icon, summary, body, actions, hints, timeout (-1: the server's).
    call << title << replacesId << QString() << title << DisplayText::notificationBody(body) << QStringList()
         << QVariantMap() << int(-1);
    return call;
}
}

void DesktopNotifier::notify(const QString &title, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.send(notifyCall(title, 0, body));
}

SenderNotifier::SenderNotifier(const QString &title, ITimers &timers, QObject *parent)
    : QObject(parent)
    , m_title(title)
    , m_timers(timers)
{
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                startAfresh();
        });
    }
}

void SenderNotifier::notify(const QString &sender, const QString &text)
{
    auto found = m_senders.find(sender);
    const bool fresh = found == m_senders.end();
    if (fresh) {
        found = m_senders.insert(sender, Sender());
        found->epoch = m_nextEpoch++;
    }
    Sender &state = *found;
    ++state.count;
    state.latest = text.left(TEXT_CHARS);
    state.unshown = true;
    state.textSinceTick = true;
    if (fresh) {
        show(sender, state);
        scheduleTick(sender, state.epoch);
    }
}

void SenderNotifier::startAfresh()
{
    m_senders.clear();
}

uint SenderNotifier::notificationId(const QString &sender) const
{
    const auto found = m_senders.constFind(sender);
    return found == m_senders.cend() ? 0 : found->id;
}

void SenderNotifier::show(const QString &sender, Sender &state)
{
    state.unshown = false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    const QString prefix = sender.isEmpty() ? QString() : sender + QStringLiteral(": ");
    const QString body = state.count == 1
                             ? prefix + state.latest
                             : prefix + QStringLiteral("新しい文字列 %1 件 — %2").arg(state.count).arg(state.latest);
    const QDBusPendingCall pending = bus.asyncCall(notifyCall(m_title, state.id, body), REPLY_TIMEOUT_MS);
    if (state.id != 0)
        return;
    // Updates wait for the id, or each would raise a notification of its own.
    state.waitingForId = true;
    auto *watcher = new QDBusPendingCallWatcher(pending, this);
    const quint64 epoch = state.epoch;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, sender, epoch](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const auto found = m_senders.find(sender);
        if (found == m_senders.end() || found->epoch != epoch)
            return;
        found->waitingForId = false;
        const QDBusPendingReply<uint> reply = *call;
        if (!reply.isError())
            found->id = reply.value();
    });
}

void SenderNotifier::scheduleTick(const QString &sender, quint64 epoch)
{
    m_timers.singleShot(UPDATE_MS, this, [this, sender, epoch] { tick(sender, epoch); });
}

void SenderNotifier::tick(const QString &sender, quint64 epoch)
{
    const auto found = m_senders.find(sender);
    if (found == m_senders.end() || found->epoch != epoch)
        return;
    Sender &state = *found;
    if (state.textSinceTick) {
        state.quietTicks = 0;
    } else if (++state.quietTicks * UPDATE_MS >= QUIET_MS) {
        m_senders.erase(found);
        return;
    }
    state.textSinceTick = false;
    if (state.unshown && !state.waitingForId)
        show(sender, state);
    scheduleTick(sender, epoch);
}
