#include "Tavrin.h"

#include "CSocket.h"
#include "CodePage.h"
#include "InputDialog1.h"
#include "Platform.h"
#include "TavrinDoc.h"
#include "TavrinView.h"

namespace {
const QString StatusConnecting = QStringLiteral("接続しています…");
const QString StatusConnected = QStringLiteral("接続中");
const QString StatusWaiting = QStringLiteral("接続待ち");
const QString StatusConnectFailed = QStringLiteral("接続できませんでした。開始をやり直してください");

AppFramework::Identity terminalIdentity()
{
    return {QStringLiteral("Tavrin"),
            {{QStringLiteral("開始"), CMyApp::ID_START},
             {QStringLiteral("送信"), CMyApp::ID_SEND},
             {QStringLiteral("ファイル送信"), CMyApp::ID_FILE_SEND},
             {QStringLiteral("接続終了"), CMyApp::ID_DISCONNECT},
             {QStringLiteral("RSコントロール"), CMyApp::ID_RS_CONTROL},
             {QStringLiteral("終了"), CMyApp::ID_EXIT}}};
}
}

const char *const CMyApp::DefaultStationAddress = "127.0.0.1";

CMyApp::CMyApp(quint16 stationPort)
    : AppFramework(terminalIdentity())
    , m_stationPort(stationPort)
{
}

CMyApp::~CMyApp()
{
    delete m_pSocket;
}

bool CMyApp::OnCommand(int id)
{
    switch (id) {
    case ID_START:
        OnStart();
        return true;
    case ID_SEND:
        OnSend();
        return true;
    case ID_FILE_SEND:
        OnFileSend();
        return true;
    case ID_DISCONNECT:
        OnDisconnect();
        return true;
    case ID_RS_CONTROL:
        OnRsControl();
        return true;
    default:
        return false;
    }
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
    CConnSocket *socket = new CConnSocket(&m_message, this, this);
    m_pSocket = socket;
    connect(socket, &CConnSocket::connected, this, [this, socket] { onConnected(socket); });
    connect(socket, &CConnSocket::connectFailed, this, [this, socket] { onConnectFailed(socket); });
    connect(socket, &CConnSocket::peerClosed, this, [this, socket] { onPeerClosed(socket); });
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
}

void CMyApp::OnFileSend()
{
    if (!m_pSocket || !readyToSend())
        return;
    m_pSocket->SendFile();
}

void CMyApp::OnRsControl()
{
    if (!m_pSocket || !readyToSend())
        return;
    QString text;
    if (!prompt(QString(), &text))
        return;
    QByteArray bytes;
    if (!wireText(text, QStringLiteral("RSコントロールの文字列"), &bytes) || !readyToSend())
        return;
    m_pSocket->sendFrame(FrameCodec::rsFrame(bytes));
}

void CMyApp::OnDisconnect()
{
    if (!m_pSocket)
        return;
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
        Platform::get().messageBox(
            QStringLiteral("%1に送れない文字「%2」が含まれているため、送信しませんでした。"
                           "その文字を除いて、もう一度入力してください。")
                .arg(what, CodePage::unencodable(text)));
        return false;
    }
    if (bytes->size() > MAX_TERMINAL_TEXT) {
        Platform::get().messageBox(
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
    if (m_pSocket && m_pSocket->isConnected())
        return true;
    Platform::get().messageBox(
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

void CMyApp::onConnected(CConnSocket *socket)
{
    if (socket != m_pSocket)
        return;
    setStatus(StatusConnected);
    Redraw();
}

void CMyApp::onConnectFailed(CConnSocket *socket)
{
    if (socket != m_pSocket)
        return;
    dropConnection(StatusConnectFailed);
}

void CMyApp::onPeerClosed(CConnSocket *socket)
{
    if (socket != m_pSocket)
        return;
    dropConnection(StatusWaiting);
}

void CMyApp::dropConnection(const QString &status)
{
    // release() defers the deletion while one of the socket's own handlers
    // is still running, e.g. when this is reached from its notification.
    m_pSocket->release();
    m_pSocket = nullptr;
    setStatus(status);
    Redraw();
}
