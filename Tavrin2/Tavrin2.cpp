#include "Tavrin2.h"

#include "AddressFilter.h"
#include "CSocket.h"
#include "ConnectedTerminalsModel.h"
#include "FileDrop.h"
#include "FileSendSession.h"
#include "InputDialog1.h"
#include "MainFrm.h"
#include "Platform.h"
#include "SSocket.h"
#include "SettingsDialog.h"
#include "SocketErrorText.h"
#include "StationNotices.h"
#include "StationSettings.h"
#include "Tavrin2Doc.h"
#include "Tavrin2View.h"

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QHeaderView>
#include <QTableView>

#include <array>

namespace {
const QString StatusWaiting = QStringLiteral("接続待ち");
const QString StatusConnected = QStringLiteral("人と接続中");
const QString StatusListenFailed = QStringLiteral("待ち受けできません。開始をやり直してください");
QString peerDescription(const CConnSocket *connection)
{
    return QStringLiteral("アドレス %1、ポート %2").arg(connection->peerAddress().toString()).arg(connection->peerPort());
}

QString deviceName(const QString &device)
{
    return device == QLatin1String(CSerialPort::NoDevice) ? QStringLiteral("なし") : device;
}
}

CMy2App::CMy2App(IPlatform &desktop, const QString &serialDevice, quint16 port)
    : OperatorApp(QStringLiteral("Tavrin2"), desktop, 52, FilesOfGonePeer::Offer)
    , m_terminals(new ConnectedTerminalsModel(this))
    , m_port(port)
    , m_listenerOwner(new QObject(this))
    , m_notices(new StationNotices(desktop, this))
{
    connect(this, &OperatorApp::queuedFilesChanged, m_terminals, &ConnectedTerminalsModel::setQueuedFiles);
    m_pSerialPort = new CSerialPort(serialDevice, &desktop, this);
    // Told from the event loop: at start-up once the window shows, later
    // outside the socket and timer handlers that found the line broken.
    connect(m_pSerialPort, &CSerialPort::failed, this, [this](const QString &message) {
        record(message);
        tellFolded(QStringLiteral("serial line"), message);
    });
    connect(m_pSerialPort, &CSerialPort::stalledChanged, this, &CMy2App::lineStalled);
    connect(m_pSerialPort, &CSerialPort::byteWritten, this, &CMy2App::wroteRs);
    connect(m_pSerialPort, &CSerialPort::answered, this, [this](const QByteArray &answer) {
        record(DeviceAnswers::shown(answer), -1, HistoryModel::Kind::DeviceAnswer);
    });
    if (!m_pSerialPort->failure().isEmpty()) {
        record(m_pSerialPort->failure());
        desktop.messageBoxLater(m_pSerialPort->failure());
    }
}

QString CMy2App::configuredSerialDevice()
{
    return CSerialPort::defaultDevice(StationSettings::load().serialDevice);
}

QList<SerialPortName> CMy2App::serialPorts() const
{
    return CSerialPort::availablePorts();
}

void CMy2App::addCommands(CMainFrame *frame)
{
    addLinkCommands(frame);
    addCommandItems<CMy2App>(frame, this, {{QStringLiteral("切断"), &CMy2App::OnDropClient}});
    addHistoryCommand(frame);
    addCommandItems<CMy2App>(frame, this, {{QStringLiteral("設定"), &CMy2App::OnSettings}});
    frame->describeCommands({{QStringLiteral("開始"), QStringLiteral("Terminal の接続を待ち受けます")},
                             {QStringLiteral("送信"), QStringLiteral("選んだ Terminal にテキストを送ります")},
                             {QStringLiteral("ファイル送信"), QStringLiteral("選んだ Terminal にファイルを送ります")},
                             {QStringLiteral("切断"), QStringLiteral("選んだ Terminal との接続を切ります")},
                             {QStringLiteral("履歴保存"), QStringLiteral("履歴をテキストファイルに保存します")},
                             {QStringLiteral("設定"),
                              QStringLiteral("接続を許可するアドレス、待ち受けるアドレス、シリアルポートなどを設定します")}});
}

