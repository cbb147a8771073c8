#include "CSocket.h"
#include "CodePage.h"
#include "DropFiles.h"
#include "Frame.h"
#include "HistoryModel.h"
#include "InputDialog1.h"
#include "LinkTestSupport.h"
#include "MainFrm.h"
#include "ModalDialogAnswer.h"
#include "ScriptedPlatform.h"
#include "StationPrompt.h"
#include "StatusView.h"
#include "Tavrin.h"
#include "TavrinDoc.h"
#include "TerminalSettings.h"
#include "TerminalSettingsDialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using LinkTest::cp932;

namespace {
const QString Connecting = QStringLiteral("接続しています…");
const QString Connected = QStringLiteral("接続中");
const QString Waiting = QStringLiteral("接続待ち");
const QString ConnectFailed = QStringLiteral("接続できませんでした。開始をやり直してください");
const QString Send = QStringLiteral("送信");
const QString FileSend = QStringLiteral("ファイル送信");
const QString RsControl = QStringLiteral("RSコントロール");
const QString Disconnect = QStringLiteral("接続終了");
const QString Settings = QStringLiteral("設定");

// What the operator saw in a prompt dialog.
struct Seen
{
    QString prompt;
    QString text;
    // The Stations Start's prompt lists.
    QStringList stations;
};

// Types `text` into the input field (unless null) and presses `button`.
ModalDialogAnswer::Answer answerPrompt(Seen *seen, int button, const QString &text = QString())
{
    return [seen, button, text](QDialog *dialog) {
        auto *prompt = qobject_cast<CInputDialog *>(dialog);
        if (!prompt) {
            dialog->reject();
            return;
        }
        auto *input = static_cast<QLineEdit *>(prompt->control(CInputDialog::IDC_TEXT));
        if (seen) {
            seen->prompt = static_cast<QLineEdit *>(prompt->control(CInputDialog::IDC_PROMPT))->text();
            seen->text = input->text();
            if (auto *start = qobject_cast<CStationPrompt *>(prompt)) {
                for (int i = 0; i < start->stations()->count(); ++i)
                    seen->stations << start->stations()->itemText(i);
            }
        }
        if (!text.isNull())
            input->setText(text);
        static_cast<QPushButton *>(prompt->control(button))->click();
    };
}

// `size` bytes of a recognisable pattern.
QByteArray filled(int size)
{
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i % 251);
    return content;
}

// The file frames that carry `content`.
QByteArray fileFrames(const QByteArray &content)
{
    QByteArray frames;
    for (int index = 0; index <= content.size() / CHUNK_SIZE; ++index)
        frames += FrameCodec::fileFrame(quint32(content.size()), quint16(index),
                                        content.mid(index * CHUNK_SIZE, CHUNK_SIZE));
    return frames;
}
}

// Connects the Terminal to the stand-in Station, ending the test on failure.
#define CONNECT_APP()                                                                              \
    do {                                                                                           \
        connectApp();                                                                              \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class tst_TerminalApp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void launchLeavesBothLinesEmpty();
    void menuBarHoldsTheCommandsInOrder();
    void startConnects();
    void startOffersTheRecentStations_data();
    void startOffersTheRecentStations();
    void enterConnectsToTheLastStation();
    void startWhileConnectedShowsNoDialog();
    void startCancelledLeavesNotConnected();
    void commandsWithoutConnectionDoNothing_data();
    void commandsWithoutConnectionDoNothing();
    void startTowardNoStationFails();
    void disconnectWhileConnectingIgnoresTheLateConnect();
    void promptsOfSendAndRsControl_data();
    void promptsOfSendAndRsControl();
    void sentBytes_data();
    void sentBytes();
    void cancelSendsNothing_data();
    void cancelSendsNothing();
    void stationClosingWhileDialogOpenSendsNothing_data();
    void stationClosingWhileDialogOpenSendsNothing();
    void sendWhileConnectingIsRefused_data();
    void sendWhileConnectingIsRefused();
    void fileSend_data();
    void fileSend();
    void fileSendRefused_data();
    void fileSendRefused();
    void fileSendCancelled();
    void fileSendEndsWhenStationLeaves();
    void fileDroppedOnTheWindow_data();
    void fileDroppedOnTheWindow();
    void disconnectTwice();
    void stationClosingReturnsToNotConnected();
    void reconnectsAfterTheStationLeft_data();
    void reconnectsAfterTheStationLeft();
    void reconnectWaitsDoubleUpToAMinute();
    void reconnectStops_data();
    void reconnectStops();
    void startWhileWaitingConnectsAtOnce();
    void settingsRoundTrip();
    void exitEndsTheProgram();
    void receivedTextAndFile();
    void stationFilesStopAfterThreeDeclined();
    void filesOfAGoneStationAreNotOffered();

private:
    void connectApp();
    void choose(const QString &label) { m_app->mainFrame()->commandAction(label)->trigger(); }
    // Sends a probe text and checks that it is the next thing on the wire,
    // so that nothing else was sent before it.
    void expectOnlyProbeNext();
    QString status() const { return CodePage::decode(m_app->m_status.bytes()); }
    QStringList historyLines() const;
    // The waits before reconnecting, in the order they were started.
    QList<int> reconnectWaits() const;
    // Connects, then the stand-in Station closes the connection.
    void connectAndLoseTheStation();

    // The path of a file `name` holding `content`, in a temporary folder.
    QString makeFile(const QString &name, const QByteArray &content);

    QTemporaryDir m_home;
    QTemporaryDir m_files;
    std::unique_ptr<ScriptedPlatform> m_platform;
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<CMyApp> m_app;
    QTcpSocket *m_station = nullptr;
};

