#include "LinkTestSupport.h"
#include "PtyLine.h"
#include "ScriptedPlatform.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {
// Whose pause each pauseOver() ended, in order.
QList<QObject *> requesters(const QSignalSpy &over)
{
    QList<QObject *> told;
    for (const QList<QVariant> &args : over)
        told.append(args[0].value<QObject *>());
    return told;
}
}

class tst_SerialPort : public QObject
{
    Q_OBJECT

private slots:
    void defaultDevice();
    void configuresLine();
    void opensExclusively();
    void writesFirstByteOnly_data();
    void writesFirstByteOnly();
    void payloadsServedInOrderOnePausePerByte();
    void goneRequesterIsNotTold();
    void discardKeepsTheByteOnTheLine();
    void lineThatTakesNoByteKeepsItToldOnce();
    void openFailureNamesTheReason_data();
    void openFailureNamesTheReason();
    void noDeviceMeansNoLine();
    void lineThatGoesAwayIsToldOnceAndReopened();
};

void tst_SerialPort::defaultDevice()
{
    const QByteArray saved = qgetenv("TAVRIN2_COM1");
    qputenv("TAVRIN2_COM1", "/dev/ttyUSB7");
    QCOMPARE(CSerialPort::defaultDevice(), QStringLiteral("/dev/ttyUSB7"));
    // COM1 is the first serial port; an empty setting names no device.
    qunsetenv("TAVRIN2_COM1");
    const QString firstSerialPort = QString::fromLatin1(CSerialPort::FirstSerialPort);
    QCOMPARE(CSerialPort::defaultDevice(), firstSerialPort);
    qputenv("TAVRIN2_COM1", "");
    QCOMPARE(CSerialPort::defaultDevice(), firstSerialPort);
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
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());

    QSignalSpy over(&port, &CSerialPort::pauseOver);
    port.WriteByte(payload, this);
    // Queued on the event loop, never written while the caller waits.
    QCOMPARE(over.count(), 0);
    QTRY_COMPARE(over.count(), 1);
    QCOMPARE(over[0][0].value<QObject *>(), this);
    QCOMPARE(platform.pauses, QList<int>({1000}));
    QCOMPARE(line.drain(), onLine);
}

void tst_SerialPort::payloadsServedInOrderOnePausePerByte()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    platform.realPauseMs = 150;
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());

    QObject first;
    QObject second;
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    port.WriteByte("abc", &first);
    port.WriteByte(QByteArray(), &second);
    port.WriteByte("xyz", &second);
    QCOMPARE(port.pending(), 3);

    // Each byte reaches the line a whole pause after the one before; the
    // empty payload takes its pause without a byte.
    QElapsedTimer clock;
    clock.start();
    QByteArray received;
    QList<qint64> arrivals;
    while (received.size() < 2 && clock.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const QByteArray got = line.drain(0);
        if (!got.isEmpty()) {
            received += got;
            arrivals.append(clock.elapsed());
        }
    }
    QCOMPARE(received, QByteArray("ax"));
    QVERIFY2(arrivals[1] - arrivals[0] >= 2 * 150 - 20, qPrintable(QString::number(arrivals[1] - arrivals[0])));
    QTRY_COMPARE(over.count(), 3);
    QCOMPARE(requesters(over), QList<QObject *>({&first, &second, &second}));
    QCOMPARE(port.pending(), 0);
}

void tst_SerialPort::goneRequesterIsNotTold()
{
    ScriptedPlatform platform;
    CSerialPort port(QStringLiteral("/dev/tavrin-no-such-port"), &platform);
    QVERIFY(!port.isOpen());

    QSignalSpy over(&port, &CSerialPort::pauseOver);
    {
        QObject gone;
        port.WriteByte("abc", &gone);
    }
    QObject staying;
    port.WriteByte(QByteArray(), &staying);
    QTRY_COMPARE(platform.pauses.size(), 2);
    QTRY_COMPARE(over.count(), 1);
    QCOMPARE(requesters(over), QList<QObject *>{&staying});
    QCOMPARE(platform.pauses, QList<int>({1000, 1000}));
}

void tst_SerialPort::discardKeepsTheByteOnTheLine()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());

    QObject leaving;
    QObject staying;
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    port.WriteByte("abc", &leaving);
    port.WriteByte("xyz", &staying);
    port.WriteByte("def", &leaving);
    port.WriteByte(QByteArray(), &leaving);

    // "abc" is in its pause already: only what waits behind it goes.
    QCOMPARE(port.discard(&leaving), 2);
    QCOMPARE(port.pending(), 2);
    QTRY_COMPARE(over.count(), 2);
    QCOMPARE(requesters(over), QList<QObject *>({&leaving, &staying}));
    QCOMPARE(platform.pauses.size(), 2);
    QCOMPARE(line.drain(), QByteArray("ax"));
}

