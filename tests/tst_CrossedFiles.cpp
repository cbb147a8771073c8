// Two ends sending large files to each other at the same time. A send waits
// for its peer once enough is queued; if a sending end stopped reading, or
// waited for anything but the event loop, both would wait for each other for
// ever.

#include "CSocket.h"
#include "FileSaveSession.h"
#include "LinkTestSupport.h"
#include "ScriptedPlatform.h"

#include <QBuffer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QByteArray content(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed) ^ (i >> 11));
    return bytes;
}

QIODevice *fileWith(const QByteArray &bytes)
{
    auto *file = new QBuffer(QCoreApplication::instance());
    file->setData(bytes);
    file->open(QIODevice::ReadOnly);
    return file;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class tst_CrossedFiles : public QObject
{
    Q_OBJECT

private slots:
    void filesCrossInBothDirections();
};

void tst_CrossedFiles::filesCrossInBothDirections()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Far more than the socket buffers on both sides hold.
    const int size = 12 * 1000 * 1000 + 777;
    const QByteArray toTerminal = content(size, 1);
    const QByteArray toStation = content(size, 2);
    // Each end saves what it receives; whichever finishes first takes the
    // first answer of the Save As dialog.
    ScriptedPlatform platform;
    const QString firstSaved = dir.filePath(QStringLiteral("first-saved"));
    const QString secondSaved = dir.filePath(QStringLiteral("second-saved"));
    platform.queueSaveFileName(firstSaved);
    platform.queueSaveFileName(secondSaved);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    CConnSocket terminal(platform);
    terminal.connectToStation(QStringLiteral("127.0.0.1"), server.serverPort());
    CConnSocket station(platform);
    station.attach(LinkTest::acceptOne(server));
    QTRY_VERIFY(terminal.isOpen());
    connect(&terminal, &CConnSocket::fileReceived, this, [&](const ReceivedFile &file) {
        FileSaveSession::offer(platform, &terminal, file, QStringLiteral("接続局"));
    });
    connect(&station, &CConnSocket::fileReceived, this, [&](const ReceivedFile &file) {
        FileSaveSession::offer(platform, &station, file, QStringLiteral("端末 0 "));
    });

    QSignalSpy stationFinished(&station, &CConnSocket::sendFinished);
    QSignalSpy terminalFinished(&terminal, &CConnSocket::sendFinished);
    QVERIFY(station.SendFile(fileWith(toTerminal)));
    QVERIFY(terminal.SendFile(fileWith(toStation)));
    const bool crossed = LinkTest::pumpUntil(
        [&] { return stationFinished.count() == 1 && terminalFinished.count() == 1 && platform.saveDialogs == 2; },
        120000);
    QVERIFY2(crossed, "the two ends waited on each other");
    QCOMPARE(stationFinished[0][0].value<PacedFileSend::Outcome>(), PacedFileSend::Outcome::Sent);
    QCOMPARE(terminalFinished[0][0].value<PacedFileSend::Outcome>(), PacedFileSend::Outcome::Sent);
    QVERIFY(platform.messages.isEmpty());
    const QByteArray first = readFile(firstSaved);
    const QByteArray second = readFile(secondSaved);
    QVERIFY((first == toTerminal && second == toStation) || (first == toStation && second == toTerminal));
}

QTEST_GUILESS_MAIN(tst_CrossedFiles)
#include "tst_CrossedFiles.moc"
