#include "Tavrin2.h"

#include "AddressFilter.h"
#include "CSocket.h"
#include "CodePage.h"
#include "ConnectedTerminalsModel.h"
#include "FileSaveSession.h"
#include "FileSendSession.h"
#include "InputDialog1.h"
#include "MainFrm.h"
#include "Platform.h"
#include "SSocket.h"
#include "SettingsDialog.h"
#include "Tavrin2Doc.h"
#include "Tavrin2View.h"

#include <QAbstractButton>
#include <QAction>
#include <QHeaderView>
#include <QSettings>
#include <QTableView>

#include <array>

namespace {
const QString StatusWaiting = QStringLiteral("接続待ち");
const QString StatusConnected = QStringLiteral("人と接続中");
const QString StatusListenFailed = QStringLiteral("待ち受けできません。開始をやり直してください");
const QString AllowedTerminalsKey = QStringLiteral("Security/AllowedTerminals");
const QString ListenAddressKey = QStringLiteral("Security/ListenAddress");

QVariant storedSetting(const QString &key)
{
    return QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2")).value(key);
}

// An empty value removes the key: absent means the default.
template<typename Value>
void storeSetting(const QString &key, const Value &value)
{
    QSettings settings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2"));
    if (value.isEmpty())
        settings.remove(key);
    else
        settings.setValue(key, value);
}

QByteArray cp932(const QString &text)
{
    QByteArray bytes;
    CodePage::encode(text, &bytes);
    return bytes;
}

// A Terminal, as the Station's operator is told of it.
QString terminalName(int slot)
{
    return QStringLiteral("端末 %1 ").arg(slot);
}

QString peerDescription(const CConnSocket *connection)
{
    return QStringLiteral("アドレス %1、ポート %2").arg(connection->peerAddress().toString()).arg(connection->peerPort());
}
}

CMy2App::CMy2App(IPlatform &desktop, const QString &serialDevice, quint16 port)
    : AppFramework(QStringLiteral("Tavrin2"), desktop)
    , m_pSerialPort(std::make_unique<CSerialPort>(serialDevice, &desktop))
    , m_terminals(new ConnectedTerminalsModel(this))
    , m_port(port)
{
    // Told from the event loop: at start-up once the window shows, later
    // outside the socket and timer handlers that found the line broken.
    connect(m_pSerialPort.get(), &CSerialPort::failed, this, [this](const QString &message) {
        record(message);
        this->desktop().messageBoxLater(message);
    });
    connect(m_pSerialPort.get(), &CSerialPort::byteWritten, this, &CMy2App::wroteRs);
    if (!m_pSerialPort->failure().isEmpty()) {
        record(m_pSerialPort->failure());
        desktop.messageBoxLater(m_pSerialPort->failure());
    }
}

CMy2App::~CMy2App()
{
    // The Terminals' sockets go before the serial line and the lines they use.
    delete m_pListenSocket;
}

void CMy2App::addCommands(CMainFrame *frame)
{
    connect(frame->addCommand(QStringLiteral("開始")), &QAction::triggered, this, &CMy2App::OnStart);
    connect(frame->addCommand(QStringLiteral("送信")), &QAction::triggered, this, &CMy2App::OnSend);
    connect(frame->addCommand(QStringLiteral("ファイル送信")), &QAction::triggered, this, &CMy2App::OnFileSend);
    connect(frame->addCommand(QStringLiteral("切断")), &QAction::triggered, this, &CMy2App::OnDropClient);
    connect(frame->addCommand(QStringLiteral("履歴保存")), &QAction::triggered, this, &AppFramework::OnSaveHistory);
    connect(frame->addCommand(QStringLiteral("設定")), &QAction::triggered, this, &CMy2App::OnSettings);
}

void CMy2App::OnStart()
{
    if (!m_pListenSocket)
        createListener();
    if (m_pListenSocket->isListening())
        return;
    const QString listenAddress = storedSetting(ListenAddressKey).toString();
    QHostAddress address(QHostAddress::Any);
    if (!listenAddress.isEmpty() && !address.setAddress(listenAddress)) {
        setStatus(StatusListenFailed);
        desktop().messageBox(QStringLiteral("設定の待ち受けアドレス「%1」が正しいアドレスではないため、待ち受けを始めませんでした。\n"
                                            "「設定」で直してから、開始をやり直してください。")
                                 .arg(listenAddress));
        return;
    }
    m_pListenSocket->setListenAddress(address);
    m_pListenSocket->Listen();
}

