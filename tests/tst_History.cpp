#include "ConnectedTerminalsModel.h"
#include "DesktopNotifier.h"
#include "Frame.h"
#include "HistoryModel.h"
#include "InputDialog1.h"
#include "ModalDialogAnswer.h"
#include "StationFixture.h"

#include <QDBusConnection>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>


using LinkTest::pumpUntil;

namespace {
// Stands in for the desktop's notification service.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<QPair<QString, QString>> shown;

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        shown.append({summary, body});
        return uint(shown.size());
    }
};
}

class tst_History : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stationKeepsEveryTextInOrder();
    void oldestEntryGoesAtCapacity();
    void oneSendersFloodLeavesOthersInView_data();
    void oneSendersFloodLeavesOthersInView();
    void stationSumsRefusals();
    void refusalsSummedByTheMinute_data();
    void refusalsSummedByTheMinute();
    void rsRelayShowsByteAndLineTime();
    void saveWritesOneLinePerEntry();
    void tableRowOpensSendPromptForItsSlot();
    void notificationOnlyWhileInactive();
    void noNotificationServiceIsNoError();

private:
    // The entries whose text starts with `prefix`, once there are `count`.
    QList<int> rowsStartingWith(const QString &prefix, int count);

    StationFixture m_f;
};

void tst_History::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_History::init()
{
    STATION_FIXTURE_INIT(m_f);
    QVERIFY(m_f.start());
}

void tst_History::cleanup()
{
    m_f.tearDown();
}

QList<int> tst_History::rowsStartingWith(const QString &prefix, int count)
{
    const HistoryModel &history = m_f.station->history();
    QList<int> rows;
    pumpUntil([&] {
        rows.clear();
        for (int row = 0; row < history.rowCount(); ++row) {
            if (history.entry(row).text.startsWith(prefix))
                rows.append(row);
        }
        return rows.size() >= count;
    });
    return rows;
}

void tst_History::stationKeepsEveryTextInOrder()
{
    QVERIFY(m_f.connectTerminals(3));
    QStringList sent;
    for (int round = 0; round < 3; ++round) {
        for (int terminal : {2, 0, 1}) {
            sent.append(QStringLiteral("端末%1の%2通目 ").arg(terminal).arg(round) + QString(250, QLatin1Char('x')));
            m_f.sendText(terminal, sent.last());
            QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), int(sent.size())).size(), int(sent.size()));
        }
    }
    const QList<int> rows = rowsStartingWith(QStringLiteral("受信: "), int(sent.size()));
    for (int i = 0; i < sent.size(); ++i) {
        const HistoryModel::Entry &entry = m_f.station->history().entry(rows.at(i));
        const int terminal = sent.at(i).mid(2, 1).toInt();
        // The whole text: the status line cuts it, the history does not.
        QCOMPARE(entry.text, QStringLiteral("受信: ") + sent.at(i));
        QCOMPARE(entry.slot, terminal);
        QCOMPARE(entry.peer, m_f.peerOf(terminal));
    }
}

void tst_History::oldestEntryGoesAtCapacity()
{
    HistoryModel history;
    for (int i = 0; i < HistoryModel::Capacity; ++i)
        history.add(QString::number(i));
    QSignalSpy removed(&history, &HistoryModel::rowsRemoved);
    history.add(QStringLiteral("newest"));
    QCOMPARE(history.rowCount(), HistoryModel::Capacity);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(history.entry(0).text, QStringLiteral("1"));
    QCOMPARE(history.entry(HistoryModel::Capacity - 1).text, QStringLiteral("newest"));
}

void tst_History::oneSendersFloodLeavesOthersInView_data()
{
    QTest::addColumn<int>("flood");
    QTest::addColumn<bool>("interleaved");
    QTest::addColumn<bool>("fromDevice");
    QTest::newRow("just past the bound") << HistoryModel::SenderBound + 1 << false << false;
    QTest::newRow("twice the list") << 2 * HistoryModel::Capacity << false << false;
    QTest::newRow("others in between") << 3 * HistoryModel::SenderBound << true << false;
    QTest::newRow("the serial device, others in between") << 3 * HistoryModel::SenderBound << true << true;
}

