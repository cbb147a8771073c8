#include "Tavrin.h"

#include "CSocket.h"
#include "FileDrop.h"
#include "FileSendSession.h"
#include "InputDialog1.h"
#include "MainFrm.h"
#include "Platform.h"
#include "SocketErrorText.h"
#include "StationPrompt.h"
#include "TavrinDoc.h"
#include "TavrinView.h"
#include "TerminalSettings.h"
#include "TerminalSettingsDialog.h"

#include <QAction>
#include <QTcpSocket>

namespace {
const QString StatusConnecting = QStringLiteral("接続しています…");
const QString StatusConnected = QStringLiteral("接続中");
const QString StatusWaiting = QStringLiteral("接続待ち");
const QString StatusConnectFailed = QStringLiteral("接続できませんでした。開始をやり直してください");
}

const char *const CMyApp::DefaultStationAddress = "127.0.0.1";

CMyApp::CMyApp(IPlatform &desktop, quint16 stationPort)
    : OperatorApp(QStringLiteral("Tavrin"), desktop, 50, FilesOfGonePeer::Drop)
    , m_stationPort(stationPort)
{
    // What is still pending must not start after the window has gone.
    connect(this, &AppFramework::closing, this, &CMyApp::stopReconnecting);
}

void CMyApp::addCommands(CMainFrame *frame)
{
    addLinkCommands(frame);
    addCommandItems<CMyApp>(frame, this,
                            {{QStringLiteral("接続終了"), &CMyApp::OnDisconnect},
                             {QStringLiteral("RSコントロール"), &CMyApp::OnRsControl},
                             {QStringLiteral("設定"), &CMyApp::OnSettings}});
    addHistoryCommand(frame);
    addCommandItems<CMyApp>(frame, this, {{QStringLiteral("終了"), &CMyApp::OnExit}});
    frame->describeCommands({{QStringLiteral("開始"), QStringLiteral("Station のアドレスを入力して接続します")},
                             {QStringLiteral("送信"), QStringLiteral("Station にテキストを送ります")},
                             {QStringLiteral("ファイル送信"), QStringLiteral("Station にファイルを送ります")},
                             {QStringLiteral("接続終了"), QStringLiteral("Station との接続を終えます")},
                             {QStringLiteral("RSコントロール"),
                              QStringLiteral("Station のシリアル回線へ RS コントロール文字列を送ります")},
                             {QStringLiteral("設定"), QStringLiteral("再接続、拡張機能、履歴を残す日数を設定します")},
                             {QStringLiteral("履歴保存"), QStringLiteral("履歴をテキストファイルに保存します")},
                             {QStringLiteral("終了"), QStringLiteral("Tavrin を終了します")}});
    // A file dropped on the window is ファイル送信 without the Open dialog,
    // started from the event loop rather than inside the drop.
    auto *drop = new FileDrop(frame);
    connect(drop, &FileDrop::dropped, this, [this](const QString &path) {
        QMetaObject::invokeMethod(this, [this, path] { sendFile(path); }, Qt::QueuedConnection);
    });
    connect(drop, &FileDrop::refused, this, [this](const QString &message) { desktop().messageBoxLater(message); });
}

StatusView *CMyApp::createView(QWidget *parent)
{
    return new CMyView(&m_status, &m_message, parent);
}

EmptyDocument *CMyApp::createDocument()
{
    return new CMyDoc;
}

void CMyApp::OnStart()
{
    if (m_state == State::WaitingToReconnect) {
        reconnectNow();
        return;
    }
    if (m_pSocket)
        return;
    QStringList stations = TerminalSettings::recentStations();
    if (stations.isEmpty())
        stations.append(QString::fromLatin1(DefaultStationAddress));
    CStationPrompt dialog(stations, mainFrame());
    dialog.m_prompt = QStringLiteral("IPアドレス入力してください");
    dialog.m_text = stations.first();
    if (dialog.DoModal() != TemplateDialog::IDOK)
        return;
    connectTo(dialog.m_text, State::Connecting);
}