void CMy2App::createListener()
{
    m_pListenSocket = new CListenSocket(m_pSerialPort.get(), desktop(), m_port, this);
    connect(m_pListenSocket, &CListenSocket::listening, this, [this] {
        setStatus(StatusWaiting);
        record(QStringLiteral("ポート %1 で待ち受けを始めました").arg(m_pListenSocket->serverPort()));
    });
    connect(m_pListenSocket, &CListenSocket::listenFailed, this, [this] {
        setStatus(StatusListenFailed);
        record(QStringLiteral("ポート %1 で%2").arg(m_port).arg(StatusListenFailed));
    });
    connect(m_pListenSocket, &CListenSocket::countChanged, this,
            [this](int count) { setStatus(QString::number(count) + StatusConnected); });
    connect(m_pListenSocket, &CListenSocket::textReceived, this, &CMy2App::showText);
    connect(m_pListenSocket, &CListenSocket::clientAdmitted, this, &CMy2App::admitted);
    connect(m_pListenSocket, &CListenSocket::clientRemoved, this, &CMy2App::removed);
    connect(m_pListenSocket, &CListenSocket::waitingRsChanged, m_terminals, &ConnectedTerminalsModel::setWaitingRs);
    connect(m_pListenSocket, &CListenSocket::fileReceived, this, &CMy2App::receiveFile);
    connect(m_pListenSocket, &CListenSocket::fileRefused, this, &CMy2App::tellFileRefused);
    connect(m_pListenSocket, &CListenSocket::connectionRefused, this, &CMy2App::tellRefused);
    loadAddressFilter();
}

void CMy2App::loadAddressFilter()
{
    AddressFilter filter;
    QString badEntry;
    if (!filter.setEntries(storedSetting(AllowedTerminalsKey).toStringList(), &badEntry))
        desktop().messageBox(
            QStringLiteral("設定の接続を許可するアドレス「%1」は、アドレスでもアドレスの範囲でもないため、"
                           "どの接続にも当てはまりません。「設定」で直してください。")
                .arg(badEntry));
    m_pListenSocket->setAddressFilter(filter);
}

void CMy2App::OnSend()
{
    sendText(chooseClient(true));
}

void CMy2App::OnSendTo(int slot)
{
    sendText(chooseClient(true, slot));
}

void CMy2App::sendText(const Choice &choice)
{
    if (choice.slot == MAX_CLIENTS)
        return;
    QByteArray bytes;
    if (!CodePage::encode(choice.text, &bytes)) {
        desktop().messageBox(
            QStringLiteral("送信する文字列に Shift_JIS (CP932) で表せない文字「%1」があるため、送信しませんでした。\n"
                           "その文字を除いて、もう一度送信してください。")
                .arg(CodePage::unencodable(choice.text)));
        return;
    }
    if (bytes.size() > MAX_TEXT) {
        desktop().messageBox(QStringLiteral("送信する文字列が長すぎるため、送信しませんでした（%1バイト）。"
                                            "%2バイト以内（全角は1文字2バイト）にして、もう一度送信してください。")
                                 .arg(bytes.size())
                                 .arg(MAX_TEXT));
        return;
    }
    if (stillConnected(choice, QStringLiteral("文字列を送信しませんでした"))
        && m_pListenSocket->SendTextToClient(bytes, choice.slot)) {
        m_declinedFiles[choice.slot] = 0;
        record(QStringLiteral("送信: ") + choice.text, choice.slot);
    }
}

void CMy2App::OnFileSend()
{
    const Choice choice = chooseClient(false);
    if (choice.slot != MAX_CLIENTS && stillConnected(choice, QStringLiteral("ファイルを送信しませんでした"))
        && FileSendSession::begin(desktop(), choice.connection,
                                  [this, slot = choice.slot, peer = m_terminals->peer(choice.slot)](
                                      const QString &line) { history().add(line, slot, peer); }))
        m_declinedFiles[choice.slot] = 0;
}

