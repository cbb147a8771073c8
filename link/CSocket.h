#pragma once

#include "FileReception.h"
#include "FrameDecoder.h"
#include "PacedFileSend.h"

#include <QByteArray>
#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class ITimers;
class QIODevice;
class QTcpSocket;
class QTimer;

// One end of a Station-Terminal connection. It sends texts, RS control
// strings and files as frames, and reports each frame that arrives by a
// signal; what the operator sees of it is its owner's business.
//
// Receiving is event-driven: whatever bytes have arrived are decoded, and a
// signal goes out for each complete frame, in order. An owner that cannot
// take the next frame yet (a dialog about this one is open, the serial line
// is busy with its RS byte) holds reading from inside the signal and resumes
// it later; meanwhile the bytes wait in the socket (at most READ_BUFFER_SIZE)
// and in the kernel, which throttles the peer. A connection reports at most
// READ_SHARE_FRAMES frames at a time: one whose peer floods yields to the
// other connections and is read on from the back of the event queue.
//
// When the peer closes, resets or is found dead, the connection drains:
// frames that arrived before are still reported, then it is closed. A close
// that waits behind unread bytes is noticed while reading is held, too.
class CConnSocket : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Unconnected,
        Connecting,
        // Sending and receiving.
        Open,
        // The peer left; frames that arrived before are still reported.
        Draining,
        // Nothing more comes or goes; the owner deletes the object.
        Closed,
    };
    Q_ENUM(State)

    enum class Extension {
        // Switched off, or not negotiated yet: only classic frames go out.
        Off,
        // Station: the announcement went out and the Terminal has not
        // answered (it may be classic).
        Announced,
        // Both ends speak the extension.
        Agreed,
    };
    Q_ENUM(Extension)

    // Unread bytes a connection may hold while its reading is held.
    static constexpr qint64 READ_BUFFER_SIZE = 64 * 1024;
    // The same with an Agreed peer: several of its file chunks, so that a
    // stream is read a few frames per turn of the event loop.
    static constexpr qint64 STREAM_READ_BUFFER_SIZE = 4 * READ_BUFFER_SIZE;
    static constexpr int CONNECT_TIMEOUT_MS = 10000;
    // Longest received text reported; the rest of a longer one is dropped.
    static constexpr int TEXT_KEEP = CHUNK_SIZE;
    // How often a held connection looks whether its peer left.
    static constexpr int LEAVE_CHECK_MS = 1000;
    // Frames reported in one turn of the event loop.
    static constexpr int READ_SHARE_FRAMES = 32;
    // Named files sent whose receipts are still recognised.
    static constexpr int REMEMBERED_SENDS = 16;

    explicit CConnSocket(ITimers &timers, QObject *parent = nullptr);
    ~CConnSocket() override;

    // Takes over an accepted connection (and the ownership of `socket`);
    // bytes that already arrived, or a close that already happened, are
    // handled once the event loop runs.
    void attach(QTcpSocket *socket);
    // Starts connecting; the state goes to Open, or connectFailed() follows,
    // at the latest after `timeoutMs`.
    void connectToStation(const QString &host, quint16 port, int timeoutMs = CONNECT_TIMEOUT_MS);

    // Before attach() or connectToStation(); off unless set.
    void setExtensionEnabled(bool enabled);
    Extension extension() const { return m_extension; }
    bool peerHasExtension() const { return m_extension == Extension::Agreed; }
    // Longest text sendUnicodeText() carries now, in UTF-8 bytes:
    // MAX_EXT_TEXT with an Agreed peer, else 0 (classic texts go as CP932).
    int unicodeTextLimit() const;

    State state() const { return m_state; }
    bool isOpen() const { return m_state == State::Open; }
    // The peer, an IPv4 peer in its plain form.
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    // What went wrong last on the connection, in the system's words.
    QString errorString() const;

    // Sends `text` (CP932 bytes, no NUL) as one text frame, while open.
    void SendText(const QByteArray &text);
    // Sends a frame built by the codec as it is, while open; never waits
    // for the peer.
    void sendFrame(const QByteArray &frame);
    // Sends `text` as UTF-8, at most unicodeTextLimit() bytes of it, to an
    // Agreed peer; nothing otherwise.
    void sendUnicodeText(const QString &text);
    // True when a file of `size` bytes can go to this peer: within the
    // classic chunk index, or any size to an Agreed peer.
    bool carriesFile(quint64 size) const;
    // Starts sending `file` (open for reading, carriesFile()) and returns
    // while the send goes on; the send then keeps the file. To an Agreed peer
    // it goes as a named file under `name` (made safe), fast; else as file
    // frames, pausing after each full chunk. False, sending nothing and
    // leaving the file to the caller, while not open or while another file
    // is on its way.
    bool SendFile(QIODevice *file, const QString &name = QString());
    bool isSendingFile() const { return m_fileSend != nullptr; }
    void cancelSend();

    // Tells the sender of `file`, a named file of an Agreed peer, what became
    // of it; nothing for a classic file.
    void sendReceipt(const ReceivedFile &file, FileReceipt receipt);

    // Stops reporting frames until as many resumeReading() calls.
    void holdReading();
    void resumeReading();

    // Ends the connection at once; state() is Closed when this returns.
    void close();

