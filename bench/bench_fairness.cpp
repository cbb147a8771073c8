// How one Terminal's text flood costs the others, on the real Station with
// its main window offscreen, the scripted desktop and a pty as its serial
// line. Terminal 0 sends texts back to back as fast as loopback takes them;
// Terminal 1 sends timed texts; every 500 ms the Send command is asked for,
// as a menu click would. The figures are printed against their targets.
//
//   bench_fairness              a flood of 10 s
//   bench_fairness --seconds N  a flood of N s

#include "Frame.h"
#include "HistoryModel.h"
#include "LinkTestSupport.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "Tavrin2.h"

#include <QApplication>
#include <QDialog>
#include <QStandardPaths>
#include <QTextStream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

namespace {

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A Terminal of its own thread and blocking socket, so that its pace owes
// nothing to the Station's event loop.
class Terminal
{
public:
    explicit Terminal(quint16 port)
        : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    }
    ~Terminal()
    {
        stop();
        ::close(m_fd);
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    qint64 framesSent() const { return m_frames; }
    // The flood's last send returned: it may have waited for the Station to read.
    bool done() const { return m_done; }

    void flood(const std::atomic<bool> &go)
    {
        m_worker = std::thread([this, &go] {
            const QByteArray frame = FrameCodec::textFrame(QByteArrayLiteral("flood"));
            while (go && sendAll(frame))
                ++m_frames;
            m_done = true;
        });
    }
    // Texts `spacingMs` apart, each carrying the monotonic time it was sent at.
    void sendTimedTexts(int count, int spacingMs)
    {
        m_worker = std::thread([this, count, spacingMs] {
            for (int i = 0; i < count && sendAll(FrameCodec::textFrame(QByteArray::number(monotonicNs()))); ++i) {
                ++m_frames;
                std::this_thread::sleep_for(std::chrono::milliseconds(spacingMs));
            }
        });
    }
    void join()
    {
        if (m_worker.joinable())
            m_worker.join();
    }
    void stop()
    {
        if (!m_worker.joinable())
            return;
        ::shutdown(m_fd, SHUT_RDWR);
        m_worker.join();
    }

private:
    bool sendAll(const QByteArray &bytes)
    {
        for (qint64 at = 0; at < bytes.size();) {
            const ssize_t put = ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
            if (put <= 0)
                return false;
            at += put;
        }
        return true;
    }

    int m_fd;
    std::thread m_worker;
    std::atomic<qint64> m_frames {0};
    std::atomic<bool> m_done {false};
};

struct Figures
{
    double median = 0;
    double p99 = 0;
    double max = 0;
    int count = 0;
};

Figures figures(std::vector<double> values)
{
    Figures result;
    std::sort(values.begin(), values.end());
    result.count = int(values.size());
    if (!values.empty()) {
        result.median = values[values.size() / 2];
        result.p99 = values[std::max<size_t>(1, size_t(std::ceil(values.size() * 0.99))) - 1];
        result.max = values.back();
    }
    return result;
}

// Notes when each dialog shows and closes it, as an operator who cancels.
class DialogWatch : public QObject
{
public:
    std::vector<qint64> shownNs;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *dialog = qobject_cast<QDialog *>(watched)) {
                shownNs.push_back(monotonicNs());
                QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
            }
        }
        return false;
    }
};

void spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    LinkTest::pumpUntil(done, timeoutMs);
}

}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                     : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const QStringList args = app.arguments();
    const int floodSeconds = args.size() == 3 && args[1] == QLatin1String("--seconds") ? args[2].toInt() : 10;
    QTextStream out(stdout);

    PtyLine pty;
    ScriptedPlatform desktop;
    const quint16 port = LinkTest::freePort();
    CMy2App station(desktop, pty.name(), port);
    if (!station.InitInstance())
        return 1;
    station.OnStart();
    CListenSocket *listener = station.m_pListenSocket;

    // Terminal 1's texts as they reach the history, from the time they were sent.
    std::vector<double> textMs;
    qint64 floodShown = 0;
    qint64 lastFloodShownNs = 0;
    QObject::connect(&station.history(), &QAbstractItemModel::rowsInserted, [&](const QModelIndex &, int first, int last) {
        for (int row = first; row <= last; ++row) {
            const HistoryModel::Entry &entry = station.history().entry(row);
            if (entry.slot == 1) {
                const qint64 sent = entry.text.section(QLatin1Char(' '), -1).toLongLong();
                if (sent > 0)
                    textMs.push_back((monotonicNs() - sent) / 1e6);
            }
        }
    });

    // The flood folds into one history entry: its texts are counted as the
    // Station shows them.
    QObject::connect(listener, &CListenSocket::textReceived, [&](int slot, const QByteArray &text) {
        if (slot == 0 && text.endsWith("flood")) {
            ++floodShown;
            lastFloodShownNs = monotonicNs();
        }
    });
    Terminal flooder(port);
    spinUntil([&] { return listener->count() == 1; }, 5000);
    Terminal texter(port);
    spinUntil([&] { return listener->count() == 2; }, 5000);
    if (listener->count() != 2) {
        out << "the Terminals did not connect\n";
        return 1;
    }

    DialogWatch dialogs;
    app.installEventFilter(&dialogs);
    std::vector<qint64> askedNs;
    std::mutex askedLock;
    std::atomic<bool> flooding {true};
    // Asks for the Send command from outside the event loop, as the window
    // system's click would arrive: its wait in the queue is counted.
    std::thread operatorThread([&] {
        for (int i = 0; i < floodSeconds * 2 && flooding; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            {
                const std::lock_guard<std::mutex> lock(askedLock);
                askedNs.push_back(monotonicNs());
            }
            QMetaObject::invokeMethod(&station, [&station] { station.OnSend(); }, Qt::QueuedConnection);
        }
    });

    constexpr int spacingMs = 25;
    const int texts = floodSeconds * 1000 / spacingMs - 20;
    const qint64 start = monotonicNs();
    flooder.flood(flooding);
    texter.sendTimedTexts(texts, spacingMs);
    spinUntil([&] { return monotonicNs() - start >= qint64(floodSeconds) * 1000000000; }, floodSeconds * 1000 + 1000);
    flooding = false;
    const qint64 floodEnd = monotonicNs();
    spinUntil([&] { return flooder.done(); }, 120000);
    flooder.join();
    operatorThread.join();
    const qint64 floodSent = flooder.framesSent();
    const qint64 shownDuringFlood = floodShown;
    spinUntil([&] { return floodShown >= floodSent && int(textMs.size()) >= texts; }, 120000);
    const double catchUpS = floodShown >= floodSent ? std::max<qint64>(0, lastFloodShownNs - floodEnd) / 1e9 : -1;
    spinUntil([&] { return dialogs.shownNs.size() >= askedNs.size(); }, 5000);
    texter.join();

    std::vector<double> dialogMs;
    for (size_t i = 0; i < std::min(askedNs.size(), dialogs.shownNs.size()); ++i)
        dialogMs.push_back((dialogs.shownNs[i] - askedNs[i]) / 1e6);

    const Figures text = figures(textMs);
    const Figures dialog = figures(dialogMs);
    const auto verdict = [](double value, double target) {
        return value <= target ? QStringLiteral("met") : QStringLiteral("MISSED");
    };
    out << QStringLiteral("text flood from Terminal 0 for %1 s: %2 texts sent, %3 shown during the flood (%4 per s)\n")
               .arg(floodSeconds)
               .arg(floodSent)
               .arg(shownDuringFlood)
               .arg(shownDuringFlood / double(floodSeconds), 0, 'f', 0);
    out << QStringLiteral("  Terminal 1's texts in the history: median %1 ms, p99 %2 ms, max %3 ms, %4/%5 shown; "
                          "target p99 <= 50 ms: %6\n")
               .arg(text.median, 0, 'f', 2)
               .arg(text.p99, 0, 'f', 2)
               .arg(text.max, 0, 'f', 2)
               .arg(text.count)
               .arg(texts)
               .arg(verdict(text.p99, 50));
    out << QStringLiteral("  Send command's dialog open: median %1 ms, max %2 ms, %3/%4 opened; target <= 200 ms: %5\n")
               .arg(dialog.median, 0, 'f', 2)
               .arg(dialog.max, 0, 'f', 2)
               .arg(dialog.count)
               .arg(askedNs.size())
               .arg(verdict(dialog.max, 200));
    out << QStringLiteral("  the flood's last text shown %1 s after the flood ended; %2 of %3 shown in all\n")
               .arg(catchUpS, 0, 'f', 2)
               .arg(floodShown)
               .arg(floodSent);
    out.flush();
    return 0;
}