void CMy2App::OnDropClient()
{
    const Choice choice = chooseClient(false);
    if (choice.slot != MAX_CLIENTS && choice.connection)
        m_pListenSocket->dropClient(choice.slot);
}

void CMy2App::OnSettings()
{
    CSettingsDialog dialog(desktop(), mainFrame());
    dialog.setAllowedTerminals(storedSetting(AllowedTerminalsKey).toStringList());
    dialog.setListenAddress(storedSetting(ListenAddressKey).toString());
    if (dialog.exec() != QDialog::Accepted)
        return;
    storeSetting(AllowedTerminalsKey, dialog.allowedTerminals());
    storeSetting(ListenAddressKey, dialog.listenAddress());
    if (!m_pListenSocket)
        return;
    loadAddressFilter();
    offerToDropExcluded();
}

void CMy2App::offerToDropExcluded()
{
    const AddressFilter &filter = m_pListenSocket->addressFilter();
    std::array<QPointer<CConnSocket>, MAX_CLIENTS> excluded;
    QStringList names;
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        CConnSocket *connection = m_pListenSocket->client(slot);
        if (!connection || !connection->isOpen() || filter.admits(connection->peerAddress()))
            continue;
        excluded[slot] = connection;
        names.append(QStringLiteral("端末 %1（アドレス %2）")
                         .arg(slot)
                         .arg(AddressFilter::unmapped(connection->peerAddress()).toString()));
    }
    if (names.isEmpty()
        || !desktop().question(QStringLiteral("接続を許可するアドレスにない端末が接続しています。\n%1\n\n"
                                              "これらの端末を切断しますか？")
                                   .arg(names.join(QLatin1Char('\n')))))
        return;
    // The question box let the table change: a slot that changed hands is left alone.
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (excluded[slot] && m_pListenSocket->client(slot) == excluded[slot])
            m_pListenSocket->dropClient(slot);
    }
}

void CMy2App::tellRefused(const QHostAddress &address)
{
    if (m_refusalsTold.contains(address))
        return;
    m_refusalsTold.insert(address);
    desktop().singleShot(REFUSAL_NOTE_INTERVAL_MS, this, [this, address] { m_refusalsTold.remove(address); });
    record(QStringLiteral("アドレス %1 からの接続を拒否しました（許可リストにありません）").arg(address.toString()));
}

bool CMy2App::stillConnected(const Choice &choice, const QString &what)
{
    if (choice.connection && m_pListenSocket->client(choice.slot) == choice.connection && choice.connection->isOpen())
        return true;
    desktop().messageBox(QStringLiteral("端末 %1 は接続を切ったため、%2。")
                             .arg(choice.slot)
                             .arg(what));
    return false;
}

StatusView *CMy2App::createView(QWidget *parent)
{
    return new CMy2View(&m_status, &m_message, parent);
}

QWidget *CMy2App::createPanel(QWidget *parent)
{
    auto *table = new QTableView(parent);
    table->setAccessibleName(QStringLiteral("接続中の端末"));
    table->setModel(m_terminals);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    // Double-click or Enter on a row.
    connect(table, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { OnSendTo(m_terminals->slotAt(index.row())); });
    return table;
}

EmptyDocument *CMy2App::createDocument()
{
    return new CMy2Doc;
}

CMy2App::Choice CMy2App::chooseClient(bool withText, int preselected)
{
    if (!m_pListenSocket || m_pListenSocket->count() == 0)
        return {};

    CInputDialog dialog(mainFrame());
    dialog.m_withText = withText;
    // Which Terminal each slot held when the dialog opened: a slot that
    // changes hands meanwhile is not the Terminal the operator chose. A
    // Terminal that is leaving is not offered.
    std::array<QPointer<CConnSocket>, MAX_CLIENTS> shown;
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        CConnSocket *connection = m_pListenSocket->client(slot);
        if (!connection || !connection->isOpen())
            continue;
        shown[slot] = connection;
        dialog.m_slotUsed[slot] = 1;
        dialog.m_slotPeer[slot] = peerDescription(connection);
        if (slot == preselected)
            static_cast<QAbstractButton *>(dialog.control(CInputDialog::IDC_SLOT0 + slot))->setChecked(true);
    }
    if (dialog.DoModal() != TemplateDialog::IDOK || dialog.m_nSelected == MAX_CLIENTS)
        return {};
    return {dialog.m_nSelected, shown[dialog.m_nSelected], dialog.m_text};
}

