#include "Frame.h"
#include "HistoryModel.h"
#include "InputDialog1.h"
#include "CSocket.h"
#include "ConnectedTerminalsModel.h"
#include "DropFiles.h"
#include "ModalDialogAnswer.h"
#include "QuitOnSignal.h"
#include "StationFixture.h"
#include "SettingsDialog.h"
#include "StationNotices.h"
#include "StatusView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTableView>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <csignal>
#include <memory>

using LinkTest::cp932;
using LinkTest::pumpUntil;

namespace {

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

QRadioButton *radio(QDialog *dialog, int slot)
{
    return dialog->findChild<QRadioButton *>(QStringLiteral("id%1").arg(CInputDialog::IDC_SLOT0 + slot));
}

QRadioButton *allRadio(QDialog *dialog)
{
    return dialog->findChild<QRadioButton *>(QStringLiteral("id%1").arg(CInputDialog::IDC_ALL));
}

QLineEdit *textField(QDialog *dialog)
{
    return dialog->findChild<QLineEdit *>(QStringLiteral("id%1").arg(CInputDialog::IDC_TEXT));
}

// Answers the client-choice dialog as the operator would. A text the
// dialog refuses is given up with Cancel; the reason it showed is returned.
QString answer(QDialog *dialog, const Choice &choice)
{
    QTest::mouseClick(radio(dialog, choice.slot), Qt::LeftButton);
    textField(dialog)->setText(choice.text);
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id%1").arg(choice.button)), Qt::LeftButton);
    if (!dialog->isVisible())
        return QString();
    const auto *reason = dialog->findChild<QLabel *>(QStringLiteral("refusalReason"));
    const QString shown = reason && reason->isVisible() ? reason->text() : QStringLiteral("(open without a reason)");
    dialog->reject();
    return shown;
}

QByteArray fileFrames(const QByteArray &content)
{
    QByteArray frames;
    for (int index = 0; index <= content.size() / CHUNK_SIZE; ++index)
        frames += FrameCodec::fileFrame(quint32(content.size()), quint16(index),
                                        content.mid(index * CHUNK_SIZE, CHUNK_SIZE));
    return frames;
}

// The slots of the history's entries that read `text`, in order.
QList<int> slotsNoting(const HistoryModel &history, const QString &text)
{
    QList<int> noted;
    for (int row = 0; row < history.rowCount(); ++row) {
        if (history.entry(row).text == text)
            noted << history.entry(row).slot;
    }
    return noted;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

    void startUpState();
    void startListensOnce();
    void startByKeyboard();
    void startRetriesAfterListenFailure();
    void closeAsksOnlyWhileTerminalsAreConnected();
    void terminationSignalQuitsWithoutAsking();
    void commandsWithoutTerminalShowNoDialog_data();
    void commandsWithoutTerminalShowNoDialog();

    void slotTooltipNamesTerminal();
    void choiceDialogSaysWhatItIsFor_data();
    void choiceDialogSaysWhatItIsFor();

    void send_data();
    void send();
    void tenTerminalsAllChoosable();
    void chosenTerminalLeavesWhileDialogOpen_data();
    void chosenTerminalLeavesWhileDialogOpen();
    void fileSend_data();
    void fileSend();
    void dropTerminal();
    void textToAllTerminals_data();
    void textToAllTerminals();
    void fileToAllTerminals_data();
    void fileToAllTerminals();
    void fileDroppedOnATerminalsRow_data();
    void fileDroppedOnATerminalsRow();

    void receivedTextShownInView();
    void receivedFilesAskUntilDeclinedThrice_data();
    void receivedFilesAskUntilDeclinedThrice();
    void filesArrivingTogetherOfferedOneAtATime();
    void departedTerminalsFileStillOffered();
    void connectionsCappedPerAddress();
    void dropCanRefuseTheAddressForAWhile();
    void closingDuringFileSendEndsQuietly();
    void terminalsGoBeforeTheSerialLineAtExit();
    void serialLineStateToldOnce_data();
    void serialLineStateToldOnce();
    void deviceAnswersInHistory();
    void serialDeviceSetInDialog_data();
    void serialDeviceSetInDialog();
    void droppedRsOfDeparturesWhileToldSummed();
    void allowedAddressesSetInDialog();
    void listenAddressSetInDialog();
    void settingsDialogReturnsTrimmedSettings();
    void classicTerminalSeesOnlyTheAnnouncement();
    void extensionTexts_data();
    void extensionTexts();
    void extensionTextToEveryTerminal_data();
    void extensionTextToEveryTerminal();
    void extensionNamedFiles();
    void extensionFileRefusedForWantOfRoom();

private:
    // Terminal `index` sends `count` RS control strings and closes.
    void sendRsAndLeave(int index, int count);

    StationFixture m_f;
};

void tst_StationApp::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void tst_StationApp::init()
{
    STATION_FIXTURE_INIT(m_f);
}

void tst_StationApp::cleanup()
{
    m_f.tearDown();
}

void tst_StationApp::sendRsAndLeave(int index, int count)
{
    for (int i = 0; i < count; ++i)
        m_f.terminals.at(index)->write(FrameCodec::rsFrame(QByteArray(1, char('a' + i))));
    m_f.terminals.at(index)->disconnectFromHost();
}

void tst_StationApp::startUpState()
{
    QVERIFY(m_f.station->m_pSerialPort->isOpen());
    {
        // COM1 is opened when the application object is made, before any window.
        m_f.station.reset();
        StationFixture::Station early(*m_f.platform, m_f.pty->name(), m_f.port);
        QVERIFY(early.m_pSerialPort);
        QVERIFY(early.m_pSerialPort->isOpen());
        QCOMPARE(early.mainFrame(), nullptr);
    }
    QVERIFY(m_f.remake(m_f.pty->name()));

    QCOMPARE(m_f.listener(), nullptr);
    QVERIFY(m_f.station->m_status.isEmpty());
    QVERIFY(m_f.station->m_message.isEmpty());
    QCOMPARE(m_f.station->m_status.capacity(), 52);
    QCOMPARE(m_f.station->m_message.capacity(), 200);

    CMainFrame *frame = m_f.station->mainFrame();
    QCOMPARE(frame->windowTitle(), QStringLiteral("無題 - Tavrin2"));
    QStringList labels;
    for (QAction *action : frame->menuBar()->actions())
        labels << action->text();
    QCOMPARE(labels, QStringList({Start, Send, FileSend, Drop, QStringLiteral("履歴保存"), Settings}));
    QVERIFY(frame->centralWidget()->isAncestorOf(m_f.station->view()));
    QCOMPARE(m_f.station->redraws, 0);

    // Nobody listens before Start.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, m_f.port);
    QVERIFY(pumpUntil([&] { return probe.state() == QAbstractSocket::UnconnectedState; }));
}

void tst_StationApp::startListensOnce()
{
    m_f.choose(Start);
    CListenSocket *listener = m_f.listener();
    QVERIFY(listener);
    QVERIFY(listener->isListening());
    QCOMPARE(listener->serverPort(), m_f.port);
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QCOMPARE(m_f.station->redraws, 1);
    QTRY_COMPARE(m_f.station->view()->accessibleName(), QStringLiteral("接続待ち"));

    m_f.choose(Start);
    QCOMPARE(m_f.listener(), listener);
    QCOMPARE(m_f.station->findChildren<CListenSocket *>().size(), 1);
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QCOMPARE(m_f.station->redraws, 1);
}

void tst_StationApp::startByKeyboard()
{
    CMainFrame *frame = m_f.station->mainFrame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : frame;
    QTest::keyPress(target, Qt::Key_Alt, Qt::AltModifier);
    QTest::keyRelease(target, Qt::Key_Alt, Qt::NoModifier);
    QTRY_VERIFY(frame->menuBar()->hasFocus());
    QTest::keyClick(frame->menuBar(), Qt::Key_Return);
    QCOMPARE(QApplication::style()->name(), QStringLiteral("windows"));
    QVERIFY(m_f.listener());
    QVERIFY(m_f.listener()->isListening());
}

void tst_StationApp::startRetriesAfterListenFailure()
{
    auto blocker = std::make_unique<QTcpServer>();
    QVERIFY(blocker->listen(QHostAddress::Any, m_f.port));
    m_f.station->OnStart();
    CListenSocket *listener = m_f.listener();
    QVERIFY(listener);
    QVERIFY(!listener->isListening());
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("ポート %1 は使用中で待ち受けできません").arg(m_f.port)));
    const QString inUse = QStringLiteral("他のプログラムがポート %1 を使用中です。そのプログラムを終了してから、開始をやり直してください")
                              .arg(m_f.port);
    const HistoryModel &history = m_f.station->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text, inUse);
    QTRY_COMPARE(m_f.platform->messages, QStringList {inUse});

    blocker.reset();
    m_f.station->OnStart();
    QCOMPARE(m_f.listener(), listener);
    QVERIFY(listener->isListening());
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("接続待ち")));
    QVERIFY(m_f.connectTerminals(1));
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("1人と接続中")));
}