void tst_TerminalApp::initTestCase()
{
    // The framework keeps settings; keep them out of the user's own.
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    qputenv("HOME", m_home.path().toLocal8Bit());
}

void tst_TerminalApp::init()
{
    m_platform = std::make_unique<ScriptedPlatform>();
    // Remembered declines outlast a test.
    m_platform->realDelays << OperatorApp::DECLINED_MEMORY_MS;
    // Reconnecting waits for the test.
    m_platform->holds = [](int milliseconds) {
        return milliseconds >= CMyApp::FIRST_RECONNECT_MS && milliseconds <= CMyApp::MAX_RECONNECT_MS;
    };
    QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin")).clear();
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress::LocalHost));
    m_app = std::make_unique<CMyApp>(*m_platform, m_server->serverPort());
    QVERIFY(m_app->InitInstance());
    m_station = nullptr;
}

void tst_TerminalApp::cleanup()
{
    m_app.reset();
    m_server.reset();
    m_platform.reset();
    m_station = nullptr;
}

void tst_TerminalApp::connectApp()
{
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QVERIFY(m_app->m_pSocket);
    QTRY_VERIFY(m_server->hasPendingConnections());
    m_station = m_server->nextPendingConnection();
    QTRY_COMPARE(status(), Connected);
}

void tst_TerminalApp::expectOnlyProbeNext()
{
    const QByteArray probe = QByteArray::fromHex("01000000010000000000") + "Z";
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("Z")));
    m_app->OnSend();
    QCOMPARE(answer.count(), 1);
    QTRY_VERIFY(m_station->bytesAvailable() >= probe.size());
    QCOMPARE(m_station->readAll(), probe);
}

QStringList tst_TerminalApp::historyLines() const
{
    const HistoryModel &history = m_app->history();
    QStringList lines;
    for (int row = 0; row < history.rowCount(); ++row)
        lines << history.entry(row).text;
    return lines;
}

QList<int> tst_TerminalApp::reconnectWaits() const
{
    QList<int> waits;
    for (int pause : std::as_const(m_platform->pauses)) {
        if (m_platform->holds(pause))
            waits << pause;
    }
    return waits;
}

void tst_TerminalApp::connectAndLoseTheStation()
{
    CONNECT_APP();
    m_station->close();
    QTRY_COMPARE(m_app->state(), CMyApp::State::WaitingToReconnect);
    QCOMPARE(status(), Waiting);
    QVERIFY(!m_app->m_pSocket);
}

QString tst_TerminalApp::makeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_files.filePath(name);
    return LinkTest::writeFile(path, content) ? path : QString();
}

void tst_TerminalApp::launchLeavesBothLinesEmpty()
{
    QVERIFY(m_app->m_status.isEmpty());
    QVERIFY(m_app->m_message.isEmpty());
    QCOMPARE(m_app->m_status.capacity(), 50);
    QCOMPARE(m_app->m_message.capacity(), 200);
    QVERIFY(!m_app->m_pSocket);
    QVERIFY(m_app->mainFrame()->isVisible());
    QVERIFY(dynamic_cast<CMyDoc *>(m_app->document()));
}

void tst_TerminalApp::menuBarHoldsTheCommandsInOrder()
{
    const QStringList expected {QStringLiteral("開始"), Send,     FileSend, Disconnect, RsControl,
                                Settings,               QStringLiteral("履歴保存"), QStringLiteral("終了")};
    QStringList shown;
    for (QAction *action : m_app->mainFrame()->menuBar()->actions()) {
        shown << action->text();
        QVERIFY(action->isEnabled());
        QVERIFY(!action->menu());
    }
    QCOMPARE(shown, expected);

    // Choosing "開始" on the menu bar runs Start.
    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    choose(QStringLiteral("開始"));
    QCOMPARE(answer.count(), 1);
}

void tst_TerminalApp::startConnects()
{
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    // Stored at once; the window stays responsive while connecting.
    QVERIFY(m_app->m_pSocket);
    QCOMPARE(status(), Connecting);
    QTRY_VERIFY(m_server->hasPendingConnections());
    QTRY_COMPARE(status(), Connected);
    QVERIFY(m_app->m_pSocket->isOpen());
    QTRY_COMPARE(m_app->view()->statusText(), Connected);
}

void tst_TerminalApp::startOffersTheRecentStations_data()
{
    QTest::addColumn<QStringList>("connected");   // in the order connected to
    QTest::addColumn<QStringList>("offered");
    QStringList twelve;
    for (int i = 1; i <= 12; ++i)
        twelve << QStringLiteral("10.0.0.%1").arg(i);
    QStringList lastTen;
    for (int i = 12; i >= 3; --i)
        lastTen << QStringLiteral("10.0.0.%1").arg(i);

    QTest::newRow("none yet: the default") << QStringList() << QStringList {QStringLiteral("127.0.0.1")};
    QTest::newRow("most recent first, each once")
        << QStringList {"10.0.0.1", "station.example", "10.0.0.1", "10.0.0.3"}
        << QStringList {"10.0.0.3", "10.0.0.1", "station.example"};
    QTest::newRow("the last ten") << twelve << lastTen;
}

void tst_TerminalApp::startOffersTheRecentStations()
{
    QFETCH(QStringList, connected);
    QFETCH(QStringList, offered);
    for (const QString &address : connected)
        TerminalSettings::rememberStation(address);
    Seen seen;
    ModalDialogAnswer answer(answerPrompt(&seen, TemplateDialog::IDCANCEL));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(seen.prompt, QStringLiteral("IPアドレス入力してください"));
    QCOMPARE(seen.stations, offered);
    QCOMPARE(seen.text, offered.first());
    QCOMPARE(TerminalSettings::recentStations(), connected.isEmpty() ? QStringList() : offered);
}

