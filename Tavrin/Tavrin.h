#pragma once

#include "Frame.h"
#include "OperatorApp.h"

#include <QByteArray>
#include <QString>

class CConnSocket;

// The Terminal: at most one connection to a Station, opened by Start and
// closed by Disconnect, by a failed connect or by the Station.
class CMyApp : public OperatorApp
{
    Q_OBJECT

public:
    static const char *const DefaultStationAddress;

    // `stationPort` is where Start connects to; tests pass a free one.
    explicit CMyApp(IPlatform &desktop, quint16 stationPort = SERVICE_PORT);

    void OnStart() override;
    void OnSend() override;
    void OnFileSend() override;
    void OnDisconnect();
    void OnRsControl();
    void OnExit();

    // The operator's texts, as they are named when refused.
    static QString sendTextName() { return QStringLiteral("送る文字列"); }
    static QString rsTextName() { return QStringLiteral("RSコントロールの文字列"); }

    CConnSocket *m_pSocket = nullptr;

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

    void onStateChanged(CConnSocket *socket);
    void dropConnection(const QString &status);

    quint16 m_stationPort;
};