void CMyApp::connectTo(const QString &address, State attempt)
{
    m_station = address;
    // Stored before connecting so that a second Start cannot open another.
    CConnSocket *socket = new CConnSocket(desktop(), this);
    m_pSocket = socket;
    connect(socket, &CConnSocket::stateChanged, this, [this, socket] { onStateChanged(socket); });
    connect(socket, &CConnSocket::connectFailed, this,
            [this, socket](QAbstractSocket::SocketError error) { onConnectFailed(socket, error); });
    connect(socket, &CConnSocket::textReceived, this, [this](const QByteArray &text) { showText(text); });
    connect(socket, &CConnSocket::fileReceived, this,
            [this, socket](const ReceivedFile &file) { receiveFile(socket, file); });
    connect(socket, &CConnSocket::fileRefused, this,
            [this](quint64 length, qint64 available) { tellFileRefused(-1, length, available); });
    setState(attempt);
    if (attempt == State::Connecting)
        setStatus(StatusConnecting);
    socket->connectToStation(address, m_stationPort);
}

bool CMyApp::askText(const QString &promptText, const QString &what, QString *text, QByteArray *bytes)
{
    if (m_state == State::NotConnected || !readyToSend() || !prompt(promptText, text))
        return false;
    // The Station may have closed the connection while the dialog was open.
    return wireText(*text, what, MAX_TERMINAL_TEXT, bytes) && readyToSend();
}

void CMyApp::OnSend()
{
    QString text;
    QByteArray bytes;
    if (!askText(QStringLiteral("送る文字列を入力してください"), sendTextName(), &text, &bytes))
        return;
    m_pSocket->SendText(bytes);
    resetDeclinedFiles(m_pSocket);
    record(QStringLiteral("送信: ") + text);
}

void CMyApp::OnFileSend()
{
    sendFile(QString());
}

void CMyApp::sendFile(const QString &path)
{
    if (m_state == State::NotConnected || !readyToSend())
        return;
    auto *session = new FileSendSession(desktop(), m_pSocket);
    connect(session, &FileSendSession::recorded, this, [this](int, const QString &line) { record(line); });
    if (path.isEmpty() ? session->begin() : session->begin(path))
        resetDeclinedFiles(m_pSocket);
}

void CMyApp::OnRsControl()
{
    QString text;
    QByteArray bytes;
    if (!askText(QStringLiteral("RSコントロールの文字列を入力してください（先頭の1バイトが回線に送られます）"),
                 rsTextName(), &text, &bytes))
        return;
    m_pSocket->sendFrame(FrameCodec::rsFrame(bytes));
    resetDeclinedFiles(m_pSocket);
    record(QStringLiteral("RSコントロール送信: ") + text);
}

void CMyApp::OnSettings()
{
    CTerminalSettingsDialog dialog(TerminalSettings::load(), mainFrame());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const TerminalSettings settings = dialog.settings();
    settings.store();
    if (!settings.reconnect && (m_state == State::WaitingToReconnect || m_state == State::Reconnecting)) {
        record(QStringLiteral("再接続をやめました"));
        stopReconnecting();
    }
}

void CMyApp::OnExit()
{
    // As the close box does: asks what would be lost, and a running send ends with the window.
    mainFrame()->close();
}

QStringList CMyApp::closeLosses() const
{
    QStringList losses;
    if (m_pSocket && m_pSocket->isOpen()) {
        losses.append(QStringLiteral("接続局との接続"));
        if (m_pSocket->isSendingFile())
            losses.append(QStringLiteral("接続局へ送信中のファイル"));
    }
    return losses + OperatorApp::closeLosses();
}

void CMyApp::OnDisconnect()
{
    switch (m_state) {
    case State::NotConnected:
        return;
    case State::WaitingToReconnect:
    case State::Reconnecting:
        record(QStringLiteral("再接続をやめました"));
        stopReconnecting();
        return;
    case State::Connecting:
    case State::Connected:
        record(QStringLiteral("接続を終了しました"));
        dropConnection(StatusWaiting);
        setState(State::NotConnected);
        return;
    }
}

bool CMyApp::prompt(const QString &promptText, QString *text)
{
    CInputDialog dialog(mainFrame());
    dialog.m_prompt = promptText;
    dialog.m_text = *text;
    if (dialog.DoModal() != TemplateDialog::IDOK)
        return false;
    *text = dialog.m_text;
    return true;
}