void tst_TerminalApp::enterConnectsToTheLastStation()
{
    TerminalSettings::rememberStation(QStringLiteral("192.0.2.7"));
    TerminalSettings::rememberStation(QStringLiteral("127.0.0.1"));
    bool listed = false;
    {
        ModalDialogAnswer answer([&listed](QDialog *dialog) {
            listed = qobject_cast<CStationPrompt *>(dialog) != nullptr;
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
            if (dialog->isVisible())
                dialog->reject();
        });
        m_app->OnStart();
        QCOMPARE(answer.count(), 1);
    }
    QVERIFY(listed);
    QTRY_VERIFY(m_server->hasPendingConnections());
    QTRY_COMPARE(status(), Connected);
    QCOMPARE(TerminalSettings::recentStations(), QStringList({"127.0.0.1", "192.0.2.7"}));

    // A Station typed anew goes first once connected; one that could not be reached is not remembered.
    m_app->OnDisconnect();
    ModalDialogAnswer typed(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("127.1")));
    m_app->OnStart();
    QTRY_COMPARE(status(), Connected);
    QCOMPARE(TerminalSettings::recentStations(), QStringList({"127.1", "127.0.0.1", "192.0.2.7"}));
}

void tst_TerminalApp::startWhileConnectedShowsNoDialog()
{
    CONNECT_APP();
    CConnSocket *const socket = m_app->m_pSocket;
    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    m_app->OnStart();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_app->m_pSocket, socket);
    QCOMPARE(status(), Connected);
    QTest::qWait(50);
    QVERIFY(!m_server->hasPendingConnections());
}

void tst_TerminalApp::startCancelledLeavesNotConnected()
{
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDCANCEL, QStringLiteral("127.0.0.1")));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QVERIFY(!m_app->m_pSocket);
    QVERIFY(m_app->m_status.isEmpty());

    m_app->OnSend();
    QCOMPARE(answer.count(), 1);
    QTest::qWait(50);
    QVERIFY(!m_server->hasPendingConnections());
}

void tst_TerminalApp::commandsWithoutConnectionDoNothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("afterDisconnect");
    for (const QString &command : {Send, FileSend, RsControl, Disconnect})
        QTest::addRow("%s", qPrintable(command)) << command << false;
    for (const QString &command : {Send, FileSend, RsControl})
        QTest::addRow("%s after disconnect", qPrintable(command)) << command << true;
}

void tst_TerminalApp::commandsWithoutConnectionDoNothing()
{
    QFETCH(QString, command);
    QFETCH(bool, afterDisconnect);
    if (afterDisconnect) {
        CONNECT_APP();
        m_app->OnDisconnect();
    }
    const QByteArray statusBefore = m_app->m_status.bytes();

    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB")));
    choose(command);
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_platform->openDialogs, 0);
    QVERIFY(m_platform->messages.isEmpty());
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(m_app->m_status.bytes(), statusBefore);
    if (m_station) {
        QTest::qWait(50);
        QCOMPARE(m_station->bytesAvailable(), qint64(0));
    }
}

void tst_TerminalApp::startTowardNoStationFails()
{
    m_server->close();
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QPointer<CConnSocket> socket = m_app->m_pSocket;
    QVERIFY(socket);

    QTRY_COMPARE(status(), ConnectFailed);
    QVERIFY(cp932(ConnectFailed).size() <= m_app->m_status.maxTextBytes());
    QVERIFY(!m_app->m_pSocket);
    QTRY_VERIFY(socket.isNull());
    // Only a Station that was reached is tried again or remembered.
    QCOMPARE(m_app->state(), CMyApp::State::NotConnected);
    QVERIFY(reconnectWaits().isEmpty());
    QVERIFY(TerminalSettings::recentStations().isEmpty());

    // Start asks again.
    m_app->OnStart();
    QCOMPARE(answer.count(), 2);
}

void tst_TerminalApp::disconnectWhileConnectingIgnoresTheLateConnect()
{
    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    m_app->OnDisconnect();
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);
    QTest::qWait(100);
    QCOMPARE(status(), Waiting);
    QVERIFY(!m_app->m_pSocket);
}

void tst_TerminalApp::promptsOfSendAndRsControl_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("prompt");
    QTest::newRow("send") << Send << QStringLiteral("送る文字列を入力してください");
    QTest::newRow("rs control") << RsControl
                                << QStringLiteral("RSコントロールの文字列を入力してください（先頭の1バイトが回線に送られます）");
}

void tst_TerminalApp::promptsOfSendAndRsControl()
{
    QFETCH(QString, command);
    QFETCH(QString, prompt);
    CONNECT_APP();
    Seen seen;
    ModalDialogAnswer answer(answerPrompt(&seen, TemplateDialog::IDCANCEL));
    choose(command);
    QCOMPARE(answer.count(), 1);
    QCOMPARE(seen.prompt, prompt);
    QCOMPARE(seen.text, QString());
}

