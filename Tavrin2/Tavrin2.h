#pragma once

#include "AppFramework.h"
#include "DisplayLine.h"
#include "Frame.h"
#include "SerialPort.h"

#include <memory>

class CListenSocket;

// The Station application: opens the serial control line when constructed,
// listens for Terminals after Start, and sends a text or a file to the
// Terminal its operator chooses.
class CMy2App : public AppFramework
{
    Q_OBJECT

public:
    enum Command {
        ID_START = 32771,
        ID_SEND = 32772,
        ID_FILE_SEND = 32773,
    };

    // `serialDevice` stands for COM1, `port` for SERVICE_PORT.
    explicit CMy2App(const QString &serialDevice = CSerialPort::defaultDevice(), quint16 port = SERVICE_PORT);
    ~CMy2App() override;

    void OnStart();
    void OnSend();
    void OnFileSend();

    CListenSocket *m_pListenSocket = nullptr;
    DisplayLine m_message {200};
    DisplayLine m_status {52};
    std::unique_ptr<CSerialPort> m_pSerialPort;

protected:
    bool OnCommand(int id) override;
    StatusView *createView(QWidget *parent) override;
    EmptyDocument *createDocument() override;

private:
    // Lets the operator choose an occupied slot; MAX_CLIENTS when the
    // command is to end (Cancel, no choice, or the Terminal chosen left
    // while the dialog was open). `text` receives the typed text.
    int chooseClient(QString *text);
    void tellSerialFailure(const QString &message);

    quint16 m_port;
};
