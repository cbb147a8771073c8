#include "DeviceAccess.h"
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

// The answers told so far, as the history shows them.
QStringList shownAnswers(const QSignalSpy &answered)
{
    QStringList shown;
    for (const QList<QVariant> &args : answered)
        shown.append(DeviceAnswers::shown(args[0].toByteArray()));
    return shown;
}
}

Q_DECLARE_METATYPE(QList<uint>)

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
    void permissionAdvice_data();
    void permissionAdvice();
    void deviceAnswers_data();
    void deviceAnswers();
    void answerEndsAfterSilence();
    void switchingDeviceKeepsWhatIsInFlight();
};

void tst_SerialPort::defaultDevice()
{
    const QByteArray saved = qgetenv("TAVRIN2_COM1");
    qputenv("TAVRIN2_COM1", "/dev/ttyUSB7");
    QCOMPARE(CSerialPort::defaultDevice(), QStringLiteral("/dev/ttyUSB7"));
    // The variable overrides the device chosen in the settings.
    QCOMPARE(CSerialPort::defaultDevice(QStringLiteral("/dev/ttyUSB1")), QStringLiteral("/dev/ttyUSB7"));
    // COM1 is the first serial port; an empty setting names no device.
    qunsetenv("TAVRIN2_COM1");
    const QString firstSerialPort = QString::fromLatin1(CSerialPort::FirstSerialPort);
    QCOMPARE(CSerialPort::defaultDevice(), firstSerialPort);
    QCOMPARE(CSerialPort::defaultDevice(QStringLiteral("/dev/ttyUSB1")), QStringLiteral("/dev/ttyUSB1"));
    qputenv("TAVRIN2_COM1", "");
    QCOMPARE(CSerialPort::defaultDevice(), firstSerialPort);
    QVERIFY(CSerialPort::overridingDevice().isEmpty());
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
    QTest::newRow("no such device") << QStringLiteral("missing") << QStringLiteral("「設定」で別のシリアルポート");
    QTest::newRow("held by another program") << QStringLiteral("busy") << QStringLiteral("他のプログラムが使用中");
    // Owned by the user, or by root's tty group when run as root.
    QTest::newRow("no permission") << QStringLiteral("forbidden") << QStringLiteral("権限は ---------");
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

void tst_SerialPort::permissionAdvice_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<uint>("group");
    QTest::addColumn<QString>("groupName");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QList<uint>>("sessionGroups");
    QTest::addColumn<QList<uint>>("memberGroups");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<QString>("notSaid");

    const uint user = 1000;
    const uint dialout = 20;
    const QString dialoutName = QStringLiteral("dialout");
    const QString rootName = QStringLiteral("root");
    const QList<uint> own {user};
    const QList<uint> joined {user, dialout};
    QTest::newRow("not in the device's group")
        << true << 0u << dialout << dialoutName << 0660u << own << own
        << QStringList {QStringLiteral("「sudo usermod -aG dialout operator」"), QStringLiteral("ログインし直して"),
                        QStringLiteral("/dev/ttyUSB0 の持ち主は root、グループは dialout、権限は rw-rw----")}
        << QStringLiteral("udev");
    QTest::newRow("joined, not yet in this login")
        << true << 0u << dialout << dialoutName << 0660u << own << joined
        << QStringList {QStringLiteral("dialout グループに入っていますが"), QStringLiteral("ログインし直して")}
        << QStringLiteral("usermod");
    QTest::newRow("group may not read and write")
        << true << 0u << 0u << rootName << 0600u << own << own
        << QStringList {QStringLiteral("グループ root には読み書きの権限がありません"),
                        QStringLiteral("KERNEL==\"ttyUSB0\", GROUP=\"dialout\", MODE=\"0660\""),
                        QStringLiteral("「sudo chmod 666 /dev/ttyUSB0」")}
        << QStringLiteral("usermod");
    QTest::newRow("root's group") << true << 0u << 0u << rootName << 0660u << own << own
                                  << QStringList {QStringLiteral("グループが root のため"), QStringLiteral("udev")}
                                  << QStringLiteral("usermod");
    QTest::newRow("in a group that may only read")
        << true << 0u << dialout << dialoutName << 0640u << joined << joined
        << QStringList {QStringLiteral("グループ dialout には読み書きの権限がありません"), QStringLiteral("udev")}
        << QStringLiteral("ログインし直して");
    QTest::newRow("owner without read and write")
        << true << user << dialout << dialoutName << 0060u << joined << joined
        << QStringList {QStringLiteral("「chmod u+rw /dev/ttyUSB0」")} << QStringLiteral("usermod");
    QTest::newRow("allowed and refused all the same")
        << true << 0u << dialout << dialoutName << 0660u << joined << joined
        << QStringList {QStringLiteral("アクセス制御")} << QStringLiteral("usermod");
    QTest::newRow("device not readable") << false << 0u << 0u << QString() << 0u << own << own
                                         << QStringList {QStringLiteral("管理者に")} << QStringLiteral("usermod");
}