void tst_TerminalApp::sentBytes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");   // empty: refused
    QTest::addColumn<QString>("refusal");

    const QString a189(189, QLatin1Char('A'));
    const QString a190(190, QLatin1Char('A'));
    const QString wide189 = QString(94, QChar(0x3042)) + QLatin1Char('A');
    const QString wide190(95, QChar(0x3042));
    const QByteArray text189 = QByteArray::fromHex("01000000bd0000000000");
    const QByteArray rs189 = QByteArray::fromHex("03000000bd0000000000");
    const QString sendTooLong = OperatorApp::tooLongMessage(CMyApp::sendTextName(), 190, MAX_TERMINAL_TEXT);

    QTest::newRow("send AB") << Send << QStringLiteral("AB") << QByteArray::fromHex("010000000200000000004142")
                             << QString();
    QTest::newRow("rs AB") << RsControl << QStringLiteral("AB") << QByteArray::fromHex("030000000200000000004142")
                           << QString();
    QTest::newRow("send empty") << Send << QString("") << QByteArray::fromHex("01000000000000000000") << QString();
    QTest::newRow("send 189") << Send << a189 << text189 + a189.toLatin1() << QString();
    QTest::newRow("rs 189") << RsControl << a189 << rs189 + a189.toLatin1() << QString();
    QTest::newRow("send 189 with wide characters") << Send << wide189 << text189 + cp932(wide189) << QString();
    QTest::newRow("send 190") << Send << a190 << QByteArray() << sendTooLong;
    QTest::newRow("rs 190") << RsControl << a190 << QByteArray()
                            << OperatorApp::tooLongMessage(CMyApp::rsTextName(), 190, MAX_TERMINAL_TEXT);
    QTest::newRow("send 190 with wide characters") << Send << wide190 << QByteArray() << sendTooLong;
    QTest::newRow("send Japanese") << Send << QStringLiteral("日本")
                                   << QByteArray::fromHex("0100000004000000000093fa967b") << QString();
    QTest::newRow("rs halfwidth katakana") << RsControl << QStringLiteral("ｱ")
                                           << QByteArray::fromHex("0300000001" "0000000000" "b1") << QString();
    const QString jisForms = QStringLiteral("\u301C\u2212\u2016\u2014\u00A2\u00A3\u00AC");
    QTest::newRow("send JIS forms as Windows writes them")
        << Send << jisForms << QByteArray::fromHex("010000000e0000000000" "8160817c8161815c8191819281ca")
        << QString();
    QTest::newRow("rs 189 with JIS forms") << RsControl << QString(94, QChar(0x301C)) + 'A'
                                           << rs189 + QByteArray("\x81\x60").repeated(94) + 'A' << QString();
    QTest::newRow("send 190 with JIS forms") << Send << QString(95, QChar(0x2212)) << QByteArray() << sendTooLong;
    QTest::newRow("send Hangul") << Send << QStringLiteral("안녕") << QByteArray()
                                 << OperatorApp::unencodableMessage(CMyApp::sendTextName(), QStringLiteral("안녕"));
    QTest::newRow("rs emoji") << RsControl << QStringLiteral("A\U0001F600") << QByteArray()
                              << OperatorApp::unencodableMessage(CMyApp::rsTextName(), QStringLiteral("\U0001F600"));
}

void tst_TerminalApp::sentBytes()
{
    QFETCH(QString, command);
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QFETCH(QString, refusal);
    CONNECT_APP();

    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, text));
        choose(command);
        QCOMPARE(answer.count(), 1);
    }
    if (wire.isEmpty()) {
        QCOMPARE(m_platform->messages, QStringList {refusal});
    } else {
        QVERIFY(m_platform->messages.isEmpty());
        QTRY_VERIFY(m_station->bytesAvailable() >= wire.size());
        QCOMPARE(m_station->readAll(), wire);
    }
    QCOMPARE(status(), Connected);
    expectOnlyProbeNext();
}

void tst_TerminalApp::cancelSendsNothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("send") << Send;
    QTest::newRow("rs control") << RsControl;
}

void tst_TerminalApp::cancelSendsNothing()
{
    QFETCH(QString, command);
    CONNECT_APP();
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDCANCEL, QStringLiteral("AB")));
        choose(command);
        QCOMPARE(answer.count(), 1);
    }
    QVERIFY(m_platform->messages.isEmpty());
    expectOnlyProbeNext();
}

void tst_TerminalApp::stationClosingWhileDialogOpenSendsNothing_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("send") << Send;
    QTest::newRow("rs control") << RsControl;
    QTest::newRow("file send") << FileSend;
}

void tst_TerminalApp::stationClosingWhileDialogOpenSendsNothing()
{
    QFETCH(QString, command);
    CONNECT_APP();
    const auto stationCloses = [this] {
        m_station->close();
        LinkTest::pumpUntil([this] { return !m_app->m_pSocket; });
    };
    if (command == FileSend) {
        m_platform->queueOpenFileName(makeFile(QStringLiteral("data.bin"), "data"), stationCloses);
        choose(command);
        QCOMPARE(m_platform->openDialogs, 1);
    } else {
        ModalDialogAnswer answer([&](QDialog *dialog) {
            stationCloses();
            answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB"))(dialog);
        });
        choose(command);
        QCOMPARE(answer.count(), 1);
    }
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("接続が切れた")));
    QVERIFY(m_platform->progresses.isEmpty());
}

void tst_TerminalApp::sendWhileConnectingIsRefused_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("send") << Send;
    QTest::newRow("file send") << FileSend;
    QTest::newRow("rs control") << RsControl;
}

