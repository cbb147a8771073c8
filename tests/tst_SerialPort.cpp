#include "ScriptedPlatform.h"
#include "SerialPort.h"

#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal standing in for the serial line: the Station opens the
// slave by name, the test reads what reaches the master.
class PtyLine
{
public:
    PtyLine()
    {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            m_name = QString::fromLocal8Bit(name);
            // Raw, so that bytes reach the master unchanged.
            termios raw {};
            tcgetattr(m_slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(m_slave, TCSANOW, &raw);
            fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        }
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
    int slave() const { return m_slave; }

    // Everything the line carried within `waitMs` after the first byte (or
    // `waitMs` in all when nothing comes).
    QByteArray drain(int waitMs = 200)
    {
        QByteArray received;
        pollfd fd { m_master, POLLIN, 0 };
        while (::poll(&fd, 1, waitMs) > 0 && (fd.revents & POLLIN)) {
            char buffer[256];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            received.append(buffer, n);
            waitMs = 50;
        }
        return received;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};

} // namespace

class tst_SerialPort : public QObject
{
    Q_OBJECT

private slots:
    void defaultDevice();
    void configuresLine();
    void opensExclusively();
    void writesFirstByteOnly_data();
    void writesFirstByteOnly();
    void eachPayloadPausesOnItsOwn();
    void missingPortStillPauses();
    void byteHeldByLineIsDiscarded();
};

void tst_SerialPort::defaultDevice()
{
    const QByteArray saved = qgetenv("TAVRIN2_COM1");
    qputenv("TAVRIN2_COM1", "/dev/ttyUSB7");
    QCOMPARE(CSerialPort::defaultDevice(), QStringLiteral("/dev/ttyUSB7"));
    qunsetenv("TAVRIN2_COM1");
    QCOMPARE(CSerialPort::defaultDevice(), QStringLiteral("/dev/ttyS0"));
    if (!saved.isNull())
        qputenv("TAVRIN2_COM1", saved);
}

void tst_SerialPort::configuresLine()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    // Start from settings the port must change.
    termios before {};
    tcgetattr(line.slave(), &before);
    cfsetispeed(&before, B38400);
    cfsetospeed(&before, B38400);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    before.c_iflag |= IXON | IXOFF;
    tcsetattr(line.slave(), TCSANOW, &before);

    CSerialPort port(line.name());
    QVERIFY(port.isOpen());

    termios after {};
    QCOMPARE(tcgetattr(line.slave(), &after), 0);
    QCOMPARE(cfgetospeed(&after), speed_t(B9600));
    QCOMPARE(cfgetispeed(&after), speed_t(B9600));
    QCOMPARE(after.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(!(after.c_cflag & PARENB));
    QVERIFY(!(after.c_cflag & CSTOPB));
    QVERIFY(!(after.c_cflag & CRTSCTS));
    QVERIFY(!(after.c_iflag & (IXON | IXOFF)));
}

void tst_SerialPort::opensExclusively()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    CSerialPort first(line.name());
    QVERIFY(first.isOpen());
    CSerialPort second(line.name());
    QVERIFY(!second.isOpen());
}

void tst_SerialPort::writesFirstByteOnly_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("onLine");

    QTest::newRow("abc") << QByteArray("abc") << QByteArray("\x61");
    QTest::newRow("one byte") << QByteArray("Z") << QByteArray("Z");
    QTest::newRow("NUL first") << QByteArray("\0x", 2) << QByteArray("\0", 1);
    QTest::newRow("high byte") << QByteArray("\xff\x01") << QByteArray("\xff");
    QTest::newRow("CP932 lead byte") << QByteArray("\x82\xa0") << QByteArray("\x82");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_SerialPort::writesFirstByteOnly()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, onLine);
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name());
    QVERIFY(port.isOpen());

    port.WriteByte(payload);

    QCOMPARE(platform.sleeps, QList<int>({1000}));
    QCOMPARE(line.drain(), onLine);
}

void tst_SerialPort::eachPayloadPausesOnItsOwn()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name());
    QVERIFY(port.isOpen());
    QByteArray seenAtPause;
    platform.onSleep = [&](int) { seenAtPause += line.drain(); };

    port.WriteByte("abc");
    port.WriteByte("xyz");

    QCOMPARE(platform.sleeps, QList<int>({1000, 1000}));
    // Each byte was on the line before its own pause began.
    QCOMPARE(seenAtPause + line.drain(), QByteArray("ax"));
    QCOMPARE(seenAtPause, QByteArray("ax"));
}

void tst_SerialPort::missingPortStillPauses()
{
    ScriptedPlatform platform;
    CSerialPort port(QStringLiteral("/dev/tavrin-no-such-port"));
    QVERIFY(!port.isOpen());

    port.WriteByte("abc");
    port.WriteByte(QByteArray());

    QCOMPARE(platform.sleeps, QList<int>({1000, 1000}));
}

void tst_SerialPort::byteHeldByLineIsDiscarded()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name());
    QVERIFY(port.isOpen());

    // The line takes nothing while output is suspended.
    QCOMPARE(tcflow(line.slave(), TCOOFF), 0);
    port.WriteByte("abc");
    QCOMPARE(tcflow(line.slave(), TCOON), 0);
    QCoreApplication::processEvents();
    port.WriteByte("xyz");
    QCoreApplication::processEvents();

    QCOMPARE(line.drain(), QByteArray("x"));
    QCOMPARE(platform.sleeps, QList<int>({1000, 1000}));
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_SerialPort.moc"
