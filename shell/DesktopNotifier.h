#pragma once

#include <QHash>
#include <QObject>
#include <QString>

class ITimers;

// Desktop notifications through the freedesktop notification service on
// the session bus. Nothing waits for the service: without a bus, or without
// the service on it, a notification is simply not shown. Bodies are escaped
// for servers that render markup, control characters shown as pictures.
namespace DesktopNotifier {

inline constexpr const char *Service = "org.freedesktop.Notifications";
inline constexpr const char *Path = "/org/freedesktop/Notifications";

// One notification per call.
void notify(const QString &title, const QString &body);

}

// Notifications of texts, at most one per sender at a time: the first text
// raises it, later ones update it in place (the service's replaces_id) with
// their count and the latest text, at most once every UPDATE_MS. A sender's
// next text raises a fresh one once the operator has come to the program
// (the application turned active, or startAfresh()), or after QUIET_MS
// without texts from it. A flood thus costs about one call a second.
class SenderNotifier : public QObject
{
    Q_OBJECT

public:
    SenderNotifier(const QString &title, ITimers &timers, QObject *parent = nullptr);

    // A text from `sender` ("端末 3"; empty where there is only one peer).
    void notify(const QString &sender, const QString &text);
    void startAfresh();
    // The service's id of `sender`'s notification; 0 when none is shown or
    // the service has not answered yet.
    uint notificationId(const QString &sender) const;

    static constexpr int UPDATE_MS = 1000;
    static constexpr int QUIET_MS = 10000;
    // Of the latest text, what a notification shows.
    static constexpr int TEXT_CHARS = 60;

private:
    struct Sender
    {
        quint64 epoch = 0;
        // The service's id of the notification shown; 0 until it answered.
        uint id = 0;
        bool waitingForId = false;
        int count = 0;
        QString latest;
        bool unshown = false;
        bool textSinceTick = false;
        int quietTicks = 0;
    };

    void show(const QString &sender, Sender &state);
    void tick(const QString &sender, quint64 epoch);
    void scheduleTick(const QString &sender, quint64 epoch);

    QString m_title;
    ITimers &m_timers;
    QHash<QString, Sender> m_senders;
    quint64 m_nextEpoch = 1;
};
