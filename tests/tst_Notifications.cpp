#include "DesktopNotifier.h"
#include "Timers.h"

#include <QDBusConnection>
#include <QPointer>
#include <QTest>

#include <functional>

namespace {
// Stands in for the desktop's notification service.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call
    {
        uint replacesId;
        QString body;
        uint id;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString &, uint replacesId, const QString &, const QString &, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        const uint id = replacesId != 0 ? replacesId : uint(100 + calls.size());
        calls.append({replacesId, body, id});
        return id;
    }
};

// Timers whose time comes when the test says so.
class ManualTimers : public ITimers
{
public:
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override
    {
        delays.append(milliseconds);
        m_due.append({QPointer<QObject>(context), std::move(then)});
    }
    // Runs the timers started so far.
    void elapse()
    {
        const QList<Due> due = std::move(m_due);
        m_due.clear();
        for (const Due &timer : due) {
            if (timer.context)
                timer.then();
        }
    }
    QList<int> delays;

private:
    struct Due
    {
        QPointer<QObject> context;
        std::function<void()> then;
    };
    QList<Due> m_due;
};
}

class tst_Notifications : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void floodUpdatesOneNotificationASecond();
    void freshNotification_data();
    void freshNotification();
    void bodiesRenderNoMarkup();

private:
    FakeNotifications m_fake;
    bool m_serving = false;
};

void tst_Notifications::init()
{
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake"));
    if (!bus.isConnected() || !bus.registerService(QString::fromLatin1(DesktopNotifier::Service)))
        QSKIP("No private session bus to register a notification service on (run under dbus-run-session)");
    QVERIFY(bus.registerObject(QString::fromLatin1(DesktopNotifier::Path), &m_fake, QDBusConnection::ExportAllSlots));
    m_serving = true;
    m_fake.calls.clear();
}

void tst_Notifications::cleanup()
{
    if (!m_serving)
        return;
    QDBusConnection bus(QStringLiteral("fake"));
    bus.unregisterObject(QString::fromLatin1(DesktopNotifier::Path));
    bus.unregisterService(QString::fromLatin1(DesktopNotifier::Service));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    m_serving = false;
}

void tst_Notifications::floodUpdatesOneNotificationASecond()
{
    ManualTimers timers;
    SenderNotifier notifier(QStringLiteral("Tavrin2"), timers);
    constexpr int seconds = 5;
    for (int second = 0; second < seconds; ++second) {
        for (int i = 0; i < 100; ++i) {
            notifier.notify(QStringLiteral("端末 3"), QStringLiteral("文字列 %1").arg(second * 100 + i));
            notifier.notify(QStringLiteral("端末 4"), QStringLiteral("text"));
        }
        QTRY_VERIFY(notifier.notificationId(QStringLiteral("端末 3")) != 0);
        QTRY_VERIFY(notifier.notificationId(QStringLiteral("端末 4")) != 0);
        timers.elapse();
    }
    for (int quiet = 0; quiet < 2 * SenderNotifier::QUIET_MS / SenderNotifier::UPDATE_MS; ++quiet)
        timers.elapse();
    QTRY_COMPARE(m_fake.calls.size(), 2 * (1 + seconds));
    QTest::qWait(20);
    QCOMPARE(m_fake.calls.size(), 2 * (1 + seconds));
    QVERIFY(!timers.delays.isEmpty());
    QCOMPARE(timers.delays.count(SenderNotifier::UPDATE_MS), timers.delays.size());

    QList<FakeNotifications::Call> three;
    for (const FakeNotifications::Call &call : m_fake.calls) {
        if (call.body.startsWith(QStringLiteral("端末 3")))
            three.append(call);
    }
    QCOMPARE(three.size(), 1 + seconds);
    QCOMPARE(three.first().replacesId, 0u);
    QCOMPARE(three.first().body, QStringLiteral("端末 3: 文字列 0"));
    for (qsizetype i = 1; i < three.size(); ++i)
        QCOMPARE(three.at(i).replacesId, three.first().id);
    QCOMPARE(three.last().body, QStringLiteral("端末 3: 新しい文字列 500 件 — 文字列 499"));
}

void tst_Notifications::freshNotification_data()
{
    QTest::addColumn<bool>("activated");
    QTest::addColumn<int>("quietMs");
    QTest::addColumn<bool>("fresh");
    QTest::newRow("window activated") << true << 0 << true;
    QTest::newRow("quiet long enough") << false << SenderNotifier::QUIET_MS << true;
    QTest::newRow("not quiet long enough") << false << SenderNotifier::QUIET_MS - SenderNotifier::UPDATE_MS << false;
}

void tst_Notifications::freshNotification()
{
    QFETCH(bool, activated);
    QFETCH(int, quietMs);
    QFETCH(bool, fresh);
    ManualTimers timers;
    SenderNotifier notifier(QStringLiteral("Tavrin"), timers);
    notifier.notify(QString(), QStringLiteral("first"));
    QTRY_VERIFY(notifier.notificationId(QString()) != 0);
    // The tick that found the first text, then the quiet ones.
    timers.elapse();
    for (int ms = 0; ms < quietMs; ms += SenderNotifier::UPDATE_MS)
        timers.elapse();
    if (activated)
        notifier.startAfresh();
    notifier.notify(QString(), QStringLiteral("second"));
    timers.elapse();
    QTRY_COMPARE(m_fake.calls.size(), 2);
    const FakeNotifications::Call second = m_fake.calls.last();
    QCOMPARE(second.replacesId, fresh ? 0u : m_fake.calls.first().id);
    QCOMPARE(second.body, fresh ? QStringLiteral("second") : QStringLiteral("新しい文字列 2 件 — second"));
}

void tst_Notifications::bodiesRenderNoMarkup()
{
    ManualTimers timers;
    SenderNotifier notifier(QStringLiteral("Tavrin2"), timers);
    notifier.notify(QStringLiteral("端末 1"), QStringLiteral("<b>x</b>\x1b[2J"));
    DesktopNotifier::notify(QStringLiteral("Tavrin2"), QStringLiteral("<img src=\"x\">\a"));
    QTRY_COMPARE(m_fake.calls.size(), 2);
    QStringList bodies;
    for (const FakeNotifications::Call &call : m_fake.calls)
        bodies.append(call.body);
    bodies.sort();
    QCOMPARE(bodies, QStringList({QStringLiteral("&lt;img src=&quot;x&quot;&gt;␇"),
                                  QStringLiteral("端末 1: &lt;b&gt;x&lt;/b&gt;␛[2J")}));
}

QTEST_GUILESS_MAIN(tst_Notifications)
#include "tst_Notifications.moc"
