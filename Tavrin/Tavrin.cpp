#include "Tavrin.h"

#include "CSocket.h"
#include "CodePage.h"
#include "FileSaveSession.h"
#include "FileSendSession.h"
#include "InputDialog1.h"
#include "MainFrm.h"
#include "Platform.h"
#include "SocketErrorText.h"
#include "TavrinDoc.h"
#include "TavrinView.h"

#include <QAction>
#include <QTcpSocket>

namespace {
const QString StatusConnecting = QStringLiteral("接続しています…");
const QString StatusConnected = QStringLiteral("接続中");
const QString StatusWaiting = QStringLiteral("接続待ち");
// The Station, as the Terminal's operator is told of it.
const QString StationName = QStringLiteral("接続局");
const QString StatusConnectFailed = QStringLiteral("接続できませんでした。開始をやり直してください");

}

const char *const CMyApp::DefaultStationAddress = "127.0.0.1";

CMyApp::CMyApp(IPlatform &desktop, quint16 stationPort)
    : AppFramework(QStringLiteral("Tavrin"), desktop)
    , m_stationPort(stationPort)
{
}

CMyApp::~CMyApp()
{
    delete m_pSocket;
}

void CMyApp::addCommands(CMainFrame *frame)
{
    connect(frame->addCommand(QStringLiteral("開始")), &QAction::triggered, this, &CMyApp::OnStart);
    connect(frame->addCommand(QStringLiteral("送信")), &QAction::triggered, this, &CMyApp::OnSend);
    connect(frame->addCommand(QStringLiteral("ファイル送信")), &QAction::triggered, this, &CMyApp::OnFileSend);
    connect(frame->addCommand(QStringLiteral("接続終了")), &QAction::triggered, this, &CMyApp::OnDisconnect);
    connect(frame->addCommand(QStringLiteral("RSコントロール")), &QAction::triggered, this, &CMyApp::OnRsControl);
    connect(frame->addCommand(QStringLiteral("履歴保存")), &QAction::triggered, this, &AppFramework::OnSaveHistory);
    connect(frame->addCommand(QStringLiteral("終了")), &QAction::triggered, this, &CMyApp::OnExit);
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
    if (m_pSocket)
        return;
    QString address = QString::fromLatin1(DefaultStationAddress);
    if (!prompt(QStringLiteral("IPアドレス入力してください"), &address))
        return;

    // Stored before connecting so that a second Start cannot open another.
    CConnSocket *socket = new CConnSocket(desktop(), this);
    m_pSocket = socket;
    connect(socket, &CConnSocket::stateChanged, this, [this, socket] { onStateChanged(socket); });
    connect(socket, &CConnSocket::connectFailed, this, [this, socket, address](QAbstractSocket::SocketError error) {
        history().add(QStringLiteral("局 %1 に接続できませんでした（%2）")
                          .arg(address, SocketErrorText::describe(error, socket->errorString())));
        dropConnection(StatusConnectFailed);
    });
    connect(socket, &CConnSocket::textReceived, this, &CMyApp::showText);
    connect(socket, &CConnSocket::fileReceived, this, [this, socket](const ReceivedFile &file) {
        callForAttention(QStringLiteral("ファイルを受信しました"));
        FileSaveSession::offer(desktop(), socket, file, StationName, [this](const QString &line) { history().add(line); });
    });
    connect(socket, &CConnSocket::fileRefused, this, [this](quint32 length, qint64 available) {
        FileSaveSession::tellRefused(desktop(), StationName, length, available);
    });
    setStatus(StatusConnecting);
    Redraw();
    socket->connectToStation(address, m_stationPort);
}

void CMyApp::OnSend()
{
    if (!m_pSocket || !readyToSend())
        return;
    QString text;
    if (!prompt(QStringLiteral("送る文字列を入力してください"), &text))
        return;
    QByteArray bytes;
    // The Station may have closed the connection while the dialog was open.
    if (!wireText(text, QStringLiteral("送る文字列"), &bytes) || !readyToSend())
        return;
    m_pSocket->SendText(bytes);
    history().add(QStringLiteral("送信: ") + text);
}

