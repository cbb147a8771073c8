#include "CodePage.h"
#include "Frame.h"
#include "HistoryModel.h"
#include "InputDialog1.h"
#include "LinkTestSupport.h"
#include "ModalDialogAnswer.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "CSocket.h"
#include "StatusView.h"
#include "Tavrin2.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using LinkTest::pumpUntil;

using LinkTest::cp932;
using LinkTest::freePort;

namespace {

// The Station, counting its repaint requests.
class Station : public CMy2App
{
public:
    using CMy2App::CMy2App;
    void Redraw() override
    {
        ++redraws;
        CMy2App::Redraw();
    }
    int redraws = 0;
};

struct Choice
{
    int slot = 0;
    QString text;
    int button = TemplateDialog::IDOK;
};

const QString Start = QStringLiteral("開始");
const QString Send = QStringLiteral("送信");
const QString FileSend = QStringLiteral("ファイル送信");
const QString Drop = QStringLiteral("切断");
const QString Settings = QStringLiteral("設定");

QString droppedRsNote(int slot, int count)
{
    return QStringLiteral("端末 %1 が切断前に送ったRSコントロールの文字列 %2 件を回線に送らずに破棄しました")
        .arg(slot)
        .arg(count);
}

QRadioButton *radio(QDialog *dialog, int slot)
{
    return dialog->findChild<QRadioButton *>(QStringLiteral("id%1").arg(CInputDialog::IDC_SLOT0 + slot));
}

QLineEdit *textField(QDialog *dialog)
{
    return dialog->findChild<QLineEdit *>(QStringLiteral("id%1").arg(CInputDialog::IDC_TEXT));
}

// Answers the client-choice dialog as the operator would.
void answer(QDialog *dialog, const Choice &choice)
{
    QTest::mouseClick(radio(dialog, choice.slot), Qt::LeftButton);
    textField(dialog)->setText(choice.text);
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id%1").arg(choice.button)), Qt::LeftButton);
}

} // namespace

Q_DECLARE_METATYPE(QList<int>)

class tst_StationApp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cp932RoundTrip_data();
    void cp932RoundTrip();
    void cp932WritesJisFormsAsWindowsDoes_data();
    void cp932WritesJisFormsAsWindowsDoes();
    void cp932RefusesForeignCharacters_data();
    void cp932RefusesForeignCharacters();

    void startUpState();
    void startListensOnce();
    void startByKeyboard();
    void startRetriesAfterListenFailure();
    void commandsWithoutTerminalShowNoDialog_data();
    void commandsWithoutTerminalShowNoDialog();

    void slotTooltipNamesTerminal();

    void send_data();
    void send();
    void tenTerminalsAllChoosable();
    void chosenTerminalLeavesWhileDialogOpen_data();
    void chosenTerminalLeavesWhileDialogOpen();
    void fileSend_data();
    void fileSend();
    void dropTerminal();

    void receivedTextShownInView();
    void receivedFilesAskUntilDeclinedThrice_data();
    void receivedFilesAskUntilDeclinedThrice();
    void newAndOpenLeaveLinesUnchanged();
    void closingDuringFileSendEndsQuietly();
    void serialLineStateToldOnce_data();
    void serialLineStateToldOnce();
    void droppedRsOfDeparturesWhileToldSummed();
    void allowedAddressesSetInDialog();
    void listenAddressSetInDialog();

private:
    void choose(const QString &label) { m_station->mainFrame()->commandAction(label)->trigger(); }
    bool startStation();
    // Terminals connecting from `from` if given; false unless all are admitted.
    bool connectTerminals(int count, const QHostAddress &from = QHostAddress());
    // Terminal `index` sends `count` RS control strings and closes.
    void sendRsAndLeave(int index, int count);
    // What each Terminal has received, once `expected` could have arrived
    // and a little longer, so that anything more shows too.
    QList<QByteArray> receivedByTerminals(const QList<QByteArray> &expected);

    std::unique_ptr<ScriptedPlatform> m_platform;
    std::unique_ptr<PtyLine> m_pty;
    quint16 m_port = 0;
    std::unique_ptr<Station> m_station;
    std::vector<std::unique_ptr<QTcpSocket>> m_terminals;
};

