#pragma once

#include "ISerialLine.h"

#include <QSerialPort>
#include <QString>

// The Station's serial control line ("COM1"): opened exclusively and set to
// 9600 baud, 8N1, RTS off, no flow control once, when the Station starts, and
// kept open for the whole run. A port that cannot be opened leaves the
// Station working; RS control frames then only cost their pause.
class CSerialPort : public ISerialLine
{
public:
    explicit CSerialPort(const QString &device = defaultDevice());

    // The device that stands for COM1: $TAVRIN2_COM1 when set.
    static QString defaultDevice();

    bool isOpen() const;
    QString device() const { return m_port.portName(); }

    // Writes the first byte of `payload` (nothing when it is empty), then
    // pauses for one second whether or not a byte went out.
    void WriteByte(const QByteArray &payload) override;

    static constexpr qint32 BAUD_RATE = 9600;
    static constexpr int PAUSE_MS = 1000;

private:
    QSerialPort m_port;
};