void tst_StationApp::closeAsksOnlyWhileTerminalsAreConnected()
{
    CMainFrame *frame = m_f.station->mainFrame();
    QVERIFY(m_f.start());
    QVERIFY(frame->close());
    QVERIFY(m_f.platform->questions.isEmpty());

    frame->show();
    QVERIFY(m_f.connectTerminals(2));
    QVERIFY(!frame->close());
    QCOMPARE(m_f.platform->questions,
             QStringList {AppFramework::closeQuestion({QStringLiteral("接続中の端末 2 台との接続")})});
    QVERIFY(frame->isVisible());
    QCOMPARE(m_f.listener()->count(), 2);

    m_f.platform->queueQuestionAnswer(true);
    QVERIFY(frame->close());
    QCOMPARE(m_f.platform->questions.size(), 2);
    QVERIFY(!frame->isVisible());
}

void tst_StationApp::terminationSignalQuitsWithoutAsking()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    QuitOnSignal::install(qApp);
    QTimer::singleShot(0, qApp, [] { ::raise(SIGTERM); });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    giveUp.start(5000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(m_f.platform->questions.isEmpty());
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
        QVERIFY(m_f.start());
    const QByteArray status = m_f.station->m_status.bytes();
    const int redraws = m_f.station->redraws;

    ModalDialogAnswer dialogs(ModalDialogAnswer::cancel);
    m_f.choose(command);
    QTest::qWait(50);
    QCOMPARE(dialogs.count(), 0);
    QCOMPARE(m_f.platform->openDialogs, 0);
    QVERIFY(m_f.platform->messages.isEmpty());
    QCOMPARE(m_f.station->m_status.bytes(), status);
    QCOMPARE(m_f.station->redraws, redraws);
}

void tst_StationApp::slotTooltipNamesTerminal()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    QStringList tips;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int slot = 0; slot < 3; ++slot)
            tips << radio(dialog, slot)->toolTip();
        dialog->reject();
    });
    m_f.station->OnSend();
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(tips, QStringList({QStringLiteral("アドレス 127.0.0.1、ポート %1").arg(m_f.terminals[0]->localPort()),
                                QStringLiteral("アドレス 127.0.0.1、ポート %1").arg(m_f.terminals[1]->localPort()),
                                QString()}));
}

void tst_StationApp::choiceDialogSaysWhatItIsFor_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("instruction");
    QTest::addColumn<QString>("counter");   // empty: no text field
    QTest::newRow("send") << Send << QStringLiteral("送信先の端末を選んでください")
                          << QStringLiteral("0 / 200 バイト");
    QTest::newRow("file send") << FileSend << QStringLiteral("ファイルを送る端末を選んでください") << QString();
    QTest::newRow("drop") << Drop << QStringLiteral("接続を切る端末を選んでください") << QString();
}

void tst_StationApp::choiceDialogSaysWhatItIsFor()
{
    QFETCH(QString, command);
    QFETCH(QString, instruction);
    QFETCH(QString, counter);
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    QString shownInstruction;
    QString shownCounter;
    bool labelled = false;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        const auto *line = dialog->findChild<QLabel *>(QStringLiteral("instruction"));
        shownInstruction = line && line->isVisible() ? line->text() : QString();
        const auto *bytes = dialog->findChild<QLabel *>(QStringLiteral("byteCounter"));
        shownCounter = bytes && bytes->isVisible() ? bytes->text() : QString();
        const auto *fieldLabel = dialog->findChild<QLabel *>(QStringLiteral("textLabel"));
        labelled = fieldLabel->isVisible() && fieldLabel->buddy() == textField(dialog)
            && textField(dialog)->accessibleName() == QStringLiteral("送信する文字列");
        dialog->reject();
    });
    m_f.choose(command);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(shownInstruction, instruction);
    QCOMPARE(shownCounter, counter);
    QCOMPARE(labelled, !counter.isEmpty());
}

void tst_StationApp::send_data()
{
    QTest::addColumn<int>("terminals");
    QTest::addColumn<int>("slot");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("refusal");

    const int ok = TemplateDialog::IDOK;
    const int cancel = TemplateDialog::IDCANCEL;
    const QString none;
    const QString tooLong = TextRule::tooLongReason(CMy2App::sendTextName(), 201, MAX_TEXT);
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
    QTest::newRow("foreign character") << 1 << 0 << "smile 🙂" << ok << false
                                       << TextRule::unencodableReason(CMy2App::sendTextName(), "🙂");
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
    QFETCH(QString, refusal);

    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(terminals));
    const QByteArray status = m_f.station->m_status.bytes();
    const int redraws = m_f.station->redraws;

    QList<bool> enabled;
    bool textShown = false;
    QString shownRefusal;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int i = 0; i < MAX_CLIENTS; ++i)
            enabled << radio(dialog, i)->isEnabled();
        textShown = textField(dialog)->isVisible();
        shownRefusal = answer(dialog, {slot, text, button});
    });
    m_f.choose(Send);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(textShown);
    for (int i = 0; i < MAX_CLIENTS; ++i)
        QCOMPARE(enabled.at(i), i < terminals);

    QList<QByteArray> expected(terminals);
    if (sent)
        expected[slot] = FrameCodec::textFrame(cp932(text));
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    QCOMPARE(shownRefusal, refusal);
    QVERIFY(m_f.platform->messages.isEmpty());
    // Sending changes neither line.
    QCOMPARE(m_f.station->m_status.bytes(), status);
    QVERIFY(m_f.station->m_message.isEmpty());
    QCOMPARE(m_f.station->redraws, redraws);
}