void tst_SerialPort::lineThatTakesNoByteKeepsItToldOnce()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    // Nobody reads the master: fill the pty until it takes no more.
    const int flags = fcntl(line.slave(), F_GETFL);
    QCOMPARE(fcntl(line.slave(), F_SETFL, flags | O_NONBLOCK), 0);
    const QByteArray filler(256, '.');
    qint64 filled = 0;
    // The kernel moves what was written on to the master's side for a while.
    for (qint64 before = -1; before != filled; QTest::qWait(50)) {
        before = filled;
        for (ssize_t n; (n = ::write(line.slave(), filler.constData(), size_t(filler.size()))) > 0;)
            filled += n;
        QCOMPARE(errno, EAGAIN);
    }
    ScriptedPlatform platform;
    platform.realPauseMs = 20;
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());

    QSignalSpy failed(&port, &CSerialPort::failed);
    QSignalSpy stalled(&port, &CSerialPort::stalledChanged);
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    QSignalSpy written(&port, &CSerialPort::byteWritten);
    port.WriteByte("abc", this);
    port.WriteByte("xyz", this);
    port.WriteByte("def", this);
    QTRY_VERIFY(platform.pauses.size() >= 5);
    // Pause after pause the first string stays, told once; none is lost.
    QCOMPARE(failed.count(), 1);
    QVERIFY(failed[0][0].toString().contains(line.name()));
    QCOMPARE(stalled.count(), 1);
    QVERIFY(port.isStalled());
    QCOMPARE(over.count(), 0);
    QCOMPARE(written.count(), 0);
    QCOMPARE(port.pending(), 3);
    QVERIFY(port.isOpen());

    QByteArray carried;
    QVERIFY(LinkTest::pumpUntil([&] {
        carried += line.drain(10);
        return carried.size() >= filled + 3;
    }));
    QCOMPARE(carried.mid(int(filled)), QByteArray("axd"));
    QTRY_COMPARE(over.count(), 3);
    QVERIFY(!port.isStalled());
    QCOMPARE(stalled.count(), 2);
    QCOMPARE(written.count(), 3);
    QCOMPARE(failed.count(), 1);
}

void tst_SerialPort::openFailureNamesTheReason_data()
{
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("advice");
    QTest::newRow("no such device") << QStringLiteral("missing") << QStringLiteral("TAVRIN2_COM1");
    QTest::newRow("held by another program") << QStringLiteral("busy") << QStringLiteral("他のプログラムが使用中");
    QTest::newRow("no permission") << QStringLiteral("forbidden") << QStringLiteral("dialout");
}

void tst_SerialPort::openFailureNamesTheReason()
{
    QFETCH(QString, why);
    QFETCH(QString, advice);
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    QString device = line.name();
    std::unique_ptr<CSerialPort> holder;
    const uid_t user = geteuid();
    if (why == QLatin1String("missing"))
        device = QStringLiteral("/dev/tavrin-no-such-port");
    if (why == QLatin1String("busy"))
        holder = std::make_unique<CSerialPort>(device);
    if (why == QLatin1String("forbidden")) {
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0), 0);
        // Root may open anything: try as nobody.
        if (user == 0)
            QCOMPARE(::seteuid(65534), 0);
    }
    CSerialPort port(device);
    if (why == QLatin1String("forbidden") && user == 0)
        QCOMPARE(::seteuid(0), 0);

    QVERIFY(!port.isOpen());
    QVERIFY2(port.failure().contains(device), qPrintable(port.failure()));
    QVERIFY2(port.failure().contains(advice), qPrintable(port.failure()));
    QVERIFY(port.failure().contains(QStringLiteral("RSコントロールの文字列は回線に送られません")));
}

void tst_SerialPort::noDeviceMeansNoLine()
{
    ScriptedPlatform platform;
    CSerialPort port(QString::fromLatin1(CSerialPort::NoDevice), &platform);
    QSignalSpy failed(&port, &CSerialPort::failed);
    QVERIFY(!port.isOpen());
    QVERIFY(port.failure().isEmpty());
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    port.WriteByte("abc", this);
    QTRY_COMPARE(over.count(), 1);
    QCOMPARE(platform.pauses, QList<int>({1000}));
    QCOMPARE(failed.count(), 0);
}

void tst_SerialPort::lineThatGoesAwayIsToldOnceAndReopened()
{
    // The device name is a link, so that another line can take its place
    // as an adapter plugged in again would.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString device = dir.filePath(QStringLiteral("com1"));
    auto first = std::make_unique<PtyLine>();
    if (!first->isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    QVERIFY(QFile::link(first->name(), device));
    ScriptedPlatform platform;
    CSerialPort port(device, &platform);
    QVERIFY(port.isOpen());
    QSignalSpy failed(&port, &CSerialPort::failed);
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    const auto write = [&](const char *payload) { port.WriteByte(payload, this); };

    write("a");
    QTRY_COMPARE(over.count(), 1);
    QCOMPARE(first->drain(), QByteArray("a"));

    first.reset();
    QVERIFY(QFile::remove(device));
    write("b");
    write("c");
    QTRY_COMPARE(over.count(), 3);
    QVERIFY(!port.isOpen());
    QCOMPARE(failed.count(), 1);
    QVERIFY(failed[0][0].toString().contains(device));
    // The line's other end is gone: the system's EIO, said in Japanese.
    QVERIFY2(failed[0][0].toString().contains(QStringLiteral("（入出力エラーです）")), qPrintable(failed[0][0].toString()));

    PtyLine second;
    QVERIFY(second.isValid());
    QVERIFY(QFile::link(second.name(), device));
    write("d");
    QTRY_COMPARE(over.count(), 4);
    QVERIFY(port.isOpen());
    QVERIFY(port.failure().isEmpty());
    QCOMPARE(second.drain(), QByteArray("d"));
    QCOMPARE(failed.count(), 1);
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_SerialPort.moc"