void tst_History::oneSendersFloodLeavesOthersInView()
{
    QFETCH(int, flood);
    QFETCH(bool, interleaved);
    QFETCH(bool, fromDevice);
    const HistoryModel::Kind floodKind = fromDevice ? HistoryModel::Kind::DeviceAnswer : HistoryModel::Kind::Text;
    HistoryModel history;
    history.setJournalKept(true);
    QSignalSpy recorded(&history, &HistoryModel::recorded);
    history.add(QStringLiteral("受信: 先の一つ"), 1, QString(), HistoryModel::Kind::Text);
    int others = 1;
    for (int i = 0; i < flood; ++i) {
        history.add(QStringLiteral("受信: 洪水 %1").arg(i), fromDevice ? -1 : 0, QString(), floodKind);
        if (interleaved && i % 100 == 0) {
            history.add(QStringLiteral("受信: 合間 %1").arg(i), 1, QString(), HistoryModel::Kind::Text);
            ++others;
        }
    }
    QCOMPARE(recorded.count(), flood + others);
    int listed = 0;
    QList<int> folded;
    QStringList fromOthers;
    for (int row = 0; row < history.rowCount(); ++row) {
        const HistoryModel::Entry &entry = history.entry(row);
        if (entry.kind == HistoryModel::Kind::FoldedTexts || entry.kind == HistoryModel::Kind::FoldedDeviceAnswers)
            folded.append(row);
        else if (entry.kind == floodKind && entry.slot == (fromDevice ? -1 : 0))
            ++listed;
        else
            fromOthers.append(entry.text);
    }
    QCOMPARE(listed, int(HistoryModel::SenderBound));
    QCOMPARE(fromOthers.size(), others);
    QCOMPARE(fromOthers.first(), QStringLiteral("受信: 先の一つ"));
    QCOMPARE(folded.size(), 1);
    const int foldedCount = flood - HistoryModel::SenderBound;
    QCOMPARE(history.entry(folded.first()).count, foldedCount);
    QVERIFY2(history.line(folded.first())
                 .endsWith(QStringLiteral(" %1からの文字列 %2 件（履歴ファイルにあります）")
                               .arg(fromDevice ? QStringLiteral("装置") : QStringLiteral("端末 0 "),
                                    QLocale(QLocale::Japanese).toString(foldedCount))),
             qPrintable(history.line(folded.first())));
    // The newest of the flood are the ones listed.
    QCOMPARE(history.entry(history.rowCount() - 1).text, QStringLiteral("受信: 洪水 %1").arg(flood - 1));
}

void tst_History::stationSumsRefusals()
{
    // Distinct addresses, as a neighbour's /64 can give.
    constexpr int refusals = 1234;
    QSignalSpy recorded(&m_f.station->history(), &HistoryModel::recorded);
    const int before = m_f.station->history().rowCount();
    for (int i = 0; i < refusals; ++i)
        m_f.station->tellRefused(QHostAddress(quint32(0x0A000000 + i)), FilteringServer::Refusal::NotAllowed);
    QCOMPARE(recorded.count(), refusals);
    QCOMPARE(m_f.station->history().rowCount(), before + 1);
    const HistoryModel::Entry &summed = m_f.station->history().entry(before);
    QCOMPARE(summed.kind, HistoryModel::Kind::Refusal);
    QCOMPARE(summed.count, refusals);
    const QString line = m_f.station->history().line(before);
    QVERIFY2(line.contains(QStringLiteral("接続を拒否しました: 1 分間に 1,234 件")), qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral("10.0.4.209")), qPrintable(line));
}

void tst_History::refusalsSummedByTheMinute_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("entries");
    QTest::newRow("within the minute") << HistoryModel::RefusalWindowMs - 1 << 1;
    QTest::newRow("a minute on") << HistoryModel::RefusalWindowMs << 2;
}

void tst_History::refusalsSummedByTheMinute()
{
    QFETCH(int, gapMs);
    QFETCH(int, entries);
    HistoryModel history;
    const QDateTime start = QDateTime::currentDateTime();
    history.add(start, QStringLiteral("拒否 1"), -1, QString(), HistoryModel::Kind::Refusal);
    history.add(start.addMSecs(10), QStringLiteral("他の記録"));
    history.add(start.addMSecs(20), QStringLiteral("拒否 2"), -1, QString(), HistoryModel::Kind::Refusal);
    history.add(start.addMSecs(gapMs), QStringLiteral("拒否 3"), -1, QString(), HistoryModel::Kind::Refusal);
    int refusalEntries = 0;
    for (int row = 0; row < history.rowCount(); ++row)
        refusalEntries += history.entry(row).kind == HistoryModel::Kind::Refusal;
    QCOMPARE(refusalEntries, entries);
    QCOMPARE(history.entry(0).count, 4 - entries);
    QCOMPARE(history.entry(1).text, QStringLiteral("他の記録"));
}

void tst_History::rsRelayShowsByteAndLineTime()
{
    // Both strings arrive at once; the line's pause puts the second one on
    // the line later, and its entry tells when.
    m_f.platform->realPauseMs = 400;
    QVERIFY(m_f.connectTerminals(2));
    m_f.terminals.at(1)->write(FrameCodec::rsFrame("Zebra") + FrameCodec::rsFrame("Yak"));
    const QList<int> rows = rowsStartingWith(QStringLiteral("RSコントロール"), 2);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(m_f.pty->drain(), QByteArray("ZY"));
    const HistoryModel::Entry &first = m_f.station->history().entry(rows.at(0));
    const HistoryModel::Entry &second = m_f.station->history().entry(rows.at(1));
    QVERIFY2(first.text.contains(QStringLiteral(" 5A ")), qPrintable(first.text));
    QVERIFY2(second.text.contains(QStringLiteral(" 59 ")), qPrintable(second.text));
    QCOMPARE(second.slot, 1);
    QCOMPARE(second.peer, m_f.peerOf(1));
    QVERIFY(first.time.msecsTo(second.time) >= 350);
}

