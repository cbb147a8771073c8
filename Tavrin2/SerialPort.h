#pragma once

#include "DeviceAnswers.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>

#include <deque>

class ITimers;

// A serial port of the machine, as the operator chooses among them.
struct SerialPortName
{
    QString portName;
    QString systemLocation;
    QString description;
};

// The Station's serial control line ("COM1"): opened exclusively and set to
// 9600 baud, 8N1, RTS off, no flow control when the Station starts, and kept
// open while it works. A port that cannot be opened, or fails on a write,
// leaves the Station working: RS control frames then cost only their pause,
// each one tries to open the port again, and failed() tells the operator
// once per time the line stops working. The device "none" means no line.
// What the device sends back is read as it comes and told as answers.
//
// RS control payloads from all Terminals wait in one queue and are served
// in arrival order, one byte and one pause at a time, on timers: the
// Station goes on handling everything else meanwhile. A line that takes no
// byte (nobody reads it, or its flow control holds it) is not broken: the
// byte stays the one being served, pause after pause, until it has gone,
// and the line is told stalled once until then.
class CSerialPort : public QObject
{
    Q_OBJECT

public:
    explicit CSerialPort(const QString &device, ITimers *timers = nullptr, QObject *parent = nullptr);

    // The device that stands for COM1: $TAVRIN2_COM1 when set, else
    // `setting`, else FirstSerialPort.
    static QString defaultDevice(const QString &setting = QString());
    // $TAVRIN2_COM1, empty when it is not set.
    static QString overridingDevice();
    // The machine's serial ports. Finding them opens every 8250 port for a
    // moment, to tell a real one.
    static QList<SerialPortName> availablePorts();
    static constexpr const char *NoDevice = "none";
    // COM1 when TAVRIN2_COM1 names nothing.
#ifdef Q_OS_WIN
    static constexpr const char *FirstSerialPort = "COM1";
#else
    static constexpr const char *FirstSerialPort = "/dev/ttyS0";
#endif

    QString device() const { return m_device; }
    // Closes the line and opens `device` in its place. The strings waiting
    // go to the new line in their order; the byte being served goes there
    // too unless the old line took it, and its pause runs on.
    void setDevice(const QString &device);

    bool isOpen() const;
    // Why the line does not work, in the operator's words; empty while it
    // works and when there is no line.
    QString failure() const { return m_failure; }
    // Payloads queued and not yet served, the one in its pause included.
    int pending() const { return int(m_queue.size()); }
    // True while the byte being served has not left for a whole pause.
    bool isStalled() const { return m_stalled; }

    // Queues `payload`; its first byte (nothing when it is empty) goes out
    // when its turn comes, followed by a one-second pause whether or not a
    // byte went out. pauseOver(requester) follows that pause, unless
    // `requester` is gone by then.
    void WriteByte(const QByteArray &payload, QObject *requester);
    // Drops the payloads of `requester` that wait for their turn (not the
    // one being served); returns how many.
    int discard(const QObject *requester);

    static constexpr qint32 BAUD_RATE = 9600;
    static constexpr int PAUSE_MS = 1000;

signals:
    // The line went from working to not working; `message` says why.
    void failed(const QString &message);
    // `byte` went to the line now, for `requester` (null once it is gone).
    void byteWritten(const QByteArray &byte, QObject *requester);
    // The pause after a payload of `requester` is over.
    void pauseOver(QObject *requester);
    // isStalled() changed; failed() told the operator when it began.
    void stalledChanged(bool stalled);
    // The device sent `answer` (see DeviceAnswers).
    void answered(const QByteArray &answer);

private:
    struct Request
    {
        QByteArray firstByte;
        QPointer<QObject> requester;
        // Handed to the port, which keeps it until the line takes it.
        bool written = false;
    };

    void serveNext();
    void writeFront();
    void close();
    void endPause();
    bool noLine() const { return m_device == QLatin1String(NoDevice); }
    bool open();
    void lineBroke();
    void wentOut(const Request &request);
    void setStalled(bool stalled);
    QString openFailure() const;

    QString m_device;
    ITimers &m_timers;
    QSerialPort m_port;
    DeviceAnswers m_answers;
    QString m_failure;
    // The front is the payload being served while a pause runs.
    std::deque<Request> m_queue;
    bool m_pausing = false;
    bool m_stalled = false;
};
