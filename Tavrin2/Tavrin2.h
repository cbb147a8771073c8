#pragma once

#include "FilteringServer.h"
#include "Frame.h"
#include "OperatorApp.h"
#include "SerialPort.h"

#include <QHostAddress>
#include <QList>
#include <QPointer>

class CConnSocket;
class CListenSocket;
class ConnectedTerminalsModel;
class StationNotices;
struct ReceivedFile;

// The Station application: opens the serial control line when constructed,
// listens for Terminals after Start, and sends a text or a file to the
// Terminal its operator chooses, or to every Terminal, or drops one.
class CMy2App : public OperatorApp
{
    Q_OBJECT

public:
    // `serialDevice` stands for COM1, `port` for SERVICE_PORT.
    explicit CMy2App(IPlatform &desktop, const QString &serialDevice = configuredSerialDevice(),
                     quint16 port = SERVICE_PORT);

    // TAVRIN2_COM1, else the device chosen in 設定, else the first serial port.
    static QString configuredSerialDevice();

    void OnStart() override;
    void OnSend() override;
    // The send-text command with `slot` chosen beforehand (a row of the table).
    void OnSendTo(int slot);
    void OnFileSend() override;
    void OnDropClient();
    void OnSettings();

    // Notes in the history that a connection from `address` was refused,
    // once a minute for each address.
    void tellRefused(const QHostAddress &address, FilteringServer::Refusal why);

    // How long 切断 may keep the dropped Terminal's address out.
    static constexpr int DROPPED_BAR_MS = 10 * 60 * 1000;
    static QString barQuestion(int slot, const QHostAddress &address);

    // The text the Station's operator sends, as it is named when refused.
    static QString sendTextName() { return QStringLiteral("送信する文字列"); }
    static QString droppedRsMessage(int slot, int dropped);

    CListenSocket *m_pListenSocket = nullptr;
    CSerialPort *m_pSerialPort = nullptr;
    ConnectedTerminalsModel *m_terminals;

protected:
    void addCommands(CMainFrame *frame) override;
    // The serial ports 設定 offers.
    virtual QList<SerialPortName> serialPorts() const;
    StatusView *createView(QWidget *parent) override;
    // The table of connected Terminals.
    QWidget *createPanel(QWidget *parent) override;
    EmptyDocument *createDocument() override;
    QStringList closeLosses() const override;

private:
    struct Target
    {
        int slot = MAX_CLIENTS;
        QPointer<CConnSocket> connection;
    };
    struct Choice
    {
        // None when the command is to end (Cancel).
        QList<Target> targets;
        QString text;
        // "全端末": every Terminal the dialog offered.
        bool everyone = false;
    };

    // Lets the operator choose an occupied slot, `preselected` checked if it
    // is one, or every Terminal if `offerAll`, and type a text if `withText`.
    Choice chooseClient(bool withText, bool offerAll, int preselected = MAX_CLIENTS);
    void sendText(const Choice &choice);
    // The chosen Terminals still connected; tells the operator, once, of
    // the others that nothing was done to them, and why.
    QList<Target> stillConnected(const QList<Target> &targets, const QString &what);
    // Sends the file at `path`, or the one chosen in the Open dialog when
    // empty, to each of `targets`.
    void sendFile(const QList<Target> &targets, bool everyone, const QString &path = QString());
    // A file dropped on the row of `slot` in the table.
    void fileDropped(const QString &path, const Target &target);
    void createListener();
    // Tells why the listener could not start and what to do.
    void listenFailed(QAbstractSocket::SocketError error, const QString &systemText);
    void admitted(int slot);
    void removed(int slot, int droppedRs);
    void wroteRs(const QByteArray &byte, QObject *requester);
    void lineStalled(bool stalled);
    void switchSerialDevice(const QString &device);
    QString peerOf(int slot) const override;
    // Loads the stored address list into the listener, telling a bad entry.
    void loadAddressFilter();
    // Offers to drop the Terminals the listener's filter no longer admits.
    void offerToDropExcluded();

    quint16 m_port;
    // The listener's parent, made before the serial line: children go in
    // the order they came, so at exit the Terminals' sockets go first.
    QObject *m_listenerOwner;
    StationNotices *m_notices;
};