void CMyApp::OnFileSend()
{
    if (!m_pSocket || !readyToSend())
        return;
    FileSendSession::begin(desktop(), m_pSocket, [this](const QString &line) { history().add(line); });
}

void CMyApp::OnRsControl()
{
    if (!m_pSocket || !readyToSend())
        return;
    QString text;
    if (!prompt(QStringLiteral("RSコントロールの文字列を入力してください（先頭の1バイトが回線に送られます）"), &text))
        return;
    QByteArray bytes;
    if (!wireText(text, QStringLiteral("RSコントロールの文字列"), &bytes) || !readyToSend())
        return;
    m_pSocket->sendFrame(FrameCodec::rsFrame(bytes));
    history().add(QStringLiteral("RSコントロール送信: ") + text);
}

void CMyApp::OnExit()
{
    // As the close box does: a running send ends with the window.
    mainFrame()->close();
}

void CMyApp::OnDisconnect()
{
    if (!m_pSocket)
        return;
    history().add(QStringLiteral("接続を終了しました"));
    dropConnection(StatusWaiting);
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

bool CMyApp::wireText(const QString &text, const QString &what, QByteArray *bytes)
{
    if (!CodePage::encode(text, bytes)) {
        desktop().messageBox(
            QStringLiteral("%1に送れない文字「%2」が含まれているため、送信しませんでした。"
                           "その文字を除いて、もう一度入力してください。")
                .arg(what, CodePage::unencodable(text)));
        return false;
    }
    if (bytes->size() > MAX_TERMINAL_TEXT) {
        desktop().messageBox(
            QStringLiteral("%1が長すぎるため、送信しませんでした（%2バイト）。"
                           "%3バイト以内（全角は1文字2バイト）にして、もう一度入力してください。")
                .arg(what)
                .arg(bytes->size())
                .arg(MAX_TERMINAL_TEXT));
        return false;
    }
    return true;
}

bool CMyApp::readyToSend()
{
    if (m_pSocket && m_pSocket->isOpen())
        return true;
    desktop().messageBox(
        m_pSocket ? QStringLiteral("まだ接続が完了していないため、送信できません。"
                                   "状態が「接続中」になってから、もう一度やり直してください。")
                  : QStringLiteral("接続が切れたため、送信しませんでした。"
                                   "「開始」で接続し直してから、もう一度やり直してください。"));
    return false;
}

void CMyApp::setStatus(const QString &text)
{
    QByteArray bytes;
    CodePage::encode(text, &bytes);
    m_status.set(bytes);
}

void CMyApp::onStateChanged(CConnSocket *socket)
{
    if (socket->state() == CConnSocket::State::Open) {
        setStatus(StatusConnected);
        Redraw();
        history().add(QStringLiteral("局 %1:%2 に接続しました").arg(socket->peerAddress().toString()).arg(socket->peerPort()));
    } else if (socket->state() == CConnSocket::State::Closed) {
        // The Station closed, after the frames it sent before were handled.
        history().add(QStringLiteral("局との接続が切れました"));
        dropConnection(StatusWaiting);
    }
}

void CMyApp::showText(const QByteArray &text)
{
    m_message.set(text);
    Redraw();
    const QString decoded = CodePage::decode(text);
    history().add(QStringLiteral("受信: ") + decoded);
    callForAttention(decoded.left(60));
}

void CMyApp::dropConnection(const QString &status)
{
    CConnSocket *socket = m_pSocket;
    m_pSocket = nullptr;
    socket->disconnect(this);
    socket->close();
    // May be inside one of the socket's own notifications.
    socket->deleteLater();
    setStatus(status);
    Redraw();
}