void CMy2App::OnStart()
{
    if (!m_pListenSocket)
        createListener();
    if (m_pListenSocket->isListening())
        return;
    const QString listenAddress = StationSettings::load().listenAddress;
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
    m_pListenSocket = new CListenSocket(m_pSerialPort, desktop(), m_port, m_listenerOwner);
    connect(m_pListenSocket, &CListenSocket::listening, this, [this] {
        setStatus(StatusWaiting);
        record(QStringLiteral("ポート %1 で待ち受けを始めました").arg(m_pListenSocket->serverPort()));
    });
    connect(m_pListenSocket, &CListenSocket::listenFailed, this, &CMy2App::listenFailed);
    connect(m_pListenSocket, &CListenSocket::countChanged, this,
            [this](int count) { setStatus(QString::number(count) + StatusConnected); });
    connect(m_pListenSocket, &CListenSocket::textReceived, this,
            [this](int slot, const QByteArray &text) { showText(text, slot); });
    connect(m_pListenSocket, &CListenSocket::clientAdmitted, this, &CMy2App::admitted);
    connect(m_pListenSocket, &CListenSocket::clientRemoved, this, &CMy2App::removed);
    connect(m_pListenSocket, &CListenSocket::waitingRsChanged, m_terminals, &ConnectedTerminalsModel::setWaitingRs);
    connect(m_pListenSocket, &CListenSocket::fileReceived, this,
            [this](int slot, CConnSocket *connection, const ReceivedFile &file) { receiveFile(connection, file, slot); });
    connect(m_pListenSocket, &CListenSocket::fileRefused, this, &CMy2App::tellFileRefused);
    connect(m_pListenSocket, &CListenSocket::connectionRefused, this, &CMy2App::tellRefused);
    loadAddressFilter();
}

void CMy2App::listenFailed(QAbstractSocket::SocketError error, const QString &systemText)
{
    QString status;
    QString message;
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        status = QStringLiteral("ポート %1 は使用中で待ち受けできません").arg(m_port);
        message = QStringLiteral("他のプログラムがポート %1 を使用中です。そのプログラムを終了してから、開始をやり直してください")
                      .arg(m_port);
        break;
    case QAbstractSocket::SocketAccessError:
        status = QStringLiteral("ポート %1 で待ち受ける権限がありません").arg(m_port);
        message = QStringLiteral("ポート %1 で待ち受ける権限がありません。root で起動するか、"
                                 "「setcap cap_net_bind_service=+ep %2」を実行するか、パッケージからインストールしてから、"
                                 "開始をやり直してください")
                      .arg(m_port)
                      .arg(QCoreApplication::applicationFilePath());
        break;
    case QAbstractSocket::SocketAddressNotAvailableError:
        status = QStringLiteral("待ち受けアドレスがこのコンピューターにありません");
        message = QStringLiteral("設定の待ち受けアドレス %1 はこのコンピューターのアドレスではありません。"
                                 "「設定」で直してから、開始をやり直してください")
                      .arg(m_pListenSocket->listenAddress().toString());
        break;
    default:
        status = StatusListenFailed;
        message = QStringLiteral("ポート %1 で待ち受けできません（%2）。開始をやり直してください")
                      .arg(m_port)
                      .arg(SocketErrorText::describe(error, systemText));
        break;
    }
    setStatus(status);
    record(message);
    tellFolded(QStringLiteral("listen"), message);
}

void CMy2App::loadAddressFilter()
{
    AddressFilter filter;
    QString badEntry;
    if (!filter.setEntries(StationSettings::load().allowedTerminals, &badEntry))
        desktop().messageBox(
            QStringLiteral("設定の接続を許可するアドレス「%1」は、アドレスでもアドレスの範囲でもないため、"
                           "どの接続にも当てはまりません。「設定」で直してください。")
                .arg(badEntry));
    m_pListenSocket->setAddressFilter(filter);
    m_pListenSocket->setMaxConnectionsPerAddress(StationSettings::load().maxConnectionsPerAddress);
}

void CMy2App::OnSend()
{
    sendText(chooseClient(true, true));
}

void CMy2App::OnSendTo(int slot)
{
    sendText(chooseClient(true, true, slot));
}

void CMy2App::sendText(const Choice &choice)
{
    if (choice.targets.isEmpty())
        return;
    QByteArray bytes;
    if (!wireText(choice.text, sendTextName(), MAX_TEXT, &bytes))
        return;
    // One frame for each Terminal.
    for (const Target &target : stillConnected(choice.targets, QStringLiteral("文字列を送信しませんでした"))) {
        if (m_pListenSocket->SendTextToClient(bytes, target.slot)) {
            resetDeclinedFiles(target.connection);
            record(QStringLiteral("送信: ") + choice.text, target.slot);
        }
    }
}