void tst_StationApp::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_StationApp::init()
{
    m_platform = std::make_unique<ScriptedPlatform>();
    m_pty = std::make_unique<PtyLine>();
    if (!m_pty->isValid())
        QSKIP("No pseudo-terminal to stand in for COM1");
    m_port = freePort();
    QVERIFY(m_port != 0);
    QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2")).clear();
    m_station = std::make_unique<Station>(*m_platform, m_pty->name(), m_port);
    QVERIFY(m_station->InitInstance());
}

void tst_StationApp::cleanup()
{
    m_terminals.clear();
    m_station.reset();
    m_pty.reset();
    m_platform.reset();
}

bool tst_StationApp::startStation()
{
    m_station->OnStart();
    return m_station->m_pListenSocket && m_station->m_pListenSocket->isListening();
}

bool tst_StationApp::connectTerminals(int count, const QHostAddress &from)
{
    for (int i = 0; i < count; ++i) {
        auto terminal = std::make_unique<QTcpSocket>();
        if (!from.isNull() && !terminal->bind(from))
            return false;
        terminal->connectToHost(QHostAddress::LocalHost, m_port);
        const int before = m_station->m_pListenSocket->count();
        if (!pumpUntil([&] { return m_station->m_pListenSocket->count() == before + 1; }))
            return false;
        m_terminals.push_back(std::move(terminal));
    }
    return true;
}

void tst_StationApp::sendRsAndLeave(int index, int count)
{
    for (int i = 0; i < count; ++i)
        m_terminals.at(index)->write(FrameCodec::rsFrame(QByteArray(1, char('a' + i))));
    m_terminals.at(index)->disconnectFromHost();
}

QList<QByteArray> tst_StationApp::receivedByTerminals(const QList<QByteArray> &expected)
{
    pumpUntil([&] {
        for (int i = 0; i < expected.size() && i < int(m_terminals.size()); ++i) {
            if (m_terminals.at(i)->bytesAvailable() < expected.at(i).size())
                return false;
        }
        return true;
    });
    QTest::qWait(100);
    QList<QByteArray> received;
    for (const auto &terminal : m_terminals)
        received.append(terminal->readAll());
    return received;
}

void tst_StationApp::cp932RoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bytes");
    QTest::newRow("ASCII") << "abc" << 3;
    QTest::newRow("half-width kana") << "ｷｬﾝｾﾙ" << 5;
    QTest::newRow("kanji") << "接続中" << 6;
    QTest::newRow("status") << "10人と接続中" << 12;
    QTest::newRow("NEC special") << "①" << 2;
    QTest::newRow("wave dash") << "～" << 2;
    QTest::newRow("empty") << "" << 0;
}

void tst_StationApp::cp932RoundTrip()
{
    QFETCH(QString, text);
    QFETCH(int, bytes);
    QByteArray encoded;
    QVERIFY(CodePage::encode(text, &encoded));
    QCOMPARE(encoded.size(), bytes);
    QCOMPARE(CodePage::decode(encoded), text);
}

void tst_StationApp::cp932WritesJisFormsAsWindowsDoes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("wave dash U+301C") << QStringLiteral("\u301C") << QByteArray("\x81\x60");
    QTest::newRow("minus U+2212") << QStringLiteral("\u2212") << QByteArray("\x81\x7C");
    QTest::newRow("double bar U+2016") << QStringLiteral("\u2016") << QByteArray("\x81\x61");
    QTest::newRow("em dash U+2014") << QStringLiteral("\u2014") << QByteArray("\x81\x5C");
    QTest::newRow("cent U+00A2") << QStringLiteral("\u00A2") << QByteArray("\x81\x91");
    QTest::newRow("pound U+00A3") << QStringLiteral("\u00A3") << QByteArray("\x81\x92");
    QTest::newRow("not U+00AC") << QStringLiteral("\u00AC") << QByteArray("\x81\xCA");
    QTest::newRow("yen U+00A5") << QStringLiteral("\u00A5100") << QByteArray("\x5C" "100");
    QTest::newRow("overline U+203E") << QStringLiteral("\u203E") << QByteArray("\x7E");
    QTest::newRow("within a text") << QStringLiteral("10時\u301C12時")
                                   << QByteArray("10\x8E\x9E\x81\x60" "12\x8E\x9E");
}

