#include "CSocket.h"
#include "CodePage.h"
#include "InputDialog1.h"
#include "LinkTestSupport.h"
#include "MainFrm.h"
#include "ModalDialogAnswer.h"
#include "ScriptedPlatform.h"
#include "StatusView.h"
#include "Tavrin.h"
#include "TavrinDoc.h"

#include <QAction>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
const QString Connecting = QStringLiteral("接続しています…");
const QString Connected = QStringLiteral("接続中");
const QString Waiting = QStringLiteral("接続待ち");
const QString ConnectFailed = QStringLiteral("接続できませんでした。開始をやり直してください");

QByteArray cp932(const QString &text)
{
    QByteArray bytes;
    if (!CodePage::encode(text, &bytes))
        qFatal("test text has no CP932 form");
    return bytes;
}

// What the operator saw in a prompt dialog.
struct Seen
{
    QString prompt;
    QString text;
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
        }
        if (!text.isNull())
            input->setText(text);
        static_cast<QPushButton *>(prompt->control(button))->click();
    };
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
    void startOffersTheDefaultAddress();
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
    void stationClosingWhileDialogOpenSendsNothing();
    void sendWhileConnectingIsRefused_data();
    void sendWhileConnectingIsRefused();
    void fileSendGoesThroughTheSocket();
    void disconnectTwice();
    void stationClosingReturnsToNotConnected();
    void exitItemDoesNothing();
    void receivedTextAppears();

private:
    void connectApp();
    // Sends a probe text and checks that it is the next thing on the wire,
    // so that nothing else was sent before it.
    void expectOnlyProbeNext();
    QString status() const { return CodePage::decode(m_app->m_status.bytes()); }

    QTemporaryDir m_home;
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
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress::LocalHost));
    m_app = std::make_unique<CMyApp>(m_server->serverPort());
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
    const QList<QPair<QString, int>> expected = {
        {QStringLiteral("開始"), 32771},          {QStringLiteral("送信"), 32773},
        {QStringLiteral("ファイル送信"), 32776},  {QStringLiteral("接続終了"), 32774},
        {QStringLiteral("RSコントロール"), 32777}, {QStringLiteral("終了"), 32772},
    };
    const QList<QAction *> shown = m_app->mainFrame()->menuBar()->actions();
    QCOMPARE(shown.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(shown.at(i)->text(), expected.at(i).first);
        QCOMPARE(m_app->mainFrame()->commandAction(expected.at(i).second), shown.at(i));
        QVERIFY(shown.at(i)->isEnabled());
        QVERIFY(!shown.at(i)->menu());
    }

    // Choosing "開始" on the menu bar runs Start.
    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    m_app->mainFrame()->commandAction(CMyApp::ID_START)->trigger();
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
    QVERIFY(m_app->m_pSocket->isConnected());
    QTRY_COMPARE(m_app->view()->statusText(), Connected);
}

void tst_TerminalApp::startOffersTheDefaultAddress()
{
    Seen seen;
    ModalDialogAnswer answer(answerPrompt(&seen, TemplateDialog::IDCANCEL));
    m_app->OnStart();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(seen.prompt, QStringLiteral("IPアドレス入力してください"));
    QCOMPARE(seen.text, QStringLiteral("127.0.0.1"));
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
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("afterDisconnect");
    QTest::newRow("send") << int(CMyApp::ID_SEND) << false;
    QTest::newRow("file send") << int(CMyApp::ID_FILE_SEND) << false;
    QTest::newRow("rs control") << int(CMyApp::ID_RS_CONTROL) << false;
    QTest::newRow("disconnect") << int(CMyApp::ID_DISCONNECT) << false;
    QTest::newRow("send after disconnect") << int(CMyApp::ID_SEND) << true;
    QTest::newRow("file send after disconnect") << int(CMyApp::ID_FILE_SEND) << true;
    QTest::newRow("rs control after disconnect") << int(CMyApp::ID_RS_CONTROL) << true;
}

void tst_TerminalApp::commandsWithoutConnectionDoNothing()
{
    QFETCH(int, command);
    QFETCH(bool, afterDisconnect);
    if (afterDisconnect) {
        CONNECT_APP();
        m_app->OnDisconnect();
    }
    const QByteArray statusBefore = m_app->m_status.bytes();

    ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB")));
    m_app->dispatch(command);
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
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("prompt");
    QTest::newRow("send") << int(CMyApp::ID_SEND) << QStringLiteral("送る文字列を入力してください");
    QTest::newRow("rs control") << int(CMyApp::ID_RS_CONTROL) << QString();
}