void CMy2App::OnFileSend()
{
    const Choice choice = chooseClient(false, true);
    if (choice.targets.isEmpty())
        return;
    // Every Terminal offered goes to the session, which tells of those gone once the file is chosen.
    sendFile(choice.everyone ? choice.targets : stillConnected(choice.targets, QStringLiteral("ファイルを送信しませんでした")),
             choice.everyone);
}

void CMy2App::sendFile(const QList<Target> &targets, bool everyone, const QString &path)
{
    if (targets.isEmpty())
        return;
    FileSendSession *session;
    if (everyone) {
        QList<QPointer<CConnSocket>> connections;
        QStringList names;
        for (const Target &target : targets) {
            connections.append(target.connection);
            names.append(senderName(target.slot).trimmed());
        }
        session = new FileSendSession(desktop(), connections, names, this);
    } else {
        session = new FileSendSession(desktop(), targets.first().connection);
    }
    QList<std::pair<int, QString>> recipients;
    for (const Target &target : targets)
        recipients.append({target.slot, peerOf(target.slot)});
    connect(session, &FileSendSession::recorded, this, [this, recipients](int index, const QString &line) {
        history().add(line, recipients.at(index).first, recipients.at(index).second);
    });
    if (!(path.isEmpty() ? session->begin() : session->begin(path)))
        return;
    for (const Target &target : targets) {
        if (target.connection && target.connection->isOpen())
            resetDeclinedFiles(target.connection);
    }
}

void CMy2App::fileDropped(const QString &path, const Target &target)
{
    if (!m_pListenSocket)
        return;
    sendFile(stillConnected({target}, QStringLiteral("ファイルを送信しませんでした")), false, path);
}

void CMy2App::OnDropClient()
{
    const Choice choice = chooseClient(false, false);
    if (choice.targets.isEmpty() || !choice.targets.first().connection)
        return;
    const Target &target = choice.targets.first();
    const QHostAddress address = AddressFilter::unmapped(target.connection->peerAddress());
    // Asked before the drop, so that a connection waiting at a full table
    // cannot take the slot while the question is open.
    const bool bar = desktop().question(barQuestion(target.slot, address));
    if (bar) {
        m_pListenSocket->barAddress(address, DROPPED_BAR_MS);
        record(QStringLiteral("アドレス %1 からの接続を %2 分のあいだ拒否します")
                   .arg(address.toString())
                   .arg(DROPPED_BAR_MS / 60000),
               target.slot);
    }
    if (target.connection && m_pListenSocket->client(target.slot) == target.connection)
        m_pListenSocket->dropClient(target.slot);
}

QString CMy2App::barQuestion(int slot, const QHostAddress &address)
{
    return QStringLiteral("端末 %1 を切断します。\nこの端末のアドレス %2 からの接続を、これから %3 分のあいだ拒否しますか？\n"
                          "（同じアドレスの他の端末も接続できなくなります）")
        .arg(slot)
        .arg(address.toString())
        .arg(DROPPED_BAR_MS / 60000);
}

