#pragma once

#include "AppFramework.h"
#include "DisplayLine.h"
#include "Frame.h"
#include "SerialPort.h"

#include <QHostAddress>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <array>
#include <memory>

class CConnSocket;
class CListenSocket;
class ConnectedTerminalsModel;
struct ReceivedFile;

// The Station application: opens the serial control line when constructed,
// listens for Terminals after Start, and sends a text or a file to the
// Terminal its operator chooses, or drops it.
class CMy2App : public AppFramework
{
    Q_OBJECT

public:
    // `serialDevice` stands for COM1, `port` for SERVICE_PORT.
    explicit CMy2App(IPlatform &desktop, const QString &serialDevice = CSerialPort::defaultDevice(),
                     quint16 port = SERVICE_PORT);
    ~CMy2App() override;

    void OnStart();
    void OnSend();
    // The send-text command with `slot` chosen beforehand (a row of the table).
    void OnSendTo(int slot);
    void OnFileSend();
    void OnDropClient();
    void OnSettings();

    // Tells in the message line that a connection from `address` was
    // refused, once a minute for each address.
    void tellRefused(const QHostAddress &address);
    static constexpr int REFUSAL_NOTE_INTERVAL_MS = 60 * 1000;

    CListenSocket *m_pListenSocket = nullptr;
    DisplayLine m_message {200};
    DisplayLine m_status {52};
    std::unique_ptr<CSerialPort> m_pSerialPort;
    ConnectedTerminalsModel *m_terminals;

protected:
    void addCommands(CMainFrame *frame) override;
    StatusView *createView(QWidget *parent) override;
    // The table of connected Terminals.
    QWidget *createPanel(QWidget *parent) override;
    EmptyDocument *createDocument() override;

private:
    struct Choice
    {
        int slot = MAX_CLIENTS;
        QPointer<CConnSocket> connection;
        QString text;
    };

    // Lets the operator choose an occupied slot, `preselected` checked if it
    // is one, and type a text if `withText`; slot MAX_CLIENTS when the
    // command is to end (Cancel).
    Choice chooseClient(bool withText, int preselected = MAX_CLIENTS);
    void sendText(const Choice &choice);
    // True when the chosen Terminal is still connected; otherwise tells the
    // operator that nothing was done to it, and why.
    bool stillConnected(const Choice &choice, const QString &what);
    void createListener();
    void setStatus(const QString &text);
    void showText(int slot, const QByteArray &text);
    void admitted(int slot);
    void removed(int slot, int droppedRs);
    void wroteRs(const QByteArray &byte, QObject *requester);
    void record(const QString &text, int slot = -1);
    void noteDroppedRs(int slot, int dropped);
    void receiveFile(int slot, CConnSocket *connection, const ReceivedFile &file);
    void tellFileRefused(int slot, quint32 length, qint64 available);
    void tellDroppedRs();
    // Loads the stored address list into the listener, telling a bad entry.
    void loadAddressFilter();
    // Offers to drop the Terminals the listener's filter no longer admits.
    void offerToDropExcluded();

    quint16 m_port;
    QStringList m_droppedRsNotes;
    // Files of each slot's Terminal not saved in a row (Save As cancelled,
    // or the file broken); from MAX_DECLINED_FILES on, its files are not
    // offered.
    std::array<int, MAX_CLIENTS> m_declinedFiles {};
    static constexpr int MAX_DECLINED_FILES = 3;
    bool m_droppedRsShowing = false;
    // Addresses whose refusal was told less than a minute ago.
    QSet<QHostAddress> m_refusalsTold;
};