void tst_StationApp::tenTerminalsAllChoosable()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(MAX_CLIENTS));
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("10人と接続中")));

    int enabled = 0;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        for (int i = 0; i < MAX_CLIENTS; ++i)
            enabled += radio(dialog, i)->isEnabled() ? 1 : 0;
        answer(dialog, {9, QStringLiteral("to nine"), TemplateDialog::IDOK});
    });
    m_f.station->OnSend();
    QCOMPARE(enabled, MAX_CLIENTS);
    QList<QByteArray> expected(MAX_CLIENTS);
    expected[9] = FrameCodec::textFrame("to nine");
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
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
    m_f.platform->queueOpenFileName(path);
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));

    bool leftAndCameBack = false;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        QTest::mouseClick(radio(dialog, 1), Qt::LeftButton);
        m_f.terminals.at(1)->disconnectFromHost();
        if (!pumpUntil([&] { return m_f.listener()->client(1) == nullptr; })) {
            dialog->reject();
            return;
        }
        if (slotRetaken) {
            m_f.terminals.at(1) = std::make_unique<QTcpSocket>();
            m_f.terminals.at(1)->connectToHost(QHostAddress::LocalHost, m_f.port);
            if (!pumpUntil([&] { return m_f.listener()->client(1) != nullptr; })) {
                dialog->reject();
                return;
            }
        }
        // The snapshot taken when the dialog opened still offers slot 1.
        leftAndCameBack = radio(dialog, 1)->isEnabled();
        answer(dialog, {1, QStringLiteral("for the one who left"), TemplateDialog::IDOK});
    });
    m_f.choose(command);
    QVERIFY(leftAndCameBack);
    QCOMPARE(m_f.listener()->count(), slotRetaken ? 2 : 1);
    QCOMPARE(m_f.receivedByTerminals(QList<QByteArray>(2)), QList<QByteArray>(2));
    QCOMPARE(m_f.platform->openDialogs, 0);
    QCOMPARE(m_f.platform->messages, QStringList {told});
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
    m_f.platform->queueOpenFileName(path);

    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    bool textShown = true;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        textShown = textField(dialog)->isVisible();
        answer(dialog, {slot, QString(), button});
    });
    m_f.choose(FileSend);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!textShown);
    QCOMPARE(m_f.platform->openDialogs, sent ? 1 : 0);

    QList<QByteArray> expected(2);
    if (sent)
        expected[slot] = FrameCodec::fileFrame(quint32(content.size()), 0, content);
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
}

void tst_StationApp::dropTerminal()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(MAX_CLIENTS));
    QTcpSocket newcomer;
    newcomer.connectToHost(QHostAddress::LocalHost, m_f.port);
    QTRY_COMPARE(newcomer.state(), QAbstractSocket::ConnectedState);
    QTest::qWait(50);
    QCOMPARE(m_f.listener()->count(), MAX_CLIENTS);

    bool textShown = true;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        textShown = textField(dialog)->isVisible();
        answer(dialog, {3, QString(), TemplateDialog::IDOK});
    });
    m_f.choose(Drop);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(!textShown);
    // At once: the slot is free and the count tells so.
    QCOMPARE(m_f.listener()->client(3), nullptr);
    QCOMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("9人と接続中")));
    // Not refused unless the operator says so: the waiting connection takes the slot.
    QCOMPARE(m_f.platform->questions, QStringList {CMy2App::barQuestion(3, QHostAddress::LocalHost)});
    QTRY_COMPARE(m_f.station->m_status.bytes(), cp932(QStringLiteral("10人と接続中")));
    QVERIFY(m_f.platform->messages.isEmpty());
}

void tst_StationApp::textToAllTerminals_data()
{
    QTest::addColumn<int>("leaving");
    QTest::newRow("three Terminals") << -1;
    QTest::newRow("one leaves while the dialog is open") << 1;
}

void tst_StationApp::textToAllTerminals()
{
    QFETCH(int, leaving);
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(3));
    bool offered = false;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        offered = allRadio(dialog)->isVisible() && allRadio(dialog)->isEnabled();
        if (leaving >= 0) {
            m_f.terminals.at(leaving)->disconnectFromHost();
            pumpUntil([&] { return m_f.listener()->client(leaving) == nullptr; });
        }
        QTest::mouseClick(allRadio(dialog), Qt::LeftButton);
        textField(dialog)->setText(QStringLiteral("全員へ"));
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id1")), Qt::LeftButton);
    });
    m_f.choose(Send);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(offered);

    QList<QByteArray> expected(3, FrameCodec::textFrame(cp932(QStringLiteral("全員へ"))));
    QList<int> noted {0, 1, 2};
    QStringList told;
    if (leaving >= 0) {
        expected[leaving].clear();
        noted.removeOne(leaving);
        told << QStringLiteral("端末 %1 は接続を切ったため、文字列を送信しませんでした。").arg(leaving);
    }
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    QCOMPARE(m_f.platform->messages, told);
    QCOMPARE(slotsNoting(m_f.station->history(), QStringLiteral("送信: 全員へ")), noted);
}

void tst_StationApp::fileToAllTerminals_data()
{
    QTest::addColumn<int>("leaving");
    QTest::addColumn<bool>("cancelled");
    QTest::newRow("two Terminals") << -1 << false;
    QTest::newRow("cancelled after the first frames") << -1 << true;
    QTest::newRow("one leaves while the file is chosen") << 1 << false;
}