void CMy2App::OnSettings()
{
    StationSettings current = StationSettings::load();
    const bool overridden = !CSerialPort::overridingDevice().isEmpty();
    if (!overridden)
        current.serialDevice = m_pSerialPort->device();
    CSettingsDialog dialog(desktop(), current, overridden ? QList<SerialPortName>() : serialPorts(), mainFrame());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const StationSettings chosen = dialog.settings();
    chosen.store();
    if (!overridden && chosen.serialDevice != m_pSerialPort->device())
        switchSerialDevice(chosen.serialDevice);
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

void CMy2App::tellRefused(const QHostAddress &address, FilteringServer::Refusal why)
{
    if (!m_notices->takeRefusal(address))
        return;
    QString reason;
    switch (why) {
    case FilteringServer::Refusal::NotAllowed:
        reason = QStringLiteral("許可リストにありません");
        break;
    case FilteringServer::Refusal::TooMany:
        reason = QStringLiteral("同じアドレスからの接続が設定の上限 %1 に達しています")
                     .arg(m_pListenSocket->maxConnectionsPerAddress());
        break;
    case FilteringServer::Refusal::Barred:
        reason = QStringLiteral("切断した端末のアドレスのため、しばらく受け付けません");
        break;
    }
    record(QStringLiteral("アドレス %1 からの接続を拒否しました（%2）").arg(address.toString(), reason), -1,
           HistoryModel::Kind::Refusal);
}

QList<CMy2App::Target> CMy2App::stillConnected(const QList<Target> &targets, const QString &what)
{
    QList<Target> connected;
    QStringList gone;
    for (const Target &target : targets) {
        if (target.connection && m_pListenSocket->client(target.slot) == target.connection
            && target.connection->isOpen())
            connected.append(target);
        else
            gone.append(senderName(target.slot).trimmed());
    }
    if (!gone.isEmpty())
        desktop().messageBox(QStringLiteral("%1 は接続を切ったため、%2。").arg(gone.join(QStringLiteral("、")), what));
    return connected;
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
    auto *drop = new FileDrop(table);
    // The Terminal is taken at once, while the row still means it; the send
    // starts from the event loop, not inside the drop.
    connect(drop, &FileDrop::dropped, this, [this](const QString &path, int row) {
        const int slot = m_terminals->slotAt(row);
        const Target target {slot, m_pListenSocket ? m_pListenSocket->client(slot) : nullptr};
        QMetaObject::invokeMethod(this, [this, path, target] { fileDropped(path, target); }, Qt::QueuedConnection);
    });
    connect(drop, &FileDrop::refused, this, [this](const QString &message) { desktop().messageBoxLater(message); });
    return table;
}

EmptyDocument *CMy2App::createDocument()
{
    return new CMy2Doc;
}

QStringList CMy2App::closeLosses() const
{
    QStringList losses;
    int connected = 0;
    QStringList sending;
    for (int slot = 0; m_pListenSocket && slot < MAX_CLIENTS; ++slot) {
        const CConnSocket *connection = m_pListenSocket->client(slot);
        if (!connection || !connection->isOpen())
            continue;
        ++connected;
        if (connection->isSendingFile())
            sending.append(QStringLiteral("端末 %1 へ送信中のファイル").arg(slot));
    }
    if (connected > 0)
        losses.append(QStringLiteral("接続中の端末 %1 台との接続").arg(connected));
    return losses + sending + OperatorApp::closeLosses();
}

CMy2App::Choice CMy2App::chooseClient(bool withText, bool offerAll, int preselected)
{
    if (!m_pListenSocket || m_pListenSocket->count() == 0)
        return {};

    CInputDialog dialog(mainFrame());
    dialog.m_withText = withText;
    dialog.m_offerAll = offerAll;
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
    Choice choice {{}, dialog.m_text, dialog.m_nSelected == CInputDialog::ALL_SLOTS};
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        if (dialog.m_slotUsed[slot] != 0 && (choice.everyone || slot == dialog.m_nSelected))
            choice.targets.append({slot, shown[slot]});
    }
    return choice;
}

void CMy2App::admitted(int slot)
{
    m_terminals->admit(slot, m_pListenSocket->client(slot));
    record(QStringLiteral("接続しました"), slot);
}

void CMy2App::removed(int slot, int droppedRs)
{
    record(QStringLiteral("切断しました"), slot);
    if (droppedRs > 0) {
        record(droppedRsMessage(slot, droppedRs), slot);
        tellFolded(QStringLiteral("dropped rs"), droppedRsMessage(slot, droppedRs));
    }
    m_terminals->remove(slot);
}

void CMy2App::wroteRs(const QByteArray &byte, QObject *requester)
{
    const int slot = requester && m_pListenSocket ? m_pListenSocket->slotOf(requester) : -1;
    record(QStringLiteral("RSコントロール %1 を回線に送信しました").arg(QString::fromLatin1(byte.toHex().toUpper())), slot);
}

void CMy2App::switchSerialDevice(const QString &device)
{
    record(QStringLiteral("シリアルポートを %1 から %2 に切り替えます")
               .arg(deviceName(m_pSerialPort->device()), deviceName(device)));
    m_pSerialPort->setDevice(device);
}

void CMy2App::lineStalled(bool stalled)
{
    // A line given up or switched to none takes nothing again.
    if (stalled || !m_pSerialPort->isOpen())
        return;
    quint64 waiting = 0;
    for (int slot = 0; m_pListenSocket && slot < MAX_CLIENTS; ++slot)
        waiting += m_pListenSocket->waitingRs(slot);
    record(QStringLiteral("シリアルポートの回線がまた文字を受け取るようになりました。"
                          "待たせていたRSコントロールの文字列 %1 件を順に送ります")
               .arg(waiting));
}

QString CMy2App::peerOf(int slot) const
{
    return slot >= 0 ? m_terminals->peer(slot) : QString();
}

QString CMy2App::droppedRsMessage(int slot, int dropped)
{
    return QStringLiteral("端末 %1 が切断前に送ったRSコントロールの文字列 %2 件を回線に送らずに破棄しました")
        .arg(slot)
        .arg(dropped);
}