void tst_StationApp::cp932WritesJisFormsAsWindowsDoes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QByteArray encoded;
    QVERIFY(CodePage::encode(text, &encoded));
    QCOMPARE(encoded.toHex(' '), bytes.toHex(' '));
    QCOMPARE(CodePage::unencodable(text), QString());
}

void tst_StationApp::cp932RefusesForeignCharacters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refused");
    QTest::newRow("emoji") << "hi 🙂" << "🙂";
    QTest::newRow("Hangul") << "안녕" << "안녕";
    QTest::newRow("euro twice, beside a JIS form") << "5€ \u301C 6€" << "€";
}

void tst_StationApp::cp932RefusesForeignCharacters()
{
    QFETCH(QString, text);
    QFETCH(QString, refused);
    QByteArray untouched("kept");
    QVERIFY(!CodePage::encode(text, &untouched));
    QCOMPARE(untouched, QByteArray("kept"));
    QCOMPARE(CodePage::unencodable(text), refused);
}

void tst_StationApp::startUpState()
{
    QVERIFY(m_station->m_pSerialPort->isOpen());
    {
        // COM1 is opened when the application object is made, before any window.
        m_station.reset();
        Station early(*m_platform, m_pty->name(), m_port);
        QVERIFY(early.m_pSerialPort);
        QVERIFY(early.m_pSerialPort->isOpen());
        QCOMPARE(early.mainFrame(), nullptr);
    }
    m_station = std::make_unique<Station>(*m_platform, m_pty->name(), m_port);
    QVERIFY(m_station->InitInstance());

    QCOMPARE(m_station->m_pListenSocket, nullptr);
    QVERIFY(m_station->m_status.isEmpty());
    QVERIFY(m_station->m_message.isEmpty());
    QCOMPARE(m_station->m_status.capacity(), 52);
    QCOMPARE(m_station->m_message.capacity(), 200);

    CMainFrame *frame = m_station->mainFrame();
    QCOMPARE(frame->windowTitle(), QStringLiteral("無題 - Tavrin2"));
    QStringList labels;
    for (QAction *action : frame->menuBar()->actions())
        labels << action->text();
    QCOMPARE(labels, QStringList({Start, Send, FileSend, Drop, QStringLiteral("履歴保存"), Settings}));
    QVERIFY(frame->centralWidget()->isAncestorOf(m_station->view()));
    QCOMPARE(m_station->redraws, 0);

    // Nobody listens before Start.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(pumpUntil([&] { return probe.state() == QAbstractSocket::UnconnectedState; }));
}

void tst_StationApp::startListensOnce()
{
    choose(Start);
    CListenSocket *listener = m_station->m_pListenSocket;
    QVERIFY(listener);
    QVERIFY(listener->isListening());
    QCOMPARE(listener->serverPort(), m_port);
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QCOMPARE(m_station->redraws, 1);
    QTRY_COMPARE(m_station->view()->accessibleName(), QStringLiteral("接続待ち"));

    choose(Start);
    QCOMPARE(m_station->m_pListenSocket, listener);
    QCOMPARE(m_station->findChildren<CListenSocket *>().size(), 1);
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QCOMPARE(m_station->redraws, 1);
}

void tst_StationApp::startByKeyboard()
{
    CMainFrame *frame = m_station->mainFrame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : frame;
    QTest::keyPress(target, Qt::Key_Alt, Qt::AltModifier);
    QTest::keyRelease(target, Qt::Key_Alt, Qt::NoModifier);
    QTRY_VERIFY(frame->menuBar()->hasFocus());
    QTest::keyClick(frame->menuBar(), Qt::Key_Return);
    QCOMPARE(QApplication::style()->name(), QStringLiteral("windows"));
    QVERIFY(m_station->m_pListenSocket);
    QVERIFY(m_station->m_pListenSocket->isListening());
}

void tst_StationApp::startRetriesAfterListenFailure()
{
    auto blocker = std::make_unique<QTcpServer>();
    QVERIFY(blocker->listen(QHostAddress::Any, m_port));
    m_station->OnStart();
    CListenSocket *listener = m_station->m_pListenSocket;
    QVERIFY(listener);
    QVERIFY(!listener->isListening());
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("待ち受けできません。開始をやり直してください")));

    blocker.reset();
    m_station->OnStart();
    QCOMPARE(m_station->m_pListenSocket, listener);
    QVERIFY(listener->isListening());
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QVERIFY(connectTerminals(1));
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("1人と接続中")));
}