void tst_StationApp::fileToAllTerminals()
{
    QFETCH(int, leaving);
    QFETCH(bool, cancelled);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    const QByteArray content(2 * CHUNK_SIZE + 500, 'd');
    QVERIFY(LinkTest::writeFile(path, content));
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    m_f.platform->queueOpenFileName(path, [&] {
        if (leaving < 0)
            return;
        m_f.terminals.at(leaving)->disconnectFromHost();
        pumpUntil([&] { return m_f.listener()->client(leaving) == nullptr; });
    });
    if (cancelled) {
        // Long enough for the キャンセル to come within the first pauses.
        m_f.platform->realPauseMs = 200;
        m_f.platform->onPause = [this](int) {
            if (m_f.platform->pauses.size() == 1)
                QTimer::singleShot(0, m_f.station.get(), [this] { m_f.platform->progresses[0]->pressCancel(); });
        };
    }
    ModalDialogAnswer answerer([](QDialog *dialog) {
        QTest::mouseClick(allRadio(dialog), Qt::LeftButton);
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id1")), Qt::LeftButton);
    });
    m_f.choose(FileSend);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(m_f.platform->openDialogs, 1);

    const int receivers = leaving < 0 ? 2 : 1;
    const QByteArray frames = fileFrames(content);
    QList<QByteArray> expected(2, cancelled ? frames.left(FRAME_HEADER_SIZE + CHUNK_SIZE) : frames);
    QList<int> noted {0, 1};
    QStringList told;
    if (leaving >= 0) {
        expected[leaving].clear();
        noted.removeOne(leaving);
        told << QStringLiteral("端末 %1 は接続を切ったため、ファイル「data.bin」を送信しませんでした。").arg(leaving);
    }
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    const QString ending = cancelled ? QStringLiteral("の送信をキャンセルしました（1 / 3 チャンク）")
                                     : QStringLiteral("を送信しました（3 / 3 チャンク）");
    QTRY_COMPARE(slotsNoting(m_f.station->history(), QStringLiteral("ファイル「data.bin」（4500 バイト）") + ending), noted);
    // One progress for the whole, closed at the end.
    QCOMPARE(m_f.platform->progresses.size(), 1);
    const auto &progress = *m_f.platform->progresses[0];
    QCOMPARE(progress.maximum, 3 * receivers);
    QCOMPARE(progress.values.last(), cancelled ? receivers : 2 * receivers);
    QVERIFY2(progress.labels.first().startsWith(
                 QStringLiteral("ファイル「data.bin」を %1 に送信しています。\n1 / %2 チャンク送信済み")
                     .arg(leaving < 0 ? QStringLiteral("端末 0、端末 1") : QStringLiteral("端末 0"))
                     .arg(3 * receivers)),
             qPrintable(progress.labels.first()));
    QTRY_VERIFY(!progress.open);
    QTest::qWait(20);
    QCOMPARE(m_f.platform->messages, told);
}

void tst_StationApp::fileDroppedOnATerminalsRow_data()
{
    QTest::addColumn<int>("row"); // -1: below the rows
    QTest::addColumn<int>("files");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("told");
    QTest::newRow("on the second row") << 1 << 1 << true << QString();
    QTest::newRow("below the rows") << -1 << 1 << false << QString();
    QTest::newRow("two files") << 0 << 2 << true << QStringLiteral("一つずつ");
}

void tst_StationApp::fileDroppedOnATerminalsRow()
{
    QFETCH(int, row);
    QFETCH(int, files);
    QFETCH(bool, taken);
    QFETCH(QString, told);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content("a dropped report");
    QList<QUrl> urls;
    for (int i = 0; i < files; ++i) {
        urls << QUrl::fromLocalFile(dir.filePath(QStringLiteral("report%1.txt").arg(i)));
        QVERIFY(LinkTest::writeFile(urls.last().toLocalFile(), content));
    }
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    QTableView *table = nullptr;
    for (auto *view : m_f.station->mainFrame()->findChildren<QTableView *>()) {
        if (view->accessibleName() == QStringLiteral("接続中の端末"))
            table = view;
    }
    QVERIFY(table);
    QTRY_COMPARE(table->model()->rowCount(), 2);
    const QRect last = table->visualRect(table->model()->index(1, 0));
    QTRY_VERIFY(table->viewport()->height() > last.bottom() + 10);
    const QPoint where = row < 0 ? QPoint(last.center().x(), last.bottom() + 8)
                                 : table->visualRect(table->model()->index(row, 0)).center();

    QCOMPARE(dropFiles(table->viewport(), where, urls), taken);
    QList<QByteArray> expected(2);
    if (taken && told.isEmpty())
        expected[row] = FrameCodec::fileFrame(quint32(content.size()), 0, content);
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    if (told.isEmpty()) {
        QVERIFY(m_f.platform->messages.isEmpty());
    } else {
        QCOMPARE(m_f.platform->messages.size(), 1);
        QVERIFY(m_f.platform->messages.first().contains(told));
    }
    QCOMPARE(m_f.platform->openDialogs, 0);
    QCOMPARE(slotsNoting(m_f.station->history(), QStringLiteral("ファイル「report0.txt」（16 バイト）を送信しました（1 / 1 チャンク）")),
             expected[1].isEmpty() ? QList<int>() : QList<int> {1});
}

void tst_StationApp::dropCanRefuseTheAddressForAWhile()
{
    const QHostAddress dropped(QStringLiteral("127.0.0.3"));
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(3));
    QVERIFY(m_f.connectTerminals(1, dropped));
    QVERIFY(m_f.connectTerminals(MAX_CLIENTS - 4));
    QTcpSocket waiting;
    QVERIFY(waiting.bind(dropped));
    waiting.connectToHost(QHostAddress::LocalHost, m_f.port);
    QTRY_COMPARE(waiting.state(), QAbstractSocket::ConnectedState);
    QTest::qWait(50);

    m_f.platform->queueQuestionAnswer(true);
    ModalDialogAnswer answerer([&](QDialog *dialog) { answer(dialog, {3, QString(), TemplateDialog::IDOK}); });
    m_f.choose(Drop);
    QCOMPARE(m_f.platform->questions, QStringList {CMy2App::barQuestion(3, dropped)});
    // The connection that waited from that address is closed, not admitted.
    QTRY_COMPARE(waiting.state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(50);
    QCOMPARE(m_f.listener()->count(), MAX_CLIENTS - 1);
    QCOMPARE(m_f.listener()->client(3), nullptr);
    const HistoryModel &history = m_f.station->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text,
             QStringLiteral("アドレス 127.0.0.3 からの接続を拒否しました（切断した端末のアドレスのため、しばらく受け付けません）"));
    // Other addresses still come in.
    QVERIFY(m_f.connectTerminals(1));
    QCOMPARE(m_f.listener()->count(), MAX_CLIENTS);
}

void tst_StationApp::connectionsCappedPerAddress()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    ModalDialogAnswer answerer([](QDialog *dialog) {
        auto *perAddress = dialog->findChild<QSpinBox *>(QStringLiteral("maxConnectionsPerAddress"));
        // None by default.
        QCOMPARE(perAddress->value(), 0);
        perAddress->setValue(2);
        QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    });
    m_f.choose(Settings);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(StationSettings::load().maxConnectionsPerAddress, 2);
    QTcpSocket third;
    third.connectToHost(QHostAddress::LocalHost, m_f.port);
    QTRY_COMPARE(third.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_f.listener()->count(), 2);
    const HistoryModel &history = m_f.station->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text,
             QStringLiteral("アドレス 127.0.0.1 からの接続を拒否しました（同じアドレスからの接続が設定の上限 2 に達しています）"));
    QVERIFY(m_f.connectTerminals(1, QHostAddress(QStringLiteral("127.0.0.2"))));
    // One that leaves makes room for its address again.
    m_f.terminals.at(0)->disconnectFromHost();
    QTRY_COMPARE(m_f.listener()->count(), 2);
    QVERIFY(m_f.connectTerminals(1));
    QVERIFY(m_f.platform->messages.isEmpty());
}

