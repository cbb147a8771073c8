#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class ITimers;

// Cuts what the device on the serial line sends into answers: a line ended
// by CR or LF (CR LF is one end, an empty line none), what came before
// SILENCE_MS without a byte, and of a longer line each MAX_ANSWER bytes.
// Holds at most MAX_ANSWER + 1 bytes, whatever the device sends.
class DeviceAnswers : public QObject
{
    Q_OBJECT

public:
    explicit DeviceAnswers(ITimers &timers, QObject *parent = nullptr);

    void take(const QByteArray &bytes);
    // Answers what is held now, as the line closes.
    void end();

    // `answer` for the history: its CP932 text, or its bytes in hex when
    // some of them are no CP932 character.
    static QString shown(const QByteArray &answer);

    static constexpr int SILENCE_MS = 100;
    static constexpr int MAX_ANSWER = 200;

signals:
    void answered(const QByteArray &answer);

private:
    void silenceOver();

    ITimers &m_timers;
    QByteArray m_held;
    bool m_waiting = false;
    // Bytes came while the silence was being waited for.
    bool m_heard = false;
};
