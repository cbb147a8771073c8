#include "SerialPort.h"

#include "Platform.h"

CSerialPort::CSerialPort(const QString &device, QObject *parent)
    : QObject(parent)
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

void CSerialPort::WriteByte(const QByteArray &payload, QObject *requester, std::function<void()> done)
{
    m_queue.push_back({payload.left(1), requester, std::move(done)});
    serveNext();
}

void CSerialPort::serveNext()
{
    if (m_pausing || m_queue.empty())
        return;
    const Request &current = m_queue.front();
    if (m_port.isOpen() && !current.firstByte.isEmpty()) {
        m_port.write(current.firstByte);
        // Hands the byte to the driver now, without waiting.
        m_port.flush();
    }
    m_pausing = true;
    Platform::get().singleShot(PAUSE_MS, this, [this] { endPause(); });
}

void CSerialPort::endPause()
{
    // A byte the line did not take during the pause would otherwise go out
    // together with the next payload's byte.
    if (m_port.isOpen() && m_port.bytesToWrite() > 0)
        m_port.clear(QSerialPort::Output);
    const Request served = std::move(m_queue.front());
    m_queue.pop_front();
    m_pausing = false;
    if (served.requester && served.done)
        served.done();
    serveNext();
}