void tst_StationApp::filesArrivingTogetherOfferedOneAtATime()
{
    QTemporaryDir targets;
    QVERIFY(targets.isValid());
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    QByteArray files;
    QStringList captions;
    for (int length = 1; length <= 10; ++length) {
        files += FrameCodec::fileFrame(quint32(length), 0, QByteArray(length, char('a' + length)));
        captions << QStringLiteral("端末 0 からのファイル（%1 バイト）を保存").arg(length);
    }
    int nested = 0;
    int depth = 0;
    QString queuedShown;
    QByteArray textMeanwhile;
    for (int i = 0; i < 10; ++i) {
        m_f.platform->queueSaveFileName(targets.filePath(QString::number(i + 1)), [&, i] {
            nested = qMax(nested, ++depth);
            if (i == 0) {
                // Frames behind the files are handled while the first dialog is open.
                m_f.sendText(0, QStringLiteral("next"));
                pumpUntil([&] { return m_f.station->m_message.bytes() == "0> next"; });
                textMeanwhile = m_f.station->m_message.bytes();
                queuedShown = m_f.station->m_terminals
                                  ->index(0, ConnectedTerminalsModel::QueuedFilesColumn)
                                  .data()
                                  .toString();
            }
            ScriptedPlatform::spinEvents(10);
            --depth;
        });
    }
    m_f.terminals.at(0)->write(files);
    QTRY_COMPARE(m_f.platform->saveDialogs, 10);
    QCOMPARE(nested, 1);
    QCOMPARE(m_f.platform->saveCaptions, captions);
    QCOMPARE(queuedShown, QStringLiteral("保存待ち 9 件"));
    QCOMPARE(textMeanwhile, QByteArray("0> next"));
    QCOMPARE(m_f.station->queuedFiles(), 0);
    for (int length = 1; length <= 10; ++length)
        QTRY_COMPARE(readFile(targets.filePath(QString::number(length))), QByteArray(length, char('a' + length)));
    QVERIFY(m_f.platform->messages.isEmpty());
}

void tst_StationApp::departedTerminalsFileStillOffered()
{
    QTemporaryDir targets;
    QVERIFY(targets.isValid());
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    const QByteArray second(3 * CHUNK_SIZE + 7, 'q');
    bool slotFreedMeanwhile = false;
    m_f.platform->queueSaveFileName(QString(), [&] {
        // Terminal 1 sends a file and leaves while terminal 0's is being asked for.
        m_f.terminals.at(1)->write(fileFrames(second));
        m_f.terminals.at(1)->disconnectFromHost();
        slotFreedMeanwhile = pumpUntil([&] { return m_f.listener()->client(1) == nullptr; });
    });
    m_f.platform->queueSaveFileName(targets.filePath(QStringLiteral("second")));
    m_f.terminals.at(0)->write(FrameCodec::fileFrame(2, 0, "hi"));
    QTRY_COMPARE(m_f.platform->saveDialogs, 2);
    QVERIFY(slotFreedMeanwhile);
    QCOMPARE(m_f.platform->saveCaptions.last(),
             QStringLiteral("端末 1 からのファイル（%1 バイト）を保存").arg(QLocale(QLocale::Japanese).toString(second.size())));
    QTRY_COMPARE(readFile(targets.filePath(QStringLiteral("second"))), second);
}

void tst_StationApp::receivedTextShownInView()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(2));
    m_f.terminals.at(1)->write(FrameCodec::textFrame(cp932(QStringLiteral("こんにちは"))));
    QTRY_COMPARE(m_f.station->m_message.bytes(), cp932(QStringLiteral("1> こんにちは")));
    QTRY_COMPARE(m_f.station->view()->accessibleDescription(), QStringLiteral("1> こんにちは"));
    QCOMPARE(m_f.station->view()->accessibleName(), QStringLiteral("2人と接続中"));
}

void tst_StationApp::receivedFilesAskUntilDeclinedThrice_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("until a text is sent to it") << false;
    QTest::newRow("not reset by a reconnect") << true;
}

void tst_StationApp::receivedFilesAskUntilDeclinedThrice()
{
    QFETCH(bool, reconnect);
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(4));
    QTcpSocket *terminal = m_f.terminals.at(3).get();

    // Three Save As cancelled in a row: the next files are dropped unasked, told once.
    const QByteArray small = FrameCodec::fileFrame(2, 0, "hi");
    terminal->write(small + small + small + small + small + FrameCodec::textFrame("after"));
    QTRY_COMPARE(m_f.station->m_message.bytes(), QByteArray("3> after"));
    const QStringList told {OperatorApp::declinedFilesMessage(3, QStringLiteral("127.0.0.1"))};
    QTRY_COMPARE(m_f.platform->messages, told);
    QCOMPARE(m_f.platform->saveDialogs, 3);

    if (reconnect) {
        terminal->disconnectFromHost();
        QTRY_COMPARE(m_f.listener()->count(), 3);
        QVERIFY(m_f.connectTerminals(1));
        terminal = m_f.terminals.back().get();
        QCOMPARE(m_f.listener()->client(3)->peerPort(), terminal->localPort());
        terminal->write(small);
        const HistoryModel &history = m_f.station->history();
        QTRY_COMPARE(history.entry(history.rowCount() - 1).text,
                     QStringLiteral("ファイル（2 バイト）を保存せずに捨てました"));
        QCOMPARE(m_f.platform->saveDialogs, 3);
        QTest::qWait(50);
        QCOMPARE(m_f.platform->messages, told);
        return;
    } else {
        ModalDialogAnswer answerer([&](QDialog *dialog) { answer(dialog, {3, QStringLiteral("ok")}); });
        m_f.choose(Send);
        QCOMPARE(answerer.count(), 1);
    }
    terminal->write(small);
    QTRY_COMPARE(m_f.platform->saveDialogs, 4);
    QCOMPARE(m_f.platform->saveCaptions.last(), QStringLiteral("端末 3 からのファイル（2 バイト）を保存"));
    QCOMPARE(m_f.platform->messages.size(), 1);
}

