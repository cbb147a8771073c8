#include "SerialPort.h"

#include "Platform.h"

CSerialPort::CSerialPort(const QString &device)
{
    m_port.setPortName(device);
    m_port.setBaudRate(BAUD_RATE);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // Write-only: the Station never reads the line, and a read-write port
    // would buffer whatever the far end sends for the whole run.
    if (m_port.open(QIODevice::WriteOnly))
        m_port.setRequestToSend(false);
}

QString CSerialPort::defaultDevice()
{
    const QString configured = qEnvironmentVariable("TAVRIN2_COM1");
    if (!configured.isEmpty())
        return configured;
#ifdef Q_OS_WIN
    return QStringLiteral("COM1");
#else
    return QStringLiteral("/dev/ttyS0");
#endif
}

bool CSerialPort::isOpen() const
{
    return m_port.isOpen();
}

void CSerialPort::WriteByte(const QByteArray &payload)
{
    if (m_port.isOpen() && !payload.isEmpty()) {
        m_port.write(payload.constData(), 1);
        // Hands the byte to the driver now; the pause below runs no events.
        m_port.flush();
    }
    Platform::get().sleep(PAUSE_MS);
    // A byte the line did not take during the pause would otherwise go out
    // together with the next frame's byte.
    if (m_port.isOpen() && m_port.bytesToWrite() > 0)
        m_port.clear(QSerialPort::Output);
}
