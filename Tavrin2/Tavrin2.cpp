#include "Tavrin2.h"

#include "CSocket.h"
#include "CodePage.h"
#include "InputDialog1.h"
#include "Platform.h"
#include "SSocket.h"
#include "Tavrin2Doc.h"
#include "Tavrin2View.h"

#include <QPointer>
#include <QTcpSocket>

#include <array>

namespace {
AppFramework::Identity stationIdentity()
{
    return {QStringLiteral("Tavrin2"),
            {{QStringLiteral("開始"), CMy2App::ID_START},
             {QStringLiteral("送信"), CMy2App::ID_SEND},
             {QStringLiteral("ファイル送信"), CMy2App::ID_FILE_SEND}}};
}

// The listener takes both address families: an IPv4 Terminal is shown in
// its IPv4 form, not as an IPv4-mapped IPv6 address.
QString peerDescription(const QTcpSocket *socket)
{
    QHostAddress address = socket->peerAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4);
    return QStringLiteral("アドレス %1、ポート %2").arg(address.toString()).arg(socket->peerPort());
}
}

CMy2App::CMy2App(const QString &serialDevice, quint16 port)
    : AppFramework(stationIdentity())
    , m_pSerialPort(std::make_unique<CSerialPort>(serialDevice))
    , m_port(port)
{
    // Told from the event loop: at start-up once the window shows, later
    // outside the socket and timer handlers that found the line broken.
    connect(m_pSerialPort.get(), &CSerialPort::failed, this, &CMy2App::tellSerialFailure, Qt::QueuedConnection);
    if (!m_pSerialPort->failure().isEmpty())
        QMetaObject::invokeMethod(
            this, [this] { tellSerialFailure(m_pSerialPort->failure()); }, Qt::QueuedConnection);
}

void CMy2App::tellSerialFailure(const QString &message)
{
    Platform::get().messageBox(message);
}

CMy2App::~CMy2App()
{
    // The Terminals' sockets go before the serial line and the lines they use.
    delete m_pListenSocket;
}

void CMy2App::OnStart()
{
    if (!m_pListenSocket)
        m_pListenSocket = new CListenSocket(&m_message, &m_status, m_pSerialPort.get(), this, m_port, this);
    else if (!m_pListenSocket->isListening())
        m_pListenSocket->Listen();
}

void CMy2App::OnSend()
{
    QString text;
    const int slot = chooseClient(&text);
    if (slot == MAX_CLIENTS)
        return;
    QByteArray bytes;
    if (!CodePage::encode(text, &bytes)) {
        Platform::get().messageBox(
            QStringLiteral("送信する文字列に Shift_JIS (CP932) で表せない文字「%1」があるため、送信しませんでした。\n"
                           "その文字を除いて、もう一度送信してください。")
                .arg(CodePage::unencodable(text)));
        return;
    }
    if (bytes.size() > MAX_TEXT)
        return;
    m_pListenSocket->SendTextToClient(bytes, slot);
}

void CMy2App::OnFileSend()
{
    QString ignored;
    const int slot = chooseClient(&ignored);
    if (slot != MAX_CLIENTS)
        m_pListenSocket->SendFileToClient(slot);
}

bool CMy2App::OnCommand(int id)
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
    default:
        return false;
    }
}

StatusView *CMy2App::createView(QWidget *parent)
{
    return new CMy2View(&m_status, &m_message, parent);
}

EmptyDocument *CMy2App::createDocument()
{
    return new CMy2Doc;
}

int CMy2App::chooseClient(QString *text)
{
    if (!m_pListenSocket || m_pListenSocket->count() == 0)
        return MAX_CLIENTS;

    CInputDialog dialog(mainFrame());
    // Which Terminal each slot held when the dialog opened: a slot that
    // changes hands meanwhile is not the Terminal the operator chose.
    std::array<QPointer<CConnSocket>, MAX_CLIENTS> shown;
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        shown[slot] = m_pListenSocket->client(slot);
        dialog.m_slotUsed[slot] = shown[slot] ? 1 : 0;
        if (shown[slot] && shown[slot]->socket())
            dialog.m_slotPeer[slot] = peerDescription(shown[slot]->socket());
    }
    if (dialog.DoModal() != TemplateDialog::IDOK)
        return MAX_CLIENTS;
    const int slot = dialog.m_nSelected;
    if (slot == MAX_CLIENTS || !shown[slot] || m_pListenSocket->client(slot) != shown[slot])
        return MAX_CLIENTS;
    *text = dialog.m_text;
    return slot;
}