void tst_TerminalApp::sendWhileConnectingIsRefused()
{
    QFETCH(QString, command);
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
        m_app->OnStart();
        QCOMPARE(answer.count(), 1);
    }
    if (m_app->m_pSocket->isOpen())
        QSKIP("the loopback connect completed before the event loop ran");
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB")));
        choose(command);
        QCOMPARE(answer.count(), 0);
    }
    QCOMPARE(m_platform->openDialogs, 0);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("接続中")));
    QCOMPARE(status(), Connecting);

    QTRY_VERIFY(m_server->hasPendingConnections());
    m_station = m_server->nextPendingConnection();
    QTRY_COMPARE(status(), Connected);
    expectOnlyProbeNext();
}

void tst_TerminalApp::fileSend_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("pauses");
    QTest::addColumn<QStringList>("labels");

    const QString sending = QStringLiteral("ファイル「data.bin」を送信しています。\n");
    // Only a file with a pause in it shows progress.
    QTest::newRow("one short chunk") << 1500 << QList<int>{} << QStringList();
    QTest::newRow("two full chunks and a short one")
        << 4500 << QList<int>{1000, 1000}
        << QStringList{sending + QStringLiteral("1 / 3 チャンク送信済み、残り約 2 秒"),
                       sending + QStringLiteral("2 / 3 チャンク送信済み、残り約 1 秒")};
}

void tst_TerminalApp::fileSend()
{
    QFETCH(int, size);
    QFETCH(QList<int>, pauses);
    QFETCH(QStringList, labels);
    const QByteArray content = filled(size);
    CONNECT_APP();
    m_platform->queueOpenFileName(makeFile(QStringLiteral("data.bin"), content));
    choose(FileSend);
    QCOMPARE(m_platform->openDialogs, 1);

    const QByteArray expected = fileFrames(content);
    QTRY_VERIFY(m_station->bytesAvailable() >= expected.size());
    QCOMPARE(m_station->readAll(), expected);
    QTRY_VERIFY(!m_app->m_pSocket->isSendingFile());
    QCOMPARE(m_platform->pauses, pauses);
    QCOMPARE(m_platform->progresses.size(), labels.isEmpty() ? 0 : 1);
    if (!labels.isEmpty()) {
        QCOMPARE(m_platform->progresses[0]->maximum, labels.size() + 1);
        QCOMPARE(m_platform->progresses[0]->labels, labels);
        QCOMPARE(m_platform->progresses[0]->values, QList<int>({1, 2}));
        QVERIFY(!m_platform->progresses[0]->open);
    }
    QTest::qWait(20);
    QVERIFY(m_platform->messages.isEmpty());
    const HistoryModel &history = m_app->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text,
             QStringLiteral("ファイル「data.bin」（%1 バイト）を送信しました（%2 / %2 チャンク）")
                 .arg(size)
                 .arg(labels.size() + 1));
}

void tst_TerminalApp::fileSendRefused_data()
{
    QTest::addColumn<QString>("file");      // empty: the Open dialog is cancelled
    QTest::addColumn<qint64>("size");       // -1: no such file
    QTest::addColumn<QString>("refusal");
    QTest::newRow("Open dialog cancelled") << QString() << qint64(0) << QString();
    QTest::newRow("unreadable") << QStringLiteral("missing-file.txt") << qint64(-1) << QStringLiteral("開けません");
    // Sparse: 65536 full chunks, one more than the index can number.
    QTest::newRow("too large") << QStringLiteral("huge.bin") << qint64(MAX_CHUNK_INDEX + 1) * CHUNK_SIZE
                               << QStringLiteral("大きすぎ");
}

void tst_TerminalApp::fileSendRefused()
{
    QFETCH(QString, file);
    QFETCH(qint64, size);
    QFETCH(QString, refusal);
    CONNECT_APP();
    QString path;
    if (!file.isEmpty()) {
        path = makeFile(file, QByteArray());
        QVERIFY(!path.isEmpty());
        if (size < 0)
            QVERIFY(QFile::remove(path));
        else
            QVERIFY(QFile::resize(path, size));
    }
    m_platform->queueOpenFileName(path);
    choose(FileSend);
    QCOMPARE(m_platform->openDialogs, 1);
    if (refusal.isEmpty()) {
        QVERIFY(m_platform->messages.isEmpty());
    } else {
        QCOMPARE(m_platform->messages.size(), 1);
        QVERIFY(m_platform->messages.first().contains(file));
        QVERIFY(m_platform->messages.first().contains(refusal));
    }
    QVERIFY(m_platform->pauses.isEmpty());
    QVERIFY(m_platform->progresses.isEmpty());
    expectOnlyProbeNext();
}

void tst_TerminalApp::fileSendCancelled()
{
    CONNECT_APP();
    m_platform->queueOpenFileName(makeFile(QStringLiteral("data.bin"), filled(10000)));
    m_platform->onPause = [this](int) {
        if (m_platform->pauses.size() == 1)
            QTimer::singleShot(0, m_app.get(), [this] { m_platform->progresses[0]->pressCancel(); });
    };
    choose(FileSend);
    QTRY_VERIFY(!m_app->m_pSocket->isSendingFile());
    QVERIFY(!m_platform->progresses[0]->open);
    QCOMPARE(m_platform->pauses.size(), 1);
    QTest::qWait(20);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_TerminalApp::fileSendEndsWhenStationLeaves()
{
    CONNECT_APP();
    m_platform->queueOpenFileName(makeFile(QStringLiteral("source.bin"), filled(10000)));
    // Long enough for the close to arrive within the pause.
    m_platform->realPauseMs = 50;
    m_platform->onPause = [this](int) {
        if (m_platform->pauses.size() == 2)
            m_station->abort();
    };
    choose(FileSend);
    QTRY_COMPARE(status(), Waiting);
    QVERIFY(!m_platform->progresses[0]->open);
    // The operator learns how far it got, once.
    QTRY_COMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages[0].contains(QStringLiteral("source.bin")));
    QVERIFY(m_platform->messages[0].contains(QStringLiteral("2 / 6")));
    QTest::qWait(50);
    QCOMPARE(m_platform->messages.size(), 1);
}