void tst_StationApp::commandsWithoutTerminalShowNoDialog_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<QString>("command");
    for (const QString &command : {Send, FileSend, Drop}) {
        QTest::addRow("%s before Start", qPrintable(command)) << false << command;
        QTest::addRow("%s, nobody connected", qPrintable(command)) << true << command;
    }
}

void tst_StationApp::commandsWithoutTerminalShowNoDialog()
{
    QFETCH(bool, started);
    QFETCH(QString, command);
    if (started)
        QVERIFY(startStation());
    const QByteArray status = m_station->m_status.bytes();
    const int redraws = m_station->redraws;

    ModalDialogAnswer dialogs(ModalDialogAnswer::cancel);
    choose(command);
    QTest::qWait(50);
    QCOMPARE(dialogs.count(), 0);
    QCOMPARE(m_platform->openDialogs, 0);
    QVERIFY(m_platform->messages.isEmpty());
    QCOMPARE(m_station->m_status.bytes(), status);
    QCOMPARE(m_station->redraws, redraws);
}

void tst_StationApp::slotTooltipNamesTerminal()
{
    QVERIFY(startStation());
    QVERIFY(connectTerminals(2));
    QStringList tips;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int slot = 0; slot < 3; ++slot)
            tips << radio(dialog, slot)->toolTip();
        dialog->reject();
    });
    m_station->OnSend();
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(tips, QStringList({QStringLiteral("アドレス 127.0.0.1、ポート %1").arg(m_terminals[0]->localPort()),
                                QStringLiteral("アドレス 127.0.0.1、ポート %1").arg(m_terminals[1]->localPort()),
                                QString()}));
}

void tst_StationApp::send_data()
{
    QTest::addColumn<int>("terminals");
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QStringList>("told");   // what the refusal names, if any

    const int ok = TemplateDialog::IDOK;
    const int cancel = TemplateDialog::IDCANCEL;
    const QStringList none;
    // The byte count and the limit.
    const QStringList tooLong {QStringLiteral("201バイト"), QStringLiteral("200バイト以内")};
    QTest::newRow("text to slot 0") << 1 << 0 << "abc" << ok << true << none;
    QTest::newRow("text to slot 3 of 4") << 4 << 3 << "abc" << ok << true << none;
    QTest::newRow("Japanese text") << 2 << 1 << "こんにちは ｱｲｳ" << ok << true << none;
    QTest::newRow("empty text") << 1 << 0 << "" << ok << true << none;
    QTest::newRow("200 ASCII bytes") << 1 << 0 << QString(200, QLatin1Char('x')) << ok << true << none;
    QTest::newRow("201 ASCII bytes") << 1 << 0 << QString(201, QLatin1Char('x')) << ok << false << tooLong;
    QTest::newRow("200 bytes of kanji") << 1 << 0 << QString(100, QChar(0x6F22)) << ok << true << none;
    QTest::newRow("201 bytes, kanji and one") << 1 << 0 << QString(100, QChar(0x6F22)) + QLatin1Char('x') << ok
                                               << false << tooLong;
    QTest::newRow("200 bytes of JIS wave dashes") << 1 << 0 << QString(100, QChar(0x301C)) << ok << true << none;
    QTest::newRow("201 bytes, JIS wave dashes and one")
        << 1 << 0 << QString(100, QChar(0x301C)) + QLatin1Char('x') << ok << false << tooLong;
    QTest::newRow("foreign character") << 1 << 0 << "smile 🙂" << ok << false << QStringList {"「🙂」"};
    QTest::newRow("Cancel with Terminal chosen") << 2 << 1 << "abc" << cancel << false << none;
    QTest::newRow("Cancel, empty text") << 1 << 0 << "" << cancel << false << none;
}