void tst_TerminalApp::promptsOfSendAndRsControl()
{
    QFETCH(int, command);
    QFETCH(QString, prompt);
    CONNECT_APP();
    Seen seen;
    ModalDialogAnswer answer(answerPrompt(&seen, TemplateDialog::IDCANCEL));
    m_app->dispatch(command);
    QCOMPARE(answer.count(), 1);
    QCOMPARE(seen.prompt, prompt);
    QCOMPARE(seen.text, QString());
}

void tst_TerminalApp::sentBytes_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");   // empty: refused
    QTest::addColumn<QString>("refusal");   // word the message box must hold

    const QString a189(189, QLatin1Char('A'));
    const QString a190(190, QLatin1Char('A'));
    const QString wide189 = QString(94, QChar(0x3042)) + QLatin1Char('A');
    const QString wide190(95, QChar(0x3042));
    const QByteArray text189 = QByteArray::fromHex("01000000bd0000000000");
    const QByteArray rs189 = QByteArray::fromHex("03000000bd0000000000");

    QTest::newRow("send AB") << int(CMyApp::ID_SEND) << QStringLiteral("AB")
                             << QByteArray::fromHex("010000000200000000004142") << QString();
    QTest::newRow("rs AB") << int(CMyApp::ID_RS_CONTROL) << QStringLiteral("AB")
                           << QByteArray::fromHex("030000000200000000004142") << QString();
    QTest::newRow("send empty") << int(CMyApp::ID_SEND) << QString("")
                                << QByteArray::fromHex("01000000000000000000") << QString();
    QTest::newRow("send 189") << int(CMyApp::ID_SEND) << a189 << text189 + a189.toLatin1() << QString();
    QTest::newRow("rs 189") << int(CMyApp::ID_RS_CONTROL) << a189 << rs189 + a189.toLatin1() << QString();
    QTest::newRow("send 189 with wide characters")
        << int(CMyApp::ID_SEND) << wide189 << text189 + cp932(wide189) << QString();
    QTest::newRow("send 190") << int(CMyApp::ID_SEND) << a190 << QByteArray() << QStringLiteral("189");
    QTest::newRow("rs 190") << int(CMyApp::ID_RS_CONTROL) << a190 << QByteArray() << QStringLiteral("189");
    QTest::newRow("send 190 with wide characters")
        << int(CMyApp::ID_SEND) << wide190 << QByteArray() << QStringLiteral("189");
    QTest::newRow("send Japanese") << int(CMyApp::ID_SEND) << QStringLiteral("日本")
                                   << QByteArray::fromHex("0100000004000000000093fa967b") << QString();
    QTest::newRow("rs halfwidth katakana") << int(CMyApp::ID_RS_CONTROL) << QStringLiteral("ｱ")
                                           << QByteArray::fromHex("0300000001" "0000000000" "b1") << QString();
    const QString jisForms = QStringLiteral("\u301C\u2212\u2016\u2014\u00A2\u00A3\u00AC");
    QTest::newRow("send JIS forms as Windows writes them")
        << int(CMyApp::ID_SEND) << jisForms
        << QByteArray::fromHex("010000000e0000000000" "8160817c8161815c8191819281ca") << QString();
    QTest::newRow("rs 189 with JIS forms") << int(CMyApp::ID_RS_CONTROL) << QString(94, QChar(0x301C)) + 'A'
                                           << rs189 + QByteArray("\x81\x60").repeated(94) + 'A' << QString();
    QTest::newRow("send 190 with JIS forms")
        << int(CMyApp::ID_SEND) << QString(95, QChar(0x2212)) << QByteArray() << QStringLiteral("189");
    QTest::newRow("send Hangul") << int(CMyApp::ID_SEND) << QStringLiteral("안녕") << QByteArray()
                                 << QStringLiteral("送れない文字「안녕」");
    QTest::newRow("rs emoji") << int(CMyApp::ID_RS_CONTROL) << QStringLiteral("A\U0001F600")
                              << QByteArray() << QStringLiteral("送れない文字「\U0001F600」");
}

void tst_TerminalApp::sentBytes()
{
    QFETCH(int, command);
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QFETCH(QString, refusal);
    CONNECT_APP();

    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, text));
        m_app->dispatch(command);
        QCOMPARE(answer.count(), 1);
    }
    if (wire.isEmpty()) {
        QCOMPARE(m_platform->messages.size(), 1);
        QVERIFY2(m_platform->messages.first().contains(refusal), qPrintable(m_platform->messages.first()));
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
    QTest::addColumn<int>("command");
    QTest::newRow("send") << int(CMyApp::ID_SEND);
    QTest::newRow("rs control") << int(CMyApp::ID_RS_CONTROL);
}