void tst_StationApp::closingDuringFileSendEndsQuietly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("long.bin"));
    const QByteArray content(10 * CHUNK_SIZE, 'x');
    QVERIFY(LinkTest::writeFile(path, content));
    m_f.platform->queueOpenFileName(path);
    m_f.platform->realPauseMs = 1000;
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    ModalDialogAnswer answerer([&](QDialog *dialog) { answer(dialog, {0, QString(), TemplateDialog::IDOK}); });
    m_f.choose(FileSend);
    QVERIFY(m_f.listener()->client(0)->isSendingFile());
    // The window repaints and the command returns while the send goes on.
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(m_f.platform->progresses.size(), 1);

    QTRY_COMPARE(m_f.terminals[0]->bytesAvailable(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));
    m_f.platform->queueQuestionAnswer(true);
    QVERIFY(m_f.station->mainFrame()->close());
    QCOMPARE(m_f.platform->questions,
             QStringList {AppFramework::closeQuestion(
                 {QStringLiteral("接続中の端末 1 台との接続"), QStringLiteral("端末 0 へ送信中のファイル")})});
    m_f.station.reset();
    QVERIFY(!m_f.platform->progresses[0]->open);
    QTest::qWait(100);
    QVERIFY(m_f.platform->messages.isEmpty());
    // The Terminal got whole chunks only, then the end of the connection.
    QTRY_COMPARE(m_f.terminals[0]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_f.terminals[0]->readAll().size(), qint64(FRAME_HEADER_SIZE + CHUNK_SIZE));
}

void tst_StationApp::terminalsGoBeforeTheSerialLineAtExit()
{
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    QStringList gone;
    connect(m_f.listener()->client(0), &QObject::destroyed, this, [&] { gone << QStringLiteral("terminal"); });
    connect(m_f.station->m_pSerialPort, &QObject::destroyed, this, [&] { gone << QStringLiteral("serial line"); });
    m_f.station.reset();
    QCOMPARE(gone, QStringList({QStringLiteral("terminal"), QStringLiteral("serial line")}));
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
    QVERIFY(m_f.remake(device));
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    // RS control strings that reach no line cost their pause and no message.
    m_f.terminals[0]->write(FrameCodec::rsFrame("a") + FrameCodec::rsFrame("b"));
    QTRY_COMPARE(m_f.platform->pauses.size(), 2);
    QTest::qWait(50);
    QCOMPARE(m_f.platform->messages.size(), messages);
    if (messages) {
        QVERIFY(m_f.platform->messages[0].contains(device));
        QVERIFY(m_f.platform->messages[0].contains(QStringLiteral("RSコントロールの文字列は回線に送られません")));
    }
}

void tst_StationApp::deviceAnswersInHistory()
{
    HistoryModel &history = m_f.station->history();
    const int before = history.rowCount();
    QVERIFY(m_f.pty->send("READY\r\n\x1b[1mON\n"));
    QTRY_COMPARE(history.rowCount(), before + 2);
    QCOMPARE(history.entry(before).text, QStringLiteral("装置から: READY"));
    QCOMPARE(history.entry(before).kind, HistoryModel::Kind::DeviceAnswer);
    // Named as no Terminal, and what would act on a terminal shown as its picture.
    QCOMPARE(history.line(before).mid(9), QStringLiteral("装置から: READY"));
    QCOMPARE(history.line(before + 1).mid(9), QStringLiteral("装置から: ␛[1mON"));
}

void tst_StationApp::serialDeviceSetInDialog_data()
{
    QTest::addColumn<bool>("overridden");
    QTest::newRow("chosen in the dialog") << false;
    QTest::newRow("named by TAVRIN2_COM1") << true;
}

void tst_StationApp::serialDeviceSetInDialog()
{
    QFETCH(bool, overridden);
    PtyLine other;
    QVERIFY(other.isValid());
    const QString first = m_f.pty->name();
    if (overridden)
        qputenv("TAVRIN2_COM1", first.toLocal8Bit());
    m_f.station->ports = {{QStringLiteral("ttyTEST"), other.name(), QStringLiteral("試験用の回線")}};
    QString shown;
    bool enabled = false;
    QString hint;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        auto *combo = dialog->findChild<QComboBox *>(QStringLiteral("serialDevice"));
        shown = combo->currentText();
        enabled = combo->isEnabled();
        hint = dialog->findChild<QLabel *>(QStringLiteral("serialDeviceHint"))->text();
        combo->setCurrentIndex(qMax(0, combo->findData(other.name())));
        QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    });
    m_f.choose(Settings);
    qunsetenv("TAVRIN2_COM1");
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(shown, first);
    QCOMPARE(enabled, !overridden);
    QCOMPARE(hint.contains(QStringLiteral("TAVRIN2_COM1")), overridden);

    // Applied at once, or not at all while the variable names the device.
    PtyLine &used = overridden ? *m_f.pty : other;
    PtyLine &unused = overridden ? other : *m_f.pty;
    QCOMPARE(m_f.station->m_pSerialPort->device(), used.name());
    QCOMPARE(QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
                 .value(QStringLiteral("Serial/Device"))
                 .toString(),
             overridden ? QString() : other.name());
    const QString switched = QStringLiteral("シリアルポートを %1 から %2 に切り替えます").arg(first, other.name());
    bool toldSwitch = false;
    for (int row = 0; row < m_f.station->history().rowCount(); ++row)
        toldSwitch |= m_f.station->history().entry(row).text == switched;
    QCOMPARE(toldSwitch, !overridden);
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    m_f.terminals[0]->write(FrameCodec::rsFrame("Q"));
    QByteArray carried;
    QVERIFY(pumpUntil([&] {
        carried += used.drain(10);
        return !carried.isEmpty();
    }));
    QCOMPARE(carried, QByteArray("Q"));
    QCOMPARE(unused.drain(0), QByteArray());
    QCOMPARE(m_f.platform->messages, QStringList());
}

void tst_StationApp::droppedRsOfDeparturesWhileToldSummed()
{
    // Pauses long enough for the closes to be seen while the line is busy.
    m_f.platform->realPauseMs = 200;
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(3));
    int shownWhileOpen = 0;
    m_f.platform->onMessage = [&](const QString &) {
        if (m_f.platform->messages.size() != 1)
            return;
        // Two more leave while the first message is open.
        sendRsAndLeave(1, 3);
        sendRsAndLeave(2, 3);
        pumpUntil([this] { return m_f.listener()->count() == 0; });
        ScriptedPlatform::spinEvents(50);
        shownWhileOpen = int(m_f.platform->messages.size());
    };
    sendRsAndLeave(0, 3);
    QTRY_COMPARE(m_f.platform->messages.size(), 2);
    QCOMPARE(shownWhileOpen, 1);
    QCOMPARE(m_f.platform->messages[0], CMy2App::droppedRsMessage(0, 2));
    QStringList summed = m_f.platform->messages[1].split(QLatin1Char('\n'));
    summed.sort();
    QCOMPARE(summed, QStringList({CMy2App::droppedRsMessage(1, 2), CMy2App::droppedRsMessage(2, 2)}));
    // Each departure told once; the string each had queued still goes out.
    QByteArray line;
    QVERIFY(pumpUntil([&] {
        line += m_f.pty->drain();
        return line.size() >= 3;
    }));
    QTest::qWait(300);
    QCOMPARE(line + m_f.pty->drain(), QByteArray("aaa"));
    QCOMPARE(m_f.platform->messages.size(), 2);
}