void tst_StationApp::send()
{
    QFETCH(int, terminals);
    QFETCH(int, slot);
    QFETCH(QString, text);
    QFETCH(int, button);
    QFETCH(bool, sent);
    QFETCH(QStringList, told);

    QVERIFY(startStation());
    QVERIFY(connectTerminals(terminals));
    const QByteArray status = m_station->m_status.bytes();
    const int redraws = m_station->redraws;

    QList<bool> enabled;
    bool textShown = false;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int i = 0; i < MAX_CLIENTS; ++i)
            enabled << radio(dialog, i)->isEnabled();
        textShown = textField(dialog)->isVisible();
        answer(dialog, {slot, text, button});
    });
    choose(Send);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(textShown);
    for (int i = 0; i < MAX_CLIENTS; ++i)
        QCOMPARE(enabled.at(i), i < terminals);

    QList<QByteArray> expected(terminals);
    if (sent)
        expected[slot] = FrameCodec::textFrame(cp932(text));
    QCOMPARE(receivedByTerminals(expected), expected);
    QCOMPARE(m_platform->messages.size(), told.isEmpty() ? 0 : 1);
    if (!told.isEmpty()) {
        // Says in Japanese what failed and what to do.
        told << QStringLiteral("送信しませんでした") << QStringLiteral("もう一度");
        for (const QString &word : std::as_const(told))
            QVERIFY2(m_platform->messages.first().contains(word), qPrintable(m_platform->messages.first()));
    }
    // Sending changes neither line.
    QCOMPARE(m_station->m_status.bytes(), status);
    QVERIFY(m_station->m_message.isEmpty());
    QCOMPARE(m_station->redraws, redraws);
}

void tst_StationApp::tenTerminalsAllChoosable()
{
    QVERIFY(startStation());
    QVERIFY(connectTerminals(MAX_CLIENTS));
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("10人と接続中")));

    int enabled = 0;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int i = 0; i < MAX_CLIENTS; ++i)
            enabled += radio(dialog, i)->isEnabled() ? 1 : 0;
        answer(dialog, {9, QStringLiteral("to nine"), TemplateDialog::IDOK});
    });
    m_station->OnSend();
    QCOMPARE(enabled, MAX_CLIENTS);
    QList<QByteArray> expected(MAX_CLIENTS);
    expected[9] = FrameCodec::textFrame("to nine");
    QCOMPARE(receivedByTerminals(expected), expected);
}

void tst_StationApp::chosenTerminalLeavesWhileDialogOpen_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("slotRetaken");
    QTest::addColumn<QString>("told");
    const QString text = QStringLiteral("端末 1 は接続を切ったため、文字列を送信しませんでした。");
    const QString file = QStringLiteral("端末 1 は接続を切ったため、ファイルを送信しませんでした。");
    QTest::newRow("text, slot left empty") << Send << false << text;
    QTest::newRow("text, slot taken by a newcomer") << Send << true << text;
    QTest::newRow("file, slot left empty") << FileSend << false << file;
    QTest::newRow("file, slot taken by a newcomer") << FileSend << true << file;
}

void tst_StationApp::chosenTerminalLeavesWhileDialogOpen()
{
    QFETCH(QString, command);
    QFETCH(bool, slotRetaken);
    QFETCH(QString, told);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    QVERIFY(LinkTest::writeFile(path, "a small report"));
    m_platform->queueOpenFileName(path);
    QVERIFY(startStation());
    QVERIFY(connectTerminals(2));

    bool leftAndCameBack = false;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        QTest::mouseClick(radio(dialog, 1), Qt::LeftButton);
        m_terminals.at(1)->disconnectFromHost();
        if (!pumpUntil([&] { return m_station->m_pListenSocket->client(1) == nullptr; })) {
            dialog->reject();
            return;
        }
        if (slotRetaken) {
            m_terminals.at(1) = std::make_unique<QTcpSocket>();
            m_terminals.at(1)->connectToHost(QHostAddress::LocalHost, m_port);
            if (!pumpUntil([&] { return m_station->m_pListenSocket->client(1) != nullptr; })) {
                dialog->reject();
                return;
            }
        }
        // The snapshot taken when the dialog opened still offers slot 1.
        leftAndCameBack = radio(dialog, 1)->isEnabled();
        answer(dialog, {1, QStringLiteral("for the one who left"), TemplateDialog::IDOK});
    });
    choose(command);
    QVERIFY(leftAndCameBack);
    QCOMPARE(m_station->m_pListenSocket->count(), slotRetaken ? 2 : 1);
    QCOMPARE(receivedByTerminals(QList<QByteArray>(2)), QList<QByteArray>(2));
    QCOMPARE(m_platform->openDialogs, 0);
    QCOMPARE(m_platform->messages, QStringList {told});
}