void tst_SerialPort::permissionAdvice()
{
    QFETCH(bool, known);
    QFETCH(uint, owner);
    QFETCH(uint, group);
    QFETCH(QString, groupName);
    QFETCH(uint, mode);
    QFETCH(QList<uint>, sessionGroups);
    QFETCH(QList<uint>, memberGroups);
    QFETCH(QStringList, said);
    QFETCH(QString, notSaid);
    DeviceAccess access;
    access.device = QStringLiteral("/dev/ttyUSB0");
    access.kernelName = QStringLiteral("ttyUSB0");
    access.known = known;
    access.owner = owner;
    access.ownerName = owner == 0 ? QStringLiteral("root") : QStringLiteral("operator");
    access.group = group;
    access.groupName = groupName;
    access.mode = mode;
    access.user = 1000;
    access.userName = QStringLiteral("operator");
    access.sessionGroups = sessionGroups;
    access.memberGroups = memberGroups;
    const QString advice = ::permissionAdvice(access);
    for (const QString &part : said)
        QVERIFY2(advice.contains(part), qPrintable(advice));
    QVERIFY2(!advice.contains(notSaid), qPrintable(advice));
}

void tst_SerialPort::deviceAnswers_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("shown");
    const QString from = QStringLiteral("装置から: ");
    QTest::newRow("a line") << QByteArray("READY\r\n") << QStringList {from + QStringLiteral("READY")};
    QTest::newRow("CR, LF, CR LF; empty lines none")
        << QByteArray("A\rB\nC\r\n\r\n\n") << QStringList {from + "A", from + "B", from + "C"};
    QTest::newRow("CP932 and controls as text")
        << QByteArray("\x82\xa0\x1b[0m\t\x07\n")
        << QStringList {from + QStringLiteral("あ") + QStringLiteral("\x1b[0m\t\x07")};
    QTest::newRow("no CP932: hex") << QByteArray("\x00\xff\x80\x41\n", 5)
                                   << QStringList {QStringLiteral("装置から（16進）: 00 FF 80 41")};
    QTest::newRow("unended, after silence") << QByteArray("PROMPT>") << QStringList {from + QStringLiteral("PROMPT>")};
    QTest::newRow("long line cut") << QByteArray(450, 'x') + "\n"
                                   << QStringList {from + QString(200, QLatin1Char('x')),
                                                   from + QString(200, QLatin1Char('x')), from + QString(50, 'x')};
    QTest::newRow("cut before a double-byte character")
        << QByteArray(199, 'x') + "\x82\xa0" + "\n"
        << QStringList {from + QString(199, QLatin1Char('x')), from + QStringLiteral("あ")};
}

void tst_SerialPort::deviceAnswers()
{
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, shown);
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());
    QSignalSpy answered(&port, &CSerialPort::answered);
    QVERIFY(line.send(sent));
    QTRY_COMPARE(answered.count(), shown.size());
    QTest::qWait(50);
    QCOMPARE(shownAnswers(answered), shown);
}

