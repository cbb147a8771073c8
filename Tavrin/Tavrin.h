#pragma once

#include "AppFramework.h"
#include "DisplayLine.h"
#include "Frame.h"

#include <QByteArray>
#include <QString>

class CConnSocket;

// The Terminal: at most one connection to a Station, opened by Start and
// closed by Disconnect, by a failed connect or by the Station.
class CMyApp : public AppFramework
{
    Q_OBJECT

public:
    static const char *const DefaultStationAddress;

    // `stationPort` is where Start connects to; tests pass a free one.
    explicit CMyApp(IPlatform &desktop, quint16 stationPort = SERVICE_PORT);
    ~CMyApp() override;

    void OnStart();
    void OnSend();
    void OnFileSend();
    void OnDisconnect();
    void OnRsControl();
    void OnExit();

    CConnSocket *m_pSocket = nullptr;
    DisplayLine m_status{50};
    DisplayLine m_message{200};

protected:
    void addCommands(CMainFrame *frame) override;
    StatusView *createView(QWidget *parent) override;
    EmptyDocument *createDocument() override;

private:
    // Asks with the prompt dialog; false on Cancel.
    bool prompt(const QString &promptText, QString *text);
    // The operator's text as wire bytes, or false after telling the operator
    // why it cannot be sent (`what` names the command's text).
    bool wireText(const QString &text, const QString &what, QByteArray *bytes);
    // True while the connection is up; otherwise tells the operator that
    // nothing is sent, be it still connecting or already lost.
    bool readyToSend();
    void setStatus(const QString &text);

    void onStateChanged(CConnSocket *socket);
    void showText(const QByteArray &text);
    void dropConnection(const QString &status);

    quint16 m_stationPort;
};
