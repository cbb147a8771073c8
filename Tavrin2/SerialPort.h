#pragma once

#include "ISerialLine.h"

#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

#include <deque>

// The Station's serial control line ("COM1"): opened exclusively and set to
// 9600 baud, 8N1, RTS off, no flow control once, when the Station starts, and
// kept open for the whole run. A port that cannot be opened leaves the
// Station working; RS control frames then only cost their pause.
//
// RS control payloads from all Terminals wait in one queue and are served
// in arrival order, one byte and one pause at a time, on timers: the
// Station goes on handling everything else meanwhile.
class CSerialPort : public QObject, public ISerialLine
{
    Q_OBJECT

public:
    explicit CSerialPort(const QString &device = defaultDevice(), QObject *parent = nullptr);

    // The device that stands for COM1: $TAVRIN2_COM1 when set.
    static QString defaultDevice();

    bool isOpen() const;
    QString device() const { return m_port.portName(); }
    // Payloads queued and not yet served, the one in its pause included.
    int pending() const { return int(m_queue.size()); }

    // Queues `payload`; its first byte (nothing when it is empty) goes out
    // when its turn comes, followed by a one-second pause whether or not a
    // byte went out. `done` runs when that pause is over.
    void WriteByte(const QByteArray &payload, QObject *requester, std::function<void()> done) override;

    static constexpr qint32 BAUD_RATE = 9600;
    static constexpr int PAUSE_MS = 1000;

private:
    struct Request
    {
        QByteArray firstByte;
        QPointer<QObject> requester;
        std::function<void()> done;
    };

    void serveNext();
    void endPause();

    QSerialPort m_port;
    // The front is the payload being served while a pause runs.
    std::deque<Request> m_queue;
    bool m_pausing = false;
};