signals:
    void stateChanged(CConnSocket::State state);
    // Bytes came from the peer, whether or not a frame is complete yet.
    void dataArrived();
    // The connection could not be made (SocketTimeoutError after the
    // connect timeout); the state goes to Closed next.
    void connectFailed(QAbstractSocket::SocketError error);
    void extensionChanged(CConnSocket::Extension extension);

    // A text frame, at most TEXT_KEEP bytes of it.
    void textReceived(const QByteArray &text);
    // A UTF-8 text of an Agreed peer, invalid sequences as U+FFFD.
    void unicodeTextReceived(const QString &text);
    // An RS control frame: its first byte, or nothing when it was empty.
    void rsReceived(const QByteArray &firstByte);
    // The last frame of a file arrived; the file waits in its spool.
    void fileReceived(const ReceivedFile &file);
    // A file began that the spool's file system has no room for.
    void fileRefused(quint64 length, qint64 available);
    // What the receiver did with a named file sent on this connection, one
    // of the last REMEMBERED_SENDS.
    void fileReceipt(const QString &name, quint64 size, FileReceipt receipt);

    // A file send went a frame further, or began or stopped waiting for a
    // peer that does not read.
    void sendProgress(int framesSent, int frameCount, int secondsLeft, bool waitingForPeer);
    void sendFinished(PacedFileSend::Outcome outcome, int framesSent, int frameCount);

private:
    void wire();
    void setState(State state);
    void setExtension(Extension extension);
    void OnDataReady();
    void readLater();
    // `payloadWhole`: nothing of the payload was dropped.
    void handleFrame(const FrameHeader &header, const QByteArray &payload, bool payloadWhole);
    void answerAnnouncement(bool firstFrame);
    void handleExtension(quint8 kind, const QByteArray &payload);
    void takeReceipt(quint32 transferId, quint8 outcome);
    void OnPeerClosed();
    void checkPeerLeft();
    void finishDraining();

    ITimers &m_timers;
    QTcpSocket *m_socket = nullptr;
    State m_state = State::Unconnected;
    bool m_extensionEnabled = false;
    // The Station's end, which announces the extension.
    bool m_announces = false;
    Extension m_extension = Extension::Off;
    bool m_framesSeen = false;
    struct SentFile
    {
        quint32 transferId;
        QString name;
        quint64 size;
    };
    QList<SentFile> m_sentFiles;
    quint32 m_lastTransferId = 0;
    FrameDecoder m_decoder;
    FileReception *m_files;
    PacedFileSend *m_fileSend = nullptr;
    QTimer *m_leaveCheck;
    int m_holds = 0;
    bool m_reading = false;
    // A read waits in the event queue; readyRead leaves the bytes to it.
    bool m_readPosted = false;
};