void CMy2App::setStatus(const QString &text)
{
    m_status.set(cp932(text));
    Redraw();
}

void CMy2App::showText(int slot, const QByteArray &text)
{
    // The line cuts a text too long for it, never inside a character.
    m_message.set(QByteArray::number(slot) + "> " + text);
    Redraw();
    const QString decoded = CodePage::decode(text);
    record(QStringLiteral("受信: ") + decoded, slot);
    callForAttention(QStringLiteral("端末 %1: %2").arg(slot).arg(decoded.left(60)));
}

void CMy2App::admitted(int slot)
{
    m_declinedFiles[slot] = 0;
    m_terminals->admit(slot, m_pListenSocket->client(slot));
    record(QStringLiteral("接続しました"), slot);
}

void CMy2App::removed(int slot, int droppedRs)
{
    record(QStringLiteral("切断しました"), slot);
    noteDroppedRs(slot, droppedRs);
    m_terminals->remove(slot);
}

void CMy2App::wroteRs(const QByteArray &byte, QObject *requester)
{
    const int slot = requester && m_pListenSocket ? m_pListenSocket->slotOf(requester) : -1;
    record(QStringLiteral("RSコントロール %1 を回線に送信しました").arg(QString::fromLatin1(byte.toHex().toUpper())), slot);
}

void CMy2App::record(const QString &text, int slot)
{
    history().add(text, slot, slot >= 0 ? m_terminals->peer(slot) : QString());
}

void CMy2App::noteDroppedRs(int slot, int dropped)
{
    if (dropped == 0)
        return;
    m_droppedRsNotes.append(QStringLiteral("端末 %1 が切断前に送ったRSコントロールの文字列 %2 件を回線に送らずに破棄しました")
                                .arg(slot)
                                .arg(dropped));
    record(m_droppedRsNotes.last(), slot);
    QMetaObject::invokeMethod(this, &CMy2App::tellDroppedRs, Qt::QueuedConnection);
}

// One message box at a time: departures while it is open are told together
// once it is closed.
void CMy2App::tellDroppedRs()
{
    if (m_droppedRsShowing || m_droppedRsNotes.isEmpty())
        return;
    const QString text = m_droppedRsNotes.join(QLatin1Char('\n'));
    m_droppedRsNotes.clear();
    m_droppedRsShowing = true;
    desktop().messageBox(text);
    m_droppedRsShowing = false;
    tellDroppedRs();
}

void CMy2App::receiveFile(int slot, CConnSocket *connection, const ReceivedFile &file)
{
    callForAttention(QStringLiteral("ファイルを受信しました"));
    // A Terminal whose files the operator keeps declining, or that keeps
    // sending broken ones, cannot raise one dialog after another.
    if (m_declinedFiles[slot] >= MAX_DECLINED_FILES) {
        record(QStringLiteral("ファイル（%1 バイト）を受信しましたが、保存せずに捨てました").arg(file.length), slot);
        if (m_declinedFiles[slot]++ == MAX_DECLINED_FILES)
            desktop().messageBoxLater(
                QStringLiteral("端末 %1 からのファイルを %2 回続けて保存しなかったため、この端末からのファイルは"
                               "これから保存せずに捨てます。その端末に何か送るか、端末が接続し直すと、また保存先を尋ねます。")
                    .arg(slot)
                    .arg(MAX_DECLINED_FILES));
        return;
    }
    const QString peer = m_terminals->peer(slot);
    const auto outcome = FileSaveSession::offer(desktop(), connection, file, terminalName(slot),
                                                [this, slot, peer](const QString &line) { history().add(line, slot, peer); });
    if (outcome == FileSaveSession::Outcome::Saving)
        m_declinedFiles[slot] = 0;
    else
        ++m_declinedFiles[slot];
}

void CMy2App::tellFileRefused(int slot, quint32 length, qint64 available)
{
    FileSaveSession::tellRefused(desktop(), terminalName(slot), length, available);
}
