#include "SerialPort.h"

#include "DeviceAccess.h"
#include "SystemErrorText.h"
#include "Timers.h"

#include <QFile>
#include <QSerialPortInfo>

#include <algorithm>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// What the port holds of the device's answers until they are read.
constexpr qint64 ReadBufferBytes = 4096;

bool mayUse(const QString &device)
{
#ifdef Q_OS_UNIX
    return ::faccessat(AT_FDCWD, QFile::encodeName(device).constData(), R_OK | W_OK, AT_EACCESS) == 0;
#else
    Q_UNUSED(device);
    return true;
#endif
}
}

CSerialPort::CSerialPort(const QString &device, ITimers *timers, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_timers(timers ? *timers : ITimers::real())
    , m_answers(m_timers)
{
    m_port.setPortName(device);
    m_port.setReadBufferSize(ReadBufferBytes);
    connect(&m_port, &QSerialPort::readyRead, this, [this] { m_answers.take(m_port.readAll()); });
    connect(&m_answers, &DeviceAnswers::answered, this, &CSerialPort::answered);
    m_port.setBaudRate(BAUD_RATE);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    // An adapter pulled out shows as a resource error on the next write.
    connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (!m_port.isOpen())
            return;
        // A line that takes nothing just now (Qt calls it a resource error
        // too) keeps the byte; the pause's end finds it still waiting.
        if (m_port.errorString() == qt_error_string(EAGAIN)) {
            m_port.clearError();
            return;
        }
        if (error == QSerialPort::ResourceError || error == QSerialPort::WriteError)
            lineBroke();
    });
    if (!noLine() && !open())
        m_failure = openFailure();
}

bool CSerialPort::open()
{
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    m_port.setRequestToSend(false);
    m_failure.clear();
    return true;
}

void CSerialPort::close()
{
    m_answers.end();
    m_port.close();
}

void CSerialPort::setDevice(const QString &device)
{
    if (device == m_device)
        return;
    if (!m_queue.empty() && m_port.isOpen() && m_port.bytesToWrite() > 0)
        m_queue.front().written = false;
    // What a stalled line holds would keep its close waiting.
    if (m_stalled)
        m_port.clear(QSerialPort::Output);
    close();
    m_device = device;
    m_port.setPortName(device);
    m_failure.clear();
    setStalled(false);
    if (!noLine() && !open()) {
        m_failure = openFailure();
        emit failed(m_failure);
    }
    if (m_pausing)
        writeFront();
}

void CSerialPort::lineBroke()
{
    const QString error = SystemErrorText::describe(m_port.errorString());
    close();
    m_failure = QStringLiteral("シリアルポート %1 が使えなくなりました（%2）。装置とケーブルを確かめてください。"
                               "次のRSコントロールの文字列が届いたときに、開き直します。")
                    .arg(m_device, error);
    emit failed(m_failure);
}

QString CSerialPort::openFailure() const
{
    QString reason;
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        reason = overridingDevice().isEmpty()
            ? QStringLiteral("その装置がありません。装置をつなぐか、「設定」で別のシリアルポートを選んでください。")
            : QStringLiteral("その装置がありません。装置をつなぐか、環境変数 TAVRIN2_COM1 で別の装置を指定して、"
                             "Tavrin2 を起動し直してください。");
        break;
    case QSerialPort::PermissionError:
        // Qt reports a port held by another program as a permission error too.
        if (mayUse(m_device))
            reason = QStringLiteral("他のプログラムが使用中です。そのプログラムを終了してください。");
        else
            reason = permissionAdvice(DeviceAccess::of(m_device));
        break;
    default:
        reason = QStringLiteral("%1。").arg(SystemErrorText::describe(m_port.errorString()));
        break;
    }
    return QStringLiteral("シリアルポート %1 を開けませんでした。%2\n"
                          "開けるまで、RSコントロールの文字列は回線に送られません。Tavrin2 はこのまま使えます。")
        .arg(m_device, reason);
}

QString CSerialPort::defaultDevice(const QString &setting)
{
    if (!overridingDevice().isEmpty())
        return overridingDevice();
    return setting.isEmpty() ? QString::fromLatin1(FirstSerialPort) : setting;
}

QList<SerialPortName> CSerialPort::availablePorts()
{
    QList<SerialPortName> ports;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        ports.append({port.portName(), port.systemLocation(), port.description()});
    return ports;
}

QString CSerialPort::overridingDevice()
{
    return qEnvironmentVariable("TAVRIN2_COM1");
}

bool CSerialPort::isOpen() const
{
    return m_port.isOpen();
}

void CSerialPort::WriteByte(const QByteArray &payload, QObject *requester)
{
    m_queue.push_back({payload.left(1), requester});
    serveNext();
}

int CSerialPort::discard(const QObject *requester)
{
    // The front is on the line already while its pause runs.
    const auto waiting = m_queue.begin() + (m_pausing ? 1 : 0);
    const auto kept = std::remove_if(waiting, m_queue.end(),
                                     [requester](const Request &request) { return request.requester == requester; });
    const int dropped = int(m_queue.end() - kept);
    m_queue.erase(kept, m_queue.end());
    return dropped;
}

void CSerialPort::serveNext()
{
    if (m_pausing || m_queue.empty())
        return;
    // The line may have come back (an adapter plugged in again).
    if (!m_port.isOpen() && !noLine())
        open();
    writeFront();
    m_pausing = true;
    m_timers.singleShot(PAUSE_MS, this, [this] { endPause(); });
}

void CSerialPort::writeFront()
{
    Request &current = m_queue.front();
    if (!m_port.isOpen() || current.firstByte.isEmpty() || current.written)
        return;
    m_port.write(current.firstByte);
    // Hands the byte to the driver now, without waiting.
    m_port.flush();
    current.written = m_port.isOpen();
    if (current.written && m_port.bytesToWrite() == 0)
        wentOut(current);
}

void CSerialPort::wentOut(const Request &request)
{
    emit byteWritten(request.firstByte, request.requester);
    setStalled(false);
}

void CSerialPort::endPause()
{
    m_pausing = false;
    Request &front = m_queue.front();
    if (front.written && m_port.isOpen()) {
        if (m_port.bytesToWrite() > 0) {
            setStalled(true);
            serveNext();
            return;
        }
        if (m_stalled)
            wentOut(front);
    }
    const Request served = std::move(front);
    m_queue.pop_front();
    if (served.requester)
        emit pauseOver(served.requester);
    serveNext();
}

void CSerialPort::setStalled(bool stalled)
{
    if (m_stalled == stalled)
        return;
    m_stalled = stalled;
    if (stalled) {
        m_failure = QStringLiteral("シリアルポート %1 の回線が文字を受け取りません。装置の電源とケーブル、"
                                   "フロー制御の設定を確かめてください。RSコントロールの文字列は、回線が受け取るように"
                                   "なるまで待たせておき、順に送ります。")
                        .arg(m_device);
        emit failed(m_failure);
    } else {
        m_failure.clear();
    }
    emit stalledChanged(stalled);
}