void tst_History::saveWritesOneLinePerEntry()
{
    QVERIFY(m_f.connectTerminals(1));
    m_f.sendText(0, QStringLiteral("改行\nのある文字列"));
    QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), 1).size(), 1);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.txt"));
    m_f.platform->queueSaveFileName(path);
    m_f.station->OnSaveHistory();
    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(saved.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), m_f.station->history().rowCount());
    const QRegularExpression isoTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d) "));
    for (const QString &line : lines)
        QVERIFY2(isoTime.match(line).hasMatch(), qPrintable(line));
    QVERIFY(lines.last().endsWith(QStringLiteral("端末 0 (%1) 受信: 改行 のある文字列").arg(m_f.peerOf(0))));

    m_f.platform->failOpen(path);
    m_f.platform->queueSaveFileName(path);
    m_f.station->OnSaveHistory();
    QCOMPARE(m_f.platform->messages.size(), 1);
    QVERIFY(m_f.platform->messages.first().startsWith(QStringLiteral("履歴を「")));
}

void tst_History::tableRowOpensSendPromptForItsSlot()
{
    QVERIFY(m_f.connectTerminals(3));
    auto *table = m_f.station->mainFrame()->findChild<QTableView *>();
    QVERIFY(table);
    QCOMPARE(table->accessibleName(), QStringLiteral("接続中の端末"));
    QAbstractItemModel *rows = table->model();
    QCOMPARE(rows->rowCount(), 3);
    QCOMPARE(rows->index(2, ConnectedTerminalsModel::PeerColumn).data().toString(), m_f.peerOf(2));

    bool preselected = false;
    ModalDialogAnswer answer([&](QDialog *dialog) {
        const auto *radio = dialog->findChild<QRadioButton *>(QStringLiteral("id%1").arg(CInputDialog::IDC_SLOT0 + 2));
        preselected = radio && radio->isChecked();
        dialog->findChild<QLineEdit *>(QStringLiteral("id1000"))->setText(QStringLiteral("to two"));
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id1")), Qt::LeftButton);
    });
    table->setFocus();
    table->setCurrentIndex(rows->index(2, 0));
    QTest::keyClick(table, Qt::Key_Return);
    QCOMPARE(answer.count(), 1);
    QVERIFY(preselected);
    const QByteArray expected = FrameCodec::textFrame("to two");
    QVERIFY(pumpUntil([&] { return m_f.terminals.at(2)->bytesAvailable() >= expected.size(); }));
    QCOMPARE(m_f.terminals.at(2)->readAll(), expected);
    QCOMPARE(m_f.terminals.at(0)->bytesAvailable() + m_f.terminals.at(1)->bytesAvailable(), 0);
}

void tst_History::notificationOnlyWhileInactive()
{
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake"));
    FakeNotifications fake;
    if (!bus.isConnected() || !bus.registerService(QString::fromLatin1(DesktopNotifier::Service)))
        QSKIP("No private session bus to register a notification service on (run under dbus-run-session)");
    QVERIFY(bus.registerObject(QString::fromLatin1(DesktopNotifier::Path), &fake, QDBusConnection::ExportAllSlots));
    QVERIFY(m_f.connectTerminals(2));

    CMainFrame *frame = m_f.station->mainFrame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    m_f.sendText(0, QStringLiteral("seen"));
    QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), 1).size(), 1);
    QTest::qWait(300);
    QCOMPARE(fake.shown.size(), 0);

    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
    const QString longText = QStringLiteral("長い") + QString(80, QLatin1Char('y'));
    m_f.sendText(1, longText);
    QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), 2).size(), 2);
    m_f.sendText(0, QStringLiteral("short"));
    QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), 3).size(), 3);
    QTRY_COMPARE(fake.shown.size(), 2);
    QTest::qWait(300);
    QCOMPARE(fake.shown.size(), 2);
    QCOMPARE(fake.shown.at(0), qMakePair(QStringLiteral("Tavrin2"), QStringLiteral("端末 1: ") + longText.left(60)));
    QCOMPARE(fake.shown.at(1), qMakePair(QStringLiteral("Tavrin2"), QStringLiteral("端末 0: short")));
    bus.unregisterService(QString::fromLatin1(DesktopNotifier::Service));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
}

void tst_History::noNotificationServiceIsNoError()
{
    QVERIFY(m_f.connectTerminals(1));
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
    QElapsedTimer clock;
    clock.start();
    m_f.sendText(0, QStringLiteral("nobody shows this"));
    m_f.sendText(0, QStringLiteral("nor this"));
    QCOMPARE(rowsStartingWith(QStringLiteral("受信: "), 2).size(), 2);
    // Nothing waited for an answer from the bus.
    QVERIFY(clock.elapsed() < 1000);
    QCOMPARE(m_f.platform->messages, QStringList());
}

QTEST_MAIN(tst_History)
#include "tst_History.moc"