void tst_StationApp::fileSend_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("sent");
    QTest::newRow("OK with slot 1") << 1 << int(TemplateDialog::IDOK) << true;
    QTest::newRow("Cancel with slot 1") << 1 << int(TemplateDialog::IDCANCEL) << false;
}

void tst_StationApp::fileSend()
{
    QFETCH(int, slot);
    QFETCH(int, button);
    QFETCH(bool, sent);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("report.txt"));
    const QByteArray content("a small report");
    QVERIFY(LinkTest::writeFile(path, content));
    m_platform->queueOpenFileName(path);

    QVERIFY(startStation());
    QVERIFY(connectTerminals(2));
    bool textShown = true;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        textShown = textField(dialog)->isVisible();
        answer(dialog, {slot, QString(), button});
    });
    choose(FileSend);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!textShown);
    QCOMPARE(m_platform->openDialogs, sent ? 1 : 0);

    QList<QByteArray> expected(2);
    if (sent)
        expected[slot] = FrameCodec::fileFrame(quint32(content.size()), 0, content);
    QCOMPARE(receivedByTerminals(expected), expected);
}

void tst_StationApp::dropTerminal()
{
    QVERIFY(startStation());
    QVERIFY(connectTerminals(MAX_CLIENTS));
    QTcpSocket newcomer;
    newcomer.connectToHost(QHostAddress::LocalHost, m_port);
    QTRY_COMPARE(newcomer.state(), QAbstractSocket::ConnectedState);
    QTest::qWait(50);
    QCOMPARE(m_station->m_pListenSocket->count(), MAX_CLIENTS);

    bool textShown = true;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        textShown = textField(dialog)->isVisible();
        answer(dialog, {3, QString(), TemplateDialog::IDOK});
    });
    choose(Drop);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!textShown);
    // At once: the slot is free and the count tells so.
    QCOMPARE(m_station->m_pListenSocket->client(3), nullptr);
    QCOMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("9人と接続中")));
    // The waiting connection takes the slot.
    QTRY_COMPARE(m_station->m_status.bytes(), cp932(QStringLiteral("10人と接続中")));
    QVERIFY(m_platform->messages.isEmpty());
}

void tst_StationApp::receivedTextShownInView()
{
    QVERIFY(startStation());
    QVERIFY(connectTerminals(2));
    m_terminals.at(1)->write(FrameCodec::textFrame(cp932(QStringLiteral("こんにちは"))));
    QTRY_COMPARE(m_station->m_message.bytes(), cp932(QStringLiteral("1> こんにちは")));
    QTRY_COMPARE(m_station->view()->accessibleDescription(), QStringLiteral("1> こんにちは"));
    QCOMPARE(m_station->view()->accessibleName(), QStringLiteral("2人と接続中"));

    // Both lines are painted: ink in the status row and in the message row.
    const QImage image = m_station->view()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb window = QApplication::palette().color(QPalette::Window).rgb();
    auto rowHasInk = [&](int top) {
        for (int y = top; y < top + 20; ++y) {
            for (int x = 10; x < image.width(); ++x) {
                if (image.pixel(x, y) != window)
                    return true;
            }
        }
        return false;
    };
    QVERIFY(rowHasInk(10));
    QVERIFY(rowHasInk(30));
}

void tst_StationApp::receivedFilesAskUntilDeclinedThrice_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("until a text is sent to it") << false;
    QTest::newRow("until it reconnects") << true;
}

void tst_StationApp::receivedFilesAskUntilDeclinedThrice()
{
    QFETCH(bool, reconnect);
    QVERIFY(startStation());
    QVERIFY(connectTerminals(4));
    QTcpSocket *terminal = m_terminals.at(3).get();

    // Three Save As cancelled in a row: the next files are dropped unasked, told once.
    const QByteArray small = FrameCodec::fileFrame(2, 0, "hi");
    terminal->write(small + small + small + small + small + FrameCodec::textFrame("after"));
    QTRY_COMPARE(m_station->m_message.bytes(), QByteArray("3> after"));
    QCOMPARE(m_platform->saveDialogs, 3);
    QTRY_COMPARE(m_platform->messages.size(), 1);
    QVERIFY2(m_platform->messages[0].contains(QStringLiteral("端末 3 からのファイルを 3 回続けて保存しなかった")),
             qPrintable(m_platform->messages[0]));

    if (reconnect) {
        terminal->disconnectFromHost();
        QTRY_COMPARE(m_station->m_pListenSocket->count(), 3);
        QVERIFY(connectTerminals(1));
        terminal = m_terminals.back().get();
        QCOMPARE(m_station->m_pListenSocket->client(3)->peerPort(), terminal->localPort());
    } else {
        ModalDialogAnswer answerer([&](QDialog *dialog) { answer(dialog, {3, QStringLiteral("ok")}); });
        choose(Send);
        QCOMPARE(answerer.count(), 1);
    }
    terminal->write(small);
    QTRY_COMPARE(m_platform->saveDialogs, 4);
    QCOMPARE(m_platform->saveCaptions.last(), QStringLiteral("端末 3 からのファイル（2 バイト）を保存"));
    QCOMPARE(m_platform->messages.size(), 1);
}