bool CMyApp::readyToSend()
{
    if (m_pSocket && m_pSocket->isOpen())
        return true;
    if (m_state == State::Connecting || m_state == State::Reconnecting)
        desktop().messageBox(QStringLiteral("まだ接続が完了していないため、送信できません。"
                                            "状態が「接続中」になってから、もう一度やり直してください。"));
    else if (m_state == State::WaitingToReconnect)
        desktop().messageBox(QStringLiteral("接続が切れたため、送信しませんでした。局への再接続を待っています。"
                                            "状態が「接続中」になってから、もう一度やり直してください。"));
    else
        desktop().messageBox(QStringLiteral("接続が切れたため、送信しませんでした。"
                                            "「開始」で接続し直してから、もう一度やり直してください。"));
    return false;
}

void CMyApp::onStateChanged(CConnSocket *socket)
{
    if (socket->state() == CConnSocket::State::Open) {
        const bool again = m_state == State::Reconnecting;
        TerminalSettings::rememberStation(m_station);
        m_openSince.start();
        // Should this one end soon as well, the next attempt waits longer.
        m_reconnectDelayMs = again ? qMin(2 * m_reconnectDelayMs, MAX_RECONNECT_MS) : FIRST_RECONNECT_MS;
        setState(State::Connected);
        setStatus(StatusConnected);
        record((again ? QStringLiteral("局 %1:%2 に再接続しました") : QStringLiteral("局 %1:%2 に接続しました"))
                   .arg(socket->peerAddress().toString())
                   .arg(socket->peerPort()));
    } else if (socket->state() == CConnSocket::State::Closed) {
        // The Station closed, after the frames it sent before were handled.
        record(QStringLiteral("局との接続が切れました"));
        dropConnection(StatusWaiting);
        if (!TerminalSettings::load().reconnect || !mainFrame()->isVisible()) {
            setState(State::NotConnected);
            return;
        }
        // A Station that closes each connection soon is not asked again every two seconds.
        if (m_openSince.hasExpired(MAX_RECONNECT_MS))
            m_reconnectDelayMs = FIRST_RECONNECT_MS;
        record(QStringLiteral("局 %1 に再接続します（%2 秒後）").arg(m_station).arg(m_reconnectDelayMs / 1000));
        waitToReconnect();
    }
}

void CMyApp::onConnectFailed(CConnSocket *socket, QAbstractSocket::SocketError error)
{
    const QString reason = SocketErrorText::describe(error, socket->errorString());
    if (m_state == State::Reconnecting) {
        dropConnection(StatusWaiting);
        m_reconnectDelayMs = qMin(2 * m_reconnectDelayMs, MAX_RECONNECT_MS);
        record(QStringLiteral("局 %1 に再接続できませんでした（%2）。%3 秒後にもう一度試します")
                   .arg(m_station, reason)
                   .arg(m_reconnectDelayMs / 1000));
        waitToReconnect();
        return;
    }
    record(QStringLiteral("局 %1 に接続できませんでした（%2）").arg(m_station, reason));
    dropConnection(StatusConnectFailed);
    setState(State::NotConnected);
}

void CMyApp::waitToReconnect()
{
    setState(State::WaitingToReconnect);
    const int wait = ++m_reconnectWait;
    desktop().singleShot(m_reconnectDelayMs, this, [this, wait] {
        if (wait == m_reconnectWait && m_state == State::WaitingToReconnect)
            reconnectNow();
    });
}

void CMyApp::reconnectNow()
{
    ++m_reconnectWait;
    connectTo(m_station, State::Reconnecting);
}

void CMyApp::stopReconnecting()
{
    ++m_reconnectWait;
    if (m_state == State::Reconnecting)
        dropConnection(StatusWaiting);
    if (m_state == State::Reconnecting || m_state == State::WaitingToReconnect)
        setState(State::NotConnected);
}

void CMyApp::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void CMyApp::dropConnection(const QString &status)
{
    CConnSocket *socket = m_pSocket;
    m_pSocket = nullptr;
    socket->disconnect(this);
    // A file of a Station that is gone is not offered.
    dropQueuedFiles(socket);
    socket->close();
    // May be inside one of the socket's own notifications.
    socket->deleteLater();
    setStatus(status);
}
