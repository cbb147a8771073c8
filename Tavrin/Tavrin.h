#pragma once

#include "Frame.h"
#include "OperatorApp.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class CConnSocket;

// The Terminal: at most one connection to a Station, opened by Start and
// closed by Disconnect, by a failed connect or by the Station. A connection
// the Station ended is made again after a wait that doubles with each
// failed attempt, unless the settings say otherwise.
class CMyApp : public OperatorApp
{
    Q_OBJECT

public:
    enum class State {
        NotConnected,
        Connecting,
        Connected,
        // The Station left; the next attempt waits for its time.
        WaitingToReconnect,
        Reconnecting,
    };
    Q_ENUM(State)

    static const char *const DefaultStationAddress;
    static constexpr int FIRST_RECONNECT_MS = 2000;
    static constexpr int MAX_RECONNECT_MS = 60000;

    // `stationPort` is where Start connects to; tests pass a free one.
    explicit CMyApp(IPlatform &desktop, quint16 stationPort = SERVICE_PORT);

    void OnStart() override;
    void OnSend() override;
    void OnFileSend() override;
    void OnDisconnect();
    void OnRsControl();
    void OnSettings();
    void OnExit();

    State state() const { return m_state; }

    // The operator's texts, as they are named when refused.
    static QString sendTextName() { return QStringLiteral("送る文字列"); }
    static QString rsTextName() { return QStringLiteral("RSコントロールの文字列"); }

    CConnSocket *m_pSocket = nullptr;

signals:
    void stateChanged(CMyApp::State state);

protected:
    void addCommands(CMainFrame *frame) override;
    StatusView *createView(QWidget *parent) override;
    EmptyDocument *createDocument() override;
    QStringList closeLosses() const override;

private:
    // Asks with the prompt dialog; false on Cancel.
    bool prompt(const QString &promptText, QString *text);
    // The operator's text for `what`, typed in the prompt and fit for the
    // wire; false when nothing is to be sent (the operator was told why).
    bool askText(const QString &promptText, const QString &what, QString *text, QByteArray *bytes);
    // True while the connection is up; otherwise tells the operator that
    // nothing is sent, be it still connecting or already lost.
    bool readyToSend();
    // Sends the file at `path`, or the one chosen in the Open dialog when empty.
    void sendFile(const QString &path);

    // Connects to `address`; `attempt` is Connecting or Reconnecting.
    void connectTo(const QString &address, State attempt);
    void onStateChanged(CConnSocket *socket);
    void onConnectFailed(CConnSocket *socket, QAbstractSocket::SocketError error);
    void dropConnection(const QString &status);
    void waitToReconnect();
    void reconnectNow();
    // Ends waiting or trying to reconnect.
    void stopReconnecting();
    void setState(State state);

    quint16 m_stationPort;
    State m_state = State::NotConnected;
    // The address as the operator typed it, which reconnecting uses again.
    QString m_station;
    QElapsedTimer m_openSince;
    // The next wait before reconnecting.
    int m_reconnectDelayMs = FIRST_RECONNECT_MS;
    // Counts the reconnect waits; a timer of an earlier one does nothing.
    int m_reconnectWait = 0;
};