void tst_StationApp::newAndOpenLeaveLinesUnchanged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("any.doc"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(startStation());
    QVERIFY(connectTerminals(1));
    m_terminals.at(0)->write(FrameCodec::textFrame("abc"));
    QTRY_COMPARE(m_station->m_message.bytes(), QByteArray("0> abc"));
    const QByteArray status = m_station->m_status.bytes();

    CMainFrame *frame = m_station->mainFrame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
    m_platform->queueOpenFileName(path);
    QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(m_platform->openDialogs, 1);
    QCOMPARE(frame->windowTitle(), QStringLiteral("any.doc - Tavrin2"));
    QCOMPARE(m_station->m_status.bytes(), status);
    QCOMPARE(m_station->m_message.bytes(), QByteArray("0> abc"));
    QCOMPARE(m_station->m_pListenSocket->count(), 1);
}

void tst_StationApp::closingDuringFileSendEndsQuietly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("long.bin"));
    const QByteArray content(10 * CHUNK_SIZE, 'x');
    QVERIFY(LinkTest::writeFile(path, content));
    m_platform->queueOpenFileName(path);
    m_platform->realPauseMs = 1000;
    QVERIFY(startStation());
    QVERIFY(connectTerminals(1));
    ModalDialogAnswer answerer([&](QDialog *dialog) { answer(dialog, {0, QString(), TemplateDialog::IDOK}); });
    choose(FileSend);
    QVERIFY(m_station->m_pListenSocket->client(0)->isSendingFile());
    // The window repaints and the command returns while the send goes on.
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(m_platform->progresses.size(), 1);

    QTRY_COMPARE(m_terminals[0]->bytesAvailable(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));
    m_station->mainFrame()->close();
    m_station.reset();
    QVERIFY(!m_platform->progresses[0]->open);
    QTest::qWait(100);
    QVERIFY(m_platform->messages.isEmpty());
    // The Terminal got whole chunks only, then the end of the connection.
    QTRY_COMPARE(m_terminals[0]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_terminals[0]->readAll().size(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));
}

void tst_StationApp::serialLineStateToldOnce_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("messages");
    QTest::newRow("missing device") << QStringLiteral("/dev/tavrin-no-such-port") << 1;
    QTest::newRow("no line wanted") << QStringLiteral("none") << 0;
}

void tst_StationApp::serialLineStateToldOnce()
{
    QFETCH(QString, device);
    QFETCH(int, messages);
    m_station.reset();
    m_station = std::make_unique<Station>(*m_platform, device, m_port);
    QVERIFY(m_station->InitInstance());
    QVERIFY(startStation());
    QVERIFY(connectTerminals(1));
    // RS control strings that reach no line cost their pause and no message.
    m_terminals[0]->write(FrameCodec::rsFrame("a") + FrameCodec::rsFrame("b"));
    QTRY_COMPARE(m_platform->pauses.size(), 2);
    QTest::qWait(50);
    QCOMPARE(m_platform->messages.size(), messages);
    if (messages) {
        QVERIFY(m_platform->messages[0].contains(device));
        QVERIFY(m_platform->messages[0].contains(QStringLiteral("RSコントロールの文字列は回線に送られません")));
    }
}