void tst_TerminalApp::fileDroppedOnTheWindow_data()
{
    QTest::addColumn<QStringList>("dropped"); // a name ending in / is a folder; one with :// an address
    QTest::addColumn<QString>("refusal");
    QTest::newRow("one file") << QStringList {"dropped.bin"} << QString();
    QTest::newRow("two files") << QStringList {"dropped.bin", "other.bin"} << QStringLiteral("一つずつ");
    QTest::newRow("a folder") << QStringList {"reports/"} << QStringLiteral("「%1」はフォルダー");
    QTest::newRow("a web address") << QStringList {"https://example.com/a.bin"}
                                   << QStringLiteral("このコンピューターのファイルではない");
}

void tst_TerminalApp::fileDroppedOnTheWindow()
{
    QFETCH(QStringList, dropped);
    QFETCH(QString, refusal);
    CONNECT_APP();
    const QByteArray content = filled(4500);
    QList<QUrl> urls;
    for (const QString &name : dropped) {
        if (name.contains(QStringLiteral("://"))) {
            urls << QUrl(name);
        } else if (name.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir(m_files.path()).mkdir(name));
            urls << QUrl::fromLocalFile(m_files.filePath(name.chopped(1)));
            refusal = refusal.arg(urls.last().toLocalFile());
        } else {
            urls << QUrl::fromLocalFile(makeFile(name, content));
        }
    }
    QVERIFY(dropFiles(m_app->mainFrame(), QPoint(100, 100), urls));
    if (refusal.isEmpty()) {
        const QByteArray expected = fileFrames(content);
        QTRY_VERIFY(m_station->bytesAvailable() >= expected.size());
        QCOMPARE(m_station->readAll(), expected);
        QTRY_VERIFY(!m_app->m_pSocket->isSendingFile());
        const HistoryModel &history = m_app->history();
        QCOMPARE(history.entry(history.rowCount() - 1).text,
                 QStringLiteral("ファイル「dropped.bin」（4500 バイト）を送信しました（3 / 3 チャンク）"));
        QVERIFY(m_platform->messages.isEmpty());
    } else {
        QTRY_COMPARE(m_platform->messages.size(), 1);
        QVERIFY2(m_platform->messages.first().contains(refusal), qPrintable(m_platform->messages.first()));
        expectOnlyProbeNext();
    }
    QCOMPARE(m_platform->openDialogs, 0);
    // The sources stay where they were.
    for (const QUrl &url : std::as_const(urls))
        QVERIFY(!url.isLocalFile() || QFileInfo::exists(url.toLocalFile()));
}

void tst_TerminalApp::disconnectTwice()
{
    CONNECT_APP();
    QPointer<CConnSocket> socket = m_app->m_pSocket;
    choose(Disconnect);
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);
    QTRY_COMPARE(m_station->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(socket.isNull());
    QTRY_COMPARE(m_app->view()->statusText(), Waiting);

    choose(Disconnect);
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);

    // Start may connect again.
    CONNECT_APP();
}

void tst_TerminalApp::stationClosingReturnsToNotConnected()
{
    TerminalSettings settings;
    settings.reconnect = false;
    settings.store();
    CONNECT_APP();
    QPointer<CConnSocket> socket = m_app->m_pSocket;
    m_station->close();
    QTRY_COMPARE(status(), Waiting);
    QVERIFY(!m_app->m_pSocket);
    QTRY_VERIFY(socket.isNull());

    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    m_app->OnSend();
    QCOMPARE(answer.count(), 0);
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(m_app->state(), CMyApp::State::NotConnected);
    QVERIFY(reconnectWaits().isEmpty());
}

void tst_TerminalApp::reconnectsAfterTheStationLeft_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("closed") << false;
    QTest::newRow("reset") << true;
}

void tst_TerminalApp::reconnectsAfterTheStationLeft()
{
    QFETCH(bool, reset);
    CONNECT_APP();
    QSignalSpy states(m_app.get(), &CMyApp::stateChanged);
    if (reset)
        m_station->abort();
    else
        m_station->close();
    QTRY_COMPARE(m_app->state(), CMyApp::State::WaitingToReconnect);
    QCOMPARE(status(), Waiting);
    QCOMPARE(reconnectWaits(), QList<int>({CMyApp::FIRST_RECONNECT_MS}));
    QVERIFY(historyLines().contains(QStringLiteral("局 127.0.0.1 に再接続します（2 秒後）")));

    m_platform->runHeldTimers();
    QTRY_VERIFY(m_server->hasPendingConnections());
    m_station = m_server->nextPendingConnection();
    QTRY_COMPARE(status(), Connected);
    QCOMPARE(m_app->state(), CMyApp::State::Connected);
    QCOMPARE(historyLines().last(), QStringLiteral("局 127.0.0.1:%1 に再接続しました").arg(m_server->serverPort()));
    QCOMPARE(states.size(), 3);
    QCOMPARE(states.at(1).at(0).value<CMyApp::State>(), CMyApp::State::Reconnecting);
    QVERIFY(m_platform->messages.isEmpty());
    expectOnlyProbeNext();
}

