#pragma once

#include <QByteArray>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal standing in for the Station's serial line: the code
// under test opens the slave by name, the test reads what reaches the
// master and writes what the device answers. Link with util.
class PtyLine
{
public:
    PtyLine()
    {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_name = QString::fromLocal8Bit(name);
        // Raw, so that bytes reach the master unchanged.
        termios raw {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyLine()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    bool isValid() const { return !m_name.isEmpty(); }
    QString name() const { return m_name; }
    // The test's own descriptor of the slave, for termios checks.
    int slave() const { return m_slave; }

    // The device sends `bytes`.
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // What the line carried: waits up to `waitMs` for a first byte, then
    // takes whatever follows closely.
    QByteArray drain(int waitMs = 200)
    {
        QByteArray received;
        pollfd fd { m_master, POLLIN, 0 };
        while (::poll(&fd, 1, waitMs) > 0 && (fd.revents & POLLIN)) {
            char buffer[256];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            received.append(buffer, int(n));
            waitMs = 50;
        }
        return received;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};