void tst_StationApp::droppedRsOfDeparturesWhileToldSummed()
{
    // Pauses long enough for the closes to be seen while the line is busy.
    m_platform->realPauseMs = 200;
    QVERIFY(startStation());
    QVERIFY(connectTerminals(3));
    int shownWhileOpen = 0;
    m_platform->onMessage = [&](const QString &) {
        if (m_platform->messages.size() != 1)
            return;
        // Two more leave while the first message is open.
        sendRsAndLeave(1, 3);
        sendRsAndLeave(2, 3);
        pumpUntil([this] { return m_station->m_pListenSocket->count() == 0; });
        ScriptedPlatform::spinEvents(50);
        shownWhileOpen = int(m_platform->messages.size());
    };
    sendRsAndLeave(0, 3);
    QTRY_COMPARE(m_platform->messages.size(), 2);
    QCOMPARE(shownWhileOpen, 1);
    QCOMPARE(m_platform->messages[0], droppedRsNote(0, 2));
    QStringList summed = m_platform->messages[1].split(QLatin1Char('\n'));
    summed.sort();
    QCOMPARE(summed, QStringList({droppedRsNote(1, 2), droppedRsNote(2, 2)}));
    // Each departure told once; the string each had queued still goes out.
    QByteArray line;
    QVERIFY(pumpUntil([&] {
        line += m_pty->drain();
        return line.size() >= 3;
    }));
    QTest::qWait(300);
    QCOMPARE(line + m_pty->drain(), QByteArray("aaa"));
    QCOMPARE(m_platform->messages.size(), 2);
}

void tst_StationApp::allowedAddressesSetInDialog()
{
    // The minute in which a refused address is not told again lasts the test.
    m_platform->realPauseMs = 60 * 1000;
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    QVERIFY(startStation());
    QVERIFY(connectTerminals(1));
    QVERIFY(connectTerminals(1, other));

    QStringList messagesWhileOpen;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        auto *list = dialog->findChild<QPlainTextEdit *>(QStringLiteral("allowedTerminals"));
        auto *ok = dialog->findChild<QPushButton *>();
        list->setPlainText(QStringLiteral("127.0.0.1/32\n10.0.0.0/33"));
        QTest::mouseClick(ok, Qt::LeftButton);
        messagesWhileOpen = m_platform->messages;
        list->setPlainText(QStringLiteral("127.0.0.1/32"));
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    m_platform->queueQuestionAnswer(true);
    choose(Settings);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(messagesWhileOpen.size(), 1);
    QVERIFY2(messagesWhileOpen[0].contains(QStringLiteral("2 行目「10.0.0.0/33」")), qPrintable(messagesWhileOpen[0]));
    QCOMPARE(QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
                 .value(QStringLiteral("Security/AllowedTerminals"))
                 .toStringList(),
             QStringList({QStringLiteral("127.0.0.1/32")}));
    // The Terminal the new list leaves out is dropped once the operator agrees.
    QCOMPARE(m_platform->questions.size(), 1);
    QVERIFY2(m_platform->questions[0].contains(QStringLiteral("端末 1（アドレス 127.0.0.2）")),
             qPrintable(m_platform->questions[0]));
    QCOMPARE(m_station->m_pListenSocket->count(), 1);
    QVERIFY(m_station->m_pListenSocket->client(0));

    // Refused connections are noted in the history, once a minute per address.
    HistoryModel &history = m_station->history();
    const int entries = history.rowCount();
    for (int attempt = 0; attempt < 2; ++attempt) {
        QTcpSocket refused;
        refused.bind(other);
        refused.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(pumpUntil([&] { return refused.state() == QAbstractSocket::UnconnectedState; }));
    }
    QCOMPARE(history.rowCount(), entries + 1);
    QCOMPARE(history.entry(entries).text,
             QStringLiteral("アドレス 127.0.0.2 からの接続を拒否しました（許可リストにありません）"));
    QCOMPARE(m_platform->pauses, QList<int>({CMy2App::REFUSAL_NOTE_INTERVAL_MS}));
}

void tst_StationApp::listenAddressSetInDialog()
{
    const QHostAddress only(QStringLiteral("127.0.0.2"));
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("listenAddress"))->setText(only.toString());
        QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    });
    choose(Settings);
    QVERIFY(startStation());

    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(pumpUntil([&] { return elsewhere.state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(elsewhere.error(), QAbstractSocket::ConnectionRefusedError);
    QTcpSocket there;
    there.connectToHost(only, m_port);
    QVERIFY(pumpUntil([&] { return m_station->m_pListenSocket->count() == 1; }));
}

QTEST_MAIN(tst_StationApp)
#include "tst_StationApp.moc"