void tst_TerminalApp::cancelSendsNothing()
{
    QFETCH(int, command);
    CONNECT_APP();
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDCANCEL, QStringLiteral("AB")));
        m_app->dispatch(command);
        QCOMPARE(answer.count(), 1);
    }
    QVERIFY(m_platform->messages.isEmpty());
    expectOnlyProbeNext();
}

void tst_TerminalApp::stationClosingWhileDialogOpenSendsNothing()
{
    CONNECT_APP();
    QTcpSocket *station = m_station;
    CMyApp *app = m_app.get();
    ModalDialogAnswer answer([station, app](QDialog *dialog) {
        station->close();
        for (int i = 0; i < 500 && app->m_pSocket; ++i)
            QTest::qWait(10);
        answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB"))(dialog);
    });
    m_app->OnSend();
    QCOMPARE(answer.count(), 1);
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("接続が切れた")));
}

void tst_TerminalApp::sendWhileConnectingIsRefused_data()
{
    QTest::addColumn<int>("command");
    QTest::newRow("send") << int(CMyApp::ID_SEND);
    QTest::newRow("file send") << int(CMyApp::ID_FILE_SEND);
    QTest::newRow("rs control") << int(CMyApp::ID_RS_CONTROL);
}

void tst_TerminalApp::sendWhileConnectingIsRefused()
{
    QFETCH(int, command);
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK));
        m_app->OnStart();
        QCOMPARE(answer.count(), 1);
    }
    if (m_app->m_pSocket->isConnected())
        QSKIP("the loopback connect completed before the event loop ran");
    {
        ModalDialogAnswer answer(answerPrompt(nullptr, TemplateDialog::IDOK, QStringLiteral("AB")));
        m_app->dispatch(command);
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

void tst_TerminalApp::fileSendGoesThroughTheSocket()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    QByteArray content(2500, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i % 251);
    QVERIFY(LinkTest::writeFile(path, content));
    CONNECT_APP();
    m_platform->queueOpenFileName(path);
    m_app->dispatch(CMyApp::ID_FILE_SEND);
    QCOMPARE(m_platform->openDialogs, 1);

    const QByteArray expected = QByteArray::fromHex("02000009c40000000000") + content.left(2000)
        + QByteArray::fromHex("02000009c40001000000") + content.mid(2000);
    QTRY_VERIFY(m_station->bytesAvailable() >= expected.size());
    QCOMPARE(m_station->readAll(), expected);
    QCOMPARE(m_platform->pauses, QList<int>({1000}));
}

void tst_TerminalApp::disconnectTwice()
{
    CONNECT_APP();
    QPointer<CConnSocket> socket = m_app->m_pSocket;
    m_app->dispatch(CMyApp::ID_DISCONNECT);
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);
    QTRY_COMPARE(m_station->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(socket.isNull());
    QTRY_COMPARE(m_app->view()->statusText(), Waiting);

    m_app->dispatch(CMyApp::ID_DISCONNECT);
    QVERIFY(!m_app->m_pSocket);
    QCOMPARE(status(), Waiting);

    // Start may connect again.
    CONNECT_APP();
}

void tst_TerminalApp::stationClosingReturnsToNotConnected()
{
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
}

void tst_TerminalApp::exitItemDoesNothing()
{
    CONNECT_APP();
    m_station->write(QByteArray::fromHex("01000000010000000000") + "x");
    QTRY_COMPARE(m_app->m_message.bytes(), QByteArray("x"));
    CConnSocket *const socket = m_app->m_pSocket;

    ModalDialogAnswer answer(ModalDialogAnswer::cancel);
    m_app->mainFrame()->commandAction(CMyApp::ID_EXIT)->trigger();
    m_app->dispatch(CMyApp::ID_EXIT);
    QTest::qWait(50);
    QCOMPARE(answer.count(), 0);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(m_app->m_pSocket, socket);
    QCOMPARE(status(), Connected);
    QCOMPARE(m_app->m_message.bytes(), QByteArray("x"));
    QVERIFY(m_app->mainFrame()->isVisible());
    QCOMPARE(m_station->state(), QAbstractSocket::ConnectedState);
}

void tst_TerminalApp::receivedTextAppears()
{
    CONNECT_APP();
    m_station->write(QByteArray::fromHex("0100000003000000000061626301000000040000000000") + cp932("日本"));
    QTRY_COMPARE(m_app->m_message.bytes(), cp932(QStringLiteral("日本")));
    QTRY_COMPARE(m_app->view()->messageText(), QStringLiteral("日本"));
    QCOMPARE(status(), Connected);
}

QTEST_MAIN(tst_TerminalApp)
#include "tst_TerminalApp.moc"