void tst_TerminalApp::reconnectWaitsDoubleUpToAMinute()
{
    connectAndLoseTheStation();
    if (QTest::currentTestFailed())
        return;
    const int linesBefore = int(historyLines().size());
    m_server->close();
    const QList<int> expected {2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (int attempt = 1; attempt < expected.size(); ++attempt) {
        QCOMPARE(m_platform->heldTimers(), 1);
        m_platform->runHeldTimers();
        QCOMPARE(m_app->state(), CMyApp::State::Reconnecting);
        QTRY_COMPARE(reconnectWaits().size(), attempt + 1);
        QCOMPARE(m_app->state(), CMyApp::State::WaitingToReconnect);
        QCOMPARE(status(), Waiting);
    }
    QCOMPARE(reconnectWaits(), expected);
    // One line for each failed attempt, saying when the next one comes.
    const QStringList lines = historyLines().mid(linesBefore);
    QCOMPARE(lines.size(), expected.size() - 1);
    QVERIFY2(lines.last().startsWith(QStringLiteral("局 127.0.0.1 に再接続できませんでした（")), qPrintable(lines.last()));
    QVERIFY2(lines.last().endsWith(QStringLiteral("）。60 秒後にもう一度試します")), qPrintable(lines.last()));
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_TerminalApp::reconnectStops_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("接続終了") << Disconnect;
    QTest::newRow("設定") << Settings;
    QTest::newRow("window closed") << QStringLiteral("close");
}

void tst_TerminalApp::reconnectStops()
{
    QFETCH(QString, how);
    connectAndLoseTheStation();
    if (QTest::currentTestFailed())
        return;
    if (how == Settings) {
        ModalDialogAnswer answer([](QDialog *dialog) {
            dialog->findChild<QCheckBox *>(QStringLiteral("reconnect"))->setChecked(false);
            dialog->accept();
        });
        choose(Settings);
        QCOMPARE(answer.count(), 1);
        QVERIFY(!TerminalSettings::load().reconnect);
    } else if (how == Disconnect) {
        choose(Disconnect);
    } else {
        QVERIFY(m_app->mainFrame()->close());
        QVERIFY(m_platform->questions.isEmpty());
    }
    QCOMPARE(m_app->state(), CMyApp::State::NotConnected);
    QCOMPARE(status(), Waiting);
    m_platform->runHeldTimers();
    QTest::qWait(100);
    QVERIFY(!m_server->hasPendingConnections());
    QCOMPARE(m_app->state(), CMyApp::State::NotConnected);
    QCOMPARE(reconnectWaits().size(), 1);
    if (how != QStringLiteral("close"))
        QCOMPARE(historyLines().last(), QStringLiteral("再接続をやめました"));

    // With reconnecting off, a Station that leaves is left.
    if (how == Settings) {
        CONNECT_APP();
        m_station->close();
        QTRY_COMPARE(m_app->state(), CMyApp::State::NotConnected);
        QCOMPARE(reconnectWaits().size(), 1);
    }
}

void tst_TerminalApp::startWhileWaitingConnectsAtOnce()
{
    connectAndLoseTheStation();
    if (QTest::currentTestFailed())
        return;
    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    m_app->OnStart();
    QCOMPARE(answer.count(), 0);
    QCOMPARE(m_app->state(), CMyApp::State::Reconnecting);
    QTRY_VERIFY(m_server->hasPendingConnections());
    m_station = m_server->nextPendingConnection();
    QTRY_COMPARE(status(), Connected);
    // The wait that was cut short starts nothing.
    m_platform->runHeldTimers();
    QTest::qWait(50);
    QVERIFY(!m_server->hasPendingConnections());
    QCOMPARE(m_app->state(), CMyApp::State::Connected);
}

void tst_TerminalApp::settingsRoundTrip()
{
    // Defaults while nothing is stored.
    QCOMPARE(TerminalSettings::load(), TerminalSettings());
    QVERIFY(TerminalSettings().reconnect && TerminalSettings().extension);

    struct Shown
    {
        bool reconnect = false;
        bool extension = false;
        int days = -1;
    } shown;
    const auto answerWith = [&shown](bool reconnect, bool extension, int days, bool ok) {
        return [&shown, reconnect, extension, days, ok](QDialog *dialog) {
            auto *reconnectBox = dialog->findChild<QCheckBox *>(QStringLiteral("reconnect"));
            auto *extensionBox = dialog->findChild<QCheckBox *>(QStringLiteral("extension"));
            auto *daysBox = dialog->findChild<QSpinBox *>(QStringLiteral("historyDays"));
            if (!reconnectBox || !extensionBox || !daysBox
                || reconnectBox->text() != QStringLiteral("接続が切れたら再接続する")
                || extensionBox->text()
                    != QStringLiteral("拡張機能を使う（Tavrin2 との高速ファイル転送・ファイル名・受信確認・多言語テキスト）")) {
                dialog->reject();
                return;
            }
            shown = {reconnectBox->isChecked(), extensionBox->isChecked(), daysBox->value()};
            reconnectBox->setChecked(reconnect);
            extensionBox->setChecked(extension);
            daysBox->setValue(days);
            if (ok)
                dialog->accept();
            else
                dialog->reject();
        };
    };
    {
        ModalDialogAnswer answer(answerWith(false, false, 7, true));
        choose(Settings);
        QCOMPARE(answer.count(), 1);
    }
    QCOMPARE(shown.reconnect, true);
    QCOMPARE(shown.extension, true);
    QCOMPARE(shown.days, Journal::DefaultKeptDays);
    const QSettings stored(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin"));
    QCOMPARE(stored.value(QStringLiteral("Connection/Reconnect")).toBool(), false);
    QCOMPARE(stored.value(QStringLiteral("Link/Extension")).toBool(), false);
    QCOMPARE(stored.value(QStringLiteral("History/KeptDays")).toInt(), 7);

    // Cancel keeps what was stored; the dialog shows it.
    {
        ModalDialogAnswer answer(answerWith(true, true, 0, false));
        choose(Settings);
        QCOMPARE(answer.count(), 1);
    }
    QCOMPARE(shown.reconnect, false);
    QCOMPARE(shown.extension, false);
    QCOMPARE(shown.days, 7);
    const TerminalSettings changed = TerminalSettings::load();
    QVERIFY(!changed.reconnect && !changed.extension && changed.historyDays == 7);

    // The defaults again: nothing stored.
    {
        ModalDialogAnswer answer(answerWith(true, true, Journal::DefaultKeptDays, true));
        choose(Settings);
        QCOMPARE(answer.count(), 1);
    }
    QCOMPARE(TerminalSettings::load(), TerminalSettings());
    QSettings after(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin"));
    QVERIFY(!after.contains(QStringLiteral("Connection/Reconnect")));
    QVERIFY(!after.contains(QStringLiteral("Link/Extension")));
}

void tst_TerminalApp::exitEndsTheProgram()
{
    CONNECT_APP();
    m_platform->queueOpenFileName(makeFile(QStringLiteral("long.bin"), filled(10 * CHUNK_SIZE)));
    m_platform->realPauseMs = 1000;
    choose(FileSend);
    QVERIFY(m_app->m_pSocket->isSendingFile());
    QTRY_COMPARE(m_station->bytesAvailable(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));

    // "終了" asks what would be lost, then ends the event loop as the close box does, the send running.
    m_platform->queueQuestionAnswer(true);
    QTimer::singleShot(0, m_app.get(), [this] { choose(QStringLiteral("終了")); });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, qApp, &QCoreApplication::quit);
    giveUp.start(3000);
    QElapsedTimer running;
    running.start();
    QApplication::exec();
    QVERIFY(running.elapsed() < 2000);
    QVERIFY(!m_app->mainFrame()->isVisible());
    QCOMPARE(m_platform->questions,
             QStringList {AppFramework::closeQuestion(
                 {QStringLiteral("接続局との接続"), QStringLiteral("接続局へ送信中のファイル")})});

    // The program then goes: the Station got whole chunks only, then the end
    // of the connection, and nobody is told anything.
    m_app.reset();
    QTRY_COMPARE(m_station->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_station->readAll().size(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));
    QTest::qWait(50);
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_TerminalApp::receivedTextAndFile()
{
    CONNECT_APP();
    m_station->write(QByteArray::fromHex("0100000003000000000061626301000000040000000000") + cp932("日本"));
    QTRY_COMPARE(m_app->m_message.bytes(), cp932(QStringLiteral("日本")));
    QTRY_COMPARE(m_app->view()->messageText(), QStringLiteral("日本"));
    QCOMPARE(status(), Connected);

    const QString target = m_files.filePath(QStringLiteral("from-station.bin"));
    m_platform->queueSaveFileName(target);
    const QByteArray content = filled(4500);
    m_station->write(fileFrames(content));
    QTRY_COMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(m_platform->saveCaptions, QStringList {QStringLiteral("接続局からのファイル（4,500 バイト）を保存")});
    QTRY_VERIFY(QFileInfo(target).size() == content.size());
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), content);
    QVERIFY(m_platform->messages.isEmpty());
}

QTEST_MAIN(tst_TerminalApp)
#include "tst_TerminalApp.moc"

void tst_TerminalApp::stationFilesStopAfterThreeDeclined()
{
    CONNECT_APP();
    const QByteArray bare = FrameCodec::fileFrame(0, 0, QByteArray());
    QByteArray flood;
    for (int i = 0; i < 100; ++i)
        flood += bare;
    m_station->write(flood + FrameCodec::textFrame("end"));
    QTRY_COMPARE(m_app->m_message.bytes(), QByteArray("end"));
    const QStringList told {OperatorApp::declinedFilesMessage(-1, QStringLiteral("127.0.0.1"))};
    QTRY_COMPARE(m_platform->messages, told);
    QTRY_COMPARE(m_app->queuedFiles(), 0);
    QCOMPARE(m_platform->saveDialogs, OperatorApp::MAX_DECLINED_FILES);

    // Something sent to the Station lets its files be offered again.
    expectOnlyProbeNext();
    m_station->write(bare);
    QTRY_COMPARE(m_platform->saveDialogs, OperatorApp::MAX_DECLINED_FILES + 1);
    QCOMPARE(m_platform->messages, told);
}

void tst_TerminalApp::filesOfAGoneStationAreNotOffered()
{
    CONNECT_APP();
    m_platform->queueSaveFileName(QString(), [this] {
        // The Station sends another file and leaves while the first is asked for.
        m_station->write(FrameCodec::fileFrame(2, 0, "b2"));
        m_station->disconnectFromHost();
        LinkTest::pumpUntil([this] { return status() != Connected; });
    });
    m_station->write(FrameCodec::fileFrame(2, 0, "a1"));
    QTRY_COMPARE(status(), QStringLiteral("接続待ち"));
    QTest::qWait(50);
    QCOMPARE(m_platform->saveDialogs, 1);
    QCOMPARE(m_app->queuedFiles(), 0);
    const QStringList lines = historyLines();
    QVERIFY2(lines.contains(QStringLiteral("接続が切れたため、受信したファイルは保存しませんでした")), qPrintable(lines.join('|')));
    QVERIFY(m_platform->messages.isEmpty());
}