void tst_SerialPort::answerEndsAfterSilence()
{
    PtyLine line;
    if (!line.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    CSerialPort port(line.name(), &platform);
    QVERIFY(port.isOpen());
    QSignalSpy answered(&port, &CSerialPort::answered);
    QVERIFY(line.send("AB"));
    QTRY_COMPARE(answered.count(), 1);
    QVERIFY(line.send("CD"));
    QTRY_COMPARE(answered.count(), 2);
    QCOMPARE(shownAnswers(answered), QStringList({QStringLiteral("装置から: AB"), QStringLiteral("装置から: CD")}));
    QCOMPARE(platform.pauses, QList<int>({DeviceAnswers::SILENCE_MS, DeviceAnswers::SILENCE_MS}));

    // Bytes that come while the silence is awaited belong to the answer, and
    // however they come one timer waits at a time.
    answered.clear();
    platform.pauses.clear();
    platform.realPauseMs = 400;
    QVERIFY(line.send("EF"));
    QTRY_COMPARE(platform.pauses.size(), 1);
    QVERIFY(line.send("GH"));
    QTest::qWait(50);
    QVERIFY(line.send("IJ"));
    QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 5000);
    QCOMPARE(shownAnswers(answered), QStringList({QStringLiteral("装置から: EFGHIJ")}));
    QCOMPARE(platform.pauses, QList<int>({DeviceAnswers::SILENCE_MS, DeviceAnswers::SILENCE_MS}));
}

void tst_SerialPort::switchingDeviceKeepsWhatIsInFlight()
{
    PtyLine first;
    PtyLine second;
    if (!first.isValid() || !second.isValid())
        QSKIP("no pseudo-terminal available to stand in for the serial line");
    ScriptedPlatform platform;
    // The silence outlasts the test: the answer ends only as its line closes.
    platform.onPause = [&](int ms) { platform.realPauseMs = ms == DeviceAnswers::SILENCE_MS ? 60 * 1000 : 100; };
    CSerialPort port(first.name(), &platform);
    QVERIFY(port.isOpen());
    QSignalSpy over(&port, &CSerialPort::pauseOver);
    QSignalSpy answered(&port, &CSerialPort::answered);
    QSignalSpy failed(&port, &CSerialPort::failed);
    QVERIFY(first.send("PART"));
    QTRY_COMPARE(platform.pauses.size(), 1);
    port.WriteByte("abc", this);
    port.WriteByte("def", this);
    port.WriteByte("ghi", this);
    QCOMPARE(first.drain(), QByteArray("a"));

    // The old line took "a"; what waits goes to the new one, in order, and
    // the old line's unended answer is told as it closes.
    port.setDevice(second.name());
    QCOMPARE(port.device(), second.name());
    QVERIFY(port.isOpen());
    QCOMPARE(shownAnswers(answered), QStringList({QStringLiteral("装置から: PART")}));
    QTRY_COMPARE(over.count(), 3);
    QCOMPARE(second.drain(), QByteArray("dg"));
    QCOMPARE(first.drain(0), QByteArray());
    // Only the new line is read.
    QVERIFY(second.send("OK\n"));
    QTRY_COMPARE(answered.count(), 2);
    QCOMPARE(shownAnswers(answered).last(), QStringLiteral("装置から: OK"));
    QCOMPARE(failed.count(), 0);

    // A line that cannot be opened is told at once.
    port.setDevice(QStringLiteral("/dev/tavrin-no-such-port"));
    QVERIFY(!port.isOpen());
    QCOMPARE(failed.count(), 1);
    QVERIFY(failed[0][0].toString().contains(QStringLiteral("/dev/tavrin-no-such-port")));
    // The first line is free again, for anyone.
    CSerialPort other(first.name());
    QVERIFY(other.isOpen());
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_SerialPort.moc"
