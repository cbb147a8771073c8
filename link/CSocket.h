#pragma once

#include "FrameDecoder.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class DisplayLine;
class FileReception;
class IClientOwner;
class IRedrawHost;
class ISerialLine;
class PacedFileSend;
class QTcpSocket;

// One end of a Station-Terminal connection. It sends texts and files as
// frames and acts on each frame that arrives: a text goes to the message
// line, an RS control payload to the serial line (Station), a file chunk to
// file reception. The Station variant knows its slot and owner; the
// Terminal variant reports a closed connection to whoever holds it.
//
// Receiving is event-driven: OnDataReady takes whatever bytes have arrived,
// acts on each frame once it is complete and keeps the rest for later. An
// RS control frame holds this connection's reading until the serial line
// has served it, so a Terminal that floods the line waits on its own.
// Handlers may run nested modal dialogs; the object is never destroyed
// while one of its own handlers is still running (see release()).
//
// Nothing here waits: texts are queued by the socket, files go out paced
// by PacedFileSend.
class CConnSocket : public QObject
{
    Q_OBJECT

public:
    // Station variant: `line` is the shared message line, `slot` this
    // Terminal's place in `owner`'s client table.
    CConnSocket(DisplayLine *line, int slot, IClientOwner *owner, ISerialLine *serial,
                IRedrawHost *host, QObject *parent = nullptr);
    // Terminal variant.
    CConnSocket(DisplayLine *line, IRedrawHost *host, QObject *parent = nullptr);
    ~CConnSocket() override;

    bool isStation() const { return m_pOwner != nullptr; }
    int slot() const { return m_nSlot; }

    // Station: takes over an accepted connection (and the ownership of
    // `socket`); bytes that already arrived, or a close that already
    // happened, are handled as soon as the event loop runs.
    void attach(QTcpSocket *socket);
    // Terminal: starts connecting; connected() or connectFailed() follows,
    // the latter at the latest after `timeoutMs`.
    void connectToStation(const QString &host, quint16 port, int timeoutMs = CONNECT_TIMEOUT_MS);
    static constexpr int CONNECT_TIMEOUT_MS = 10000;
    bool isConnected() const;
    QTcpSocket *socket() const { return m_socket; }

    // Sends `text` (CP932 bytes, no NUL) as one text frame. Refuses, sending
    // nothing, a text over the variant's limit: MAX_TEXT on the Station,
    // MAX_TERMINAL_TEXT on the Terminal.
    bool SendText(const QByteArray &text);
    // Asks the operator for a file and starts sending it as file frames,
    // pausing after each full chunk; returns while the send goes on. One
    // file at a time.
    void SendFile();
    bool isSendingFile() const { return m_fileSend != nullptr; }
    // Sends a frame built by the codec as it is; never waits for the peer.
    void sendFrame(const QByteArray &frame);

    // Closes the connection, ending a file send with a word to the operator,
    // and deletes this object as soon as none of its handlers is running any
    // more.
    void release();

    void OnDataReady();
    void OnPeerClosed();

signals:
    void connected();
    void connectFailed(const QString &reason);
    // The peer closed an established connection (Terminal variant).
    void peerClosed();

private:
    class BusyScope;
    friend class BusyScope;

    void wire();
    void readAvailable();
    bool readingStopped() const { return m_releaseRequested || m_waitingForLine; }
    void handleFrame();
    void handleText();
    void relayToLine();
    void leaveBusy();
    void continueLater();

    int m_nSlot = -1;
    DisplayLine *m_pLine;
    IClientOwner *m_pOwner = nullptr;
    ISerialLine *m_pSerial = nullptr;
    IRedrawHost *m_pHost;
    QTcpSocket *m_socket = nullptr;
    FrameDecoder m_decoder;
    std::unique_ptr<FileReception> m_files;
    PacedFileSend *m_fileSend = nullptr;
    int m_busy = 0;
    bool m_reading = false;
    bool m_waitingForLine = false;
    bool m_releaseRequested = false;
    bool m_peerCloseSeen = false;
    bool m_closeReported = false;
    bool m_connecting = false;
};