void tst_StationApp::allowedAddressesSetInDialog()
{
    // The minute in which a refused address is not told again lasts the test.
    m_f.platform->realPauseMs = 60 * 1000;
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    QVERIFY(m_f.connectTerminals(1, other));

    QStringList messagesWhileOpen;
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        auto *list = dialog->findChild<QPlainTextEdit *>(QStringLiteral("allowedTerminals"));
        auto *ok = dialog->findChild<QPushButton *>();
        list->setPlainText(QStringLiteral("127.0.0.1/32\n10.0.0.0/33"));
        QTest::mouseClick(ok, Qt::LeftButton);
        messagesWhileOpen = m_f.platform->messages;
        list->setPlainText(QStringLiteral("127.0.0.1/32"));
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    m_f.platform->queueQuestionAnswer(true);
    m_f.choose(Settings);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(messagesWhileOpen.size(), 1);
    QVERIFY2(messagesWhileOpen[0].contains(QStringLiteral("2 行目「10.0.0.0/33」")), qPrintable(messagesWhileOpen[0]));
    QCOMPARE(QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
                 .value(QStringLiteral("Security/AllowedTerminals"))
                 .toStringList(),
             QStringList({QStringLiteral("127.0.0.1/32")}));
    // The Terminal the new list leaves out is dropped once the operator agrees.
    QCOMPARE(m_f.platform->questions.size(), 1);
    QVERIFY2(m_f.platform->questions[0].contains(QStringLiteral("端末 1（アドレス 127.0.0.2）")),
             qPrintable(m_f.platform->questions[0]));
    QCOMPARE(m_f.listener()->count(), 1);
    QVERIFY(m_f.listener()->client(0));

    // Refused connections are noted in the history, once a minute per address.
    HistoryModel &history = m_f.station->history();
    const int entries = history.rowCount();
    for (int attempt = 0; attempt < 2; ++attempt) {
        QTcpSocket refused;
        refused.bind(other);
        refused.connectToHost(QHostAddress::LocalHost, m_f.port);
        QVERIFY(pumpUntil([&] { return refused.state() == QAbstractSocket::UnconnectedState; }));
    }
    QCOMPARE(history.rowCount(), entries + 1);
    QCOMPARE(history.entry(entries).text,
             QStringLiteral("アドレス 127.0.0.2 からの接続を拒否しました（許可リストにありません）"));
    QCOMPARE(m_f.platform->pauses, QList<int>({StationNotices::REFUSAL_NOTE_INTERVAL_MS}));
}

void tst_StationApp::listenAddressSetInDialog()
{
    const QHostAddress only(QStringLiteral("127.0.0.2"));
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("listenAddress"))->setText(only.toString());
        QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    });
    m_f.choose(Settings);
    QVERIFY(m_f.start());

    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress::LocalHost, m_f.port);
    QVERIFY(pumpUntil([&] { return elsewhere.state() == QAbstractSocket::UnconnectedState; }));
    QCOMPARE(elsewhere.error(), QAbstractSocket::ConnectionRefusedError);
    QTcpSocket there;
    there.connectToHost(only, m_f.port);
    QVERIFY(pumpUntil([&] { return m_f.listener()->count() == 1; }));
}

void tst_StationApp::settingsDialogReturnsTrimmedSettings()
{
    StationSettings{{QStringLiteral("10.0.0.1")}, QStringLiteral("127.0.0.1")}.store();
    CSettingsDialog dialog(*m_f.platform, StationSettings::load(), {});
    QCOMPARE(dialog.settings(), StationSettings({{QStringLiteral("10.0.0.1")}, QStringLiteral("127.0.0.1")}));
    dialog.findChild<QPlainTextEdit *>(QStringLiteral("allowedTerminals"))
        ->setPlainText(QStringLiteral("  10.0.0.0/8 \n\n fd00::/8\n   "));
    dialog.findChild<QLineEdit *>(QStringLiteral("listenAddress"))->setText(QStringLiteral("  "));
    auto *historyDays = dialog.findChild<QSpinBox *>(QStringLiteral("historyDays"));
    QCOMPARE(historyDays->value(), Journal::DefaultKeptDays);
    historyDays->setValue(0);
    QCOMPARE(historyDays->text(), QStringLiteral("残さない"));
    auto *extension = dialog.findChild<QCheckBox *>(QStringLiteral("extension"));
    QVERIFY(extension->isChecked());
    extension->setChecked(false);
    // A device not listed is typed as its path.
    auto *device = dialog.findChild<QComboBox *>(QStringLiteral("serialDevice"));
    QCOMPARE(device->currentData().toString(), QString::fromLatin1(CSerialPort::FirstSerialPort));
    device->setEditText(QStringLiteral("ttyUSB3"));
    dialog.accept();
    QCOMPARE(m_f.platform->messages.size(), 1);
    QVERIFY2(m_f.platform->messages[0].contains(QStringLiteral("「ttyUSB3」")), qPrintable(m_f.platform->messages[0]));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    device->setEditText(QStringLiteral(" /dev/ttyUSB3 "));
    const StationSettings edited = dialog.settings();
    QVERIFY(!edited.extension);
    QCOMPARE(edited.allowedTerminals, QStringList({QStringLiteral("10.0.0.0/8"), QStringLiteral("fd00::/8")}));
    QCOMPARE(edited.listenAddress, QString());
    QCOMPARE(edited.historyDays, 0);
    QCOMPARE(edited.serialDevice, QStringLiteral("/dev/ttyUSB3"));
    // An empty setting is no setting: the default, every address.
    edited.store();
    QVERIFY(!QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
                 .contains(QStringLiteral("Security/ListenAddress")));
    QCOMPARE(StationSettings::load(), edited);
    QCOMPARE(QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
                 .value(QStringLiteral("Link/Extension")),
             QVariant(false));
}

void tst_StationApp::classicTerminalSeesOnlyTheAnnouncement()
{
    QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"))
        .remove(QString::fromLatin1(OperatorApp::ExtensionKey));
    QVERIFY(m_f.start());
    QVERIFY(m_f.connectTerminals(1));
    m_f.sendText(0, QStringLiteral("classic"));
    QTRY_COMPARE(m_f.station->m_message.bytes(), QByteArray("0> classic"));
    QCOMPARE(m_f.listener()->client(0)->extension(), CConnSocket::Extension::Announced);
    ModalDialogAnswer answerer([](QDialog *dialog) { answer(dialog, {0, QStringLiteral("abc")}); });
    m_f.choose(Send);
    QCOMPARE(answerer.count(), 1);
    const QList<QByteArray> expected {FrameCodec::announcementFrame() + FrameCodec::textFrame("abc")};
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
}

void tst_StationApp::extensionTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("told");
    QTest::newRow("emoji and euro") << QStringLiteral("😀 €5") << QString();
    QTest::newRow("4000 bytes") << QStringLiteral("😀").repeated(1000) << QString();
    QTest::newRow("4002 bytes") << QString(1334, QChar(0x20AC))
                                << TextRule::tooLongUnicodeReason(CMy2App::sendTextName(), 4002);
}

void tst_StationApp::extensionTexts()
{
    QFETCH(QString, text);
    QFETCH(QString, told);
    QVERIFY(m_f.startAgreed(2));
    const HistoryModel &history = m_f.station->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text, OperatorApp::extensionAgreedLine());

    if (told.isEmpty()) {
        m_f.terminals.at(1)->write(FrameCodec::extTextFrame(text.toUtf8()));
        QTRY_COMPARE(m_f.station->view()->messageText(), QStringLiteral("1> ") + text);
        QCOMPARE(history.entry(history.rowCount() - 1).text, QStringLiteral("受信: ") + text);
    }

    QString refusal;
    ModalDialogAnswer answerer([&](QDialog *dialog) { refusal = answer(dialog, {1, text}); });
    m_f.choose(Send);
    QCOMPARE(answerer.count(), 1);
    QList<QByteArray> expected(2);
    if (told.isEmpty())
        expected[1] = FrameCodec::extTextFrame(text.toUtf8());
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    QCOMPARE(refusal, told);
}

void tst_StationApp::extensionTextToEveryTerminal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sent");
    QTest::newRow("each in its own form") << QStringLiteral("こんにちは") << true;
    QTest::newRow("not for the classic one, so for none") << QStringLiteral("😀") << false;
}

void tst_StationApp::extensionTextToEveryTerminal()
{
    QFETCH(QString, text);
    QFETCH(bool, sent);
    QVERIFY(m_f.startAgreed(1));
    // A classic Terminal beside it, which leaves the announcement unanswered.
    QVERIFY(m_f.connectTerminals(1));
    ModalDialogAnswer answerer([&](QDialog *dialog) {
        QTest::mouseClick(allRadio(dialog), Qt::LeftButton);
        textField(dialog)->setText(text);
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("id%1").arg(TemplateDialog::IDOK)),
                          Qt::LeftButton);
    });
    m_f.choose(Send);
    QCOMPARE(answerer.count(), 1);
    QList<QByteArray> expected {QByteArray(), FrameCodec::announcementFrame()};
    if (sent) {
        expected[0] = FrameCodec::extTextFrame(text.toUtf8());
        expected[1] += FrameCodec::textFrame(cp932(text));
    }
    QCOMPARE(m_f.receivedByTerminals(expected), expected);
    QCOMPARE(m_f.platform->messages,
             sent ? QStringList() : QStringList {CMy2App::classicPeersMessage({QStringLiteral("端末 1")})});
}

void tst_StationApp::extensionNamedFiles()
{
    QVERIFY(m_f.startAgreed(1));
    QTcpSocket *terminal = m_f.terminals.at(0).get();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    // From the Terminal: the Save As suggests its name, and the Terminal hears it was saved.
    const QByteArray content(EXT_CHUNK_SIZE + 10, 'r');
    m_f.platform->queueSaveFileName(dir.filePath(QStringLiteral("saved.pdf")));
    terminal->write(FrameCodec::extFileBeginFrame(5, quint64(content.size()), QStringLiteral("report.pdf")));
    terminal->write(FrameCodec::extFileDataFrame(5, 0, content.left(EXT_CHUNK_SIZE)));
    terminal->write(FrameCodec::extFileDataFrame(5, 1, content.mid(EXT_CHUNK_SIZE)));
    const QList<QByteArray> receipt {FrameCodec::extReceiptFrame(5, quint8(FileReceipt::Saved))};
    QCOMPARE(m_f.receivedByTerminals(receipt), receipt);
    QCOMPARE(m_f.platform->saveSuggestions, QStringList {QStringLiteral("report.pdf")});
    QCOMPARE(m_f.platform->saveCaptions, QStringList {QStringLiteral("端末 0 からのファイル「report.pdf」（65,546 バイト）を保存")});
    QCOMPARE(readFile(dir.filePath(QStringLiteral("saved.pdf"))), content);

    // To the Terminal: named. How its receipt is told is the refusal's case below.
    const QString path = dir.filePath(QStringLiteral("plan.txt"));
    QVERIFY(LinkTest::writeFile(path, "the plan"));
    m_f.platform->queueOpenFileName(path);
    ModalDialogAnswer answerer([](QDialog *dialog) { answer(dialog, {0, QString()}); });
    m_f.choose(FileSend);
    QCOMPARE(answerer.count(), 1);
    const QByteArray begin = FrameCodec::extFileBeginFrame(1, 8, QStringLiteral("plan.txt"));
    QVERIFY(pumpUntil([&] { return terminal->bytesAvailable() >= begin.size(); }));
    const QByteArray head = terminal->read(begin.size());
    QCOMPARE(head.mid(FRAME_HEADER_SIZE + 4), begin.mid(FRAME_HEADER_SIZE + 4));
}

void tst_StationApp::extensionFileRefusedForWantOfRoom()
{
    QVERIFY(m_f.startAgreed(1));
    QTcpSocket *terminal = m_f.terminals.at(0).get();
    // The Terminal reads no further than the file's first frame, so that
    // the send is still on its way when the refusal comes.
    terminal->setReadBufferSize(4096);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    const QByteArray content(32 * 1024 * 1024, 'b');
    QVERIFY(LinkTest::writeFile(path, content));
    m_f.platform->queueOpenFileName(path);
    ModalDialogAnswer answerer([](QDialog *dialog) { answer(dialog, {0, QString()}); });
    m_f.choose(FileSend);
    QCOMPARE(answerer.count(), 1);
    QVERIFY(pumpUntil([&] { return terminal->bytesAvailable() >= FRAME_HEADER_SIZE + 4; }));
    const QByteArray head = terminal->read(FRAME_HEADER_SIZE + 4);
    QCOMPARE(quint8(head.at(0)), FRAME_EXT_FILE_BEGIN);
    QVERIFY(m_f.listener()->client(0)->isSendingFile());
    terminal->write(FrameCodec::extReceiptFrame(qFromBigEndian<quint32>(head.constData() + FRAME_HEADER_SIZE),
                                                quint8(FileReceipt::Refused)));
    QTRY_VERIFY(!m_f.listener()->client(0)->isSendingFile());
    const QString line = QStringLiteral("端末 0 が「big.bin」を空き容量が足りず受け取りませんでした");
    QTRY_COMPARE(m_f.platform->messages.size(), 1);
    QVERIFY2(m_f.platform->messages.first().startsWith(line + QStringLiteral("。")), qPrintable(m_f.platform->messages.first()));
    const HistoryModel &history = m_f.station->history();
    QCOMPARE(history.entry(history.rowCount() - 1).text, line + QStringLiteral("（33554432 バイト）"));
    QVERIFY2(history.entry(history.rowCount() - 2).text.contains(QStringLiteral("の送信は相手の空き容量が足りないため中止しました")),
             qPrintable(history.entry(history.rowCount() - 2).text));
    QTest::qWait(50);
    QCOMPARE(m_f.platform->messages.size(), 1);
}

QTEST_MAIN(tst_StationApp)
#include "tst_StationApp.moc"
