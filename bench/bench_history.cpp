// What the history costs: appending an entry while it holds its 10,000, with
// and without the list on screen; the memory 10,000 entries of 200 bytes
// take; and how quickly a text reaches the screen at a real Station whose
// history is full, its journal written, while ten Terminals send.
//
//   bench_history           runs everything (about 10 s) and prints the figures
//
// Runs on whatever display Qt is given; QT_QPA_PLATFORM=offscreen needs none.

#include "CodePage.h"
#include "Frame.h"
#include "HistoryModel.h"
#include "HistoryView.h"
#include "QtPlatform.h"
#include "SSocket.h"
#include "Tavrin2.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int TerminalCount = 10;
constexpr int TextsPerTerminal = 40;
constexpr int TextSpacingMs = 100;

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

size_t heapBytes()
{
    return mallinfo2().uordblks;
}

QString entryText(int i)
{
    // 200 bytes on the wire.
    return QStringLiteral("%1 ").arg(i, 8, 10, QLatin1Char('0')) + QString(191, QLatin1Char('m'));
}

struct Figures
{
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Figures figures(std::vector<double> values)
{
    Figures result;
    if (values.empty())
        return result;
    std::sort(values.begin(), values.end());
    result.median = values[values.size() / 2];
    result.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    result.max = values.back();
    return result;
}

void fill(HistoryModel &history)
{
    for (int i = 0; i < HistoryModel::Capacity; ++i)
        history.add(entryText(i), i % TerminalCount, QStringLiteral("192.168.100.%1:50123").arg(i % TerminalCount));
}

// Milliseconds per append at capacity; with `view`, each append is also laid
// out and painted before the next.
std::vector<double> appendTimes(HistoryModel &history, HistoryView *view, int count,
                                HistoryModel::Kind kind = HistoryModel::Kind::Note)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const qint64 start = monotonicNs();
        history.add(entryText(i), 3, QStringLiteral("192.168.100.3:50123"), kind);
        if (view) {
            QCoreApplication::processEvents();
            view->viewport()->repaint();
        }
        times.push_back((monotonicNs() - start) / 1e6);
    }
    return times;
}

// Notes when the history's list has painted, after the paint.
class PaintWatch : public QApplication
{
public:
    using QApplication::QApplication;
    QWidget *watched = nullptr;
    std::function<void()> painted;

    bool notify(QObject *receiver, QEvent *event) override
    {
        const bool paint = event->type() == QEvent::Paint && receiver == watched;
        const bool result = QApplication::notify(receiver, event);
        if (paint && painted)
            painted();
        return result;
    }
};

// Ten Terminals on plain sockets in a thread of their own, each sending
// texts that carry the monotonic time they were written at.
void runTerminals(quint16 port, std::atomic<bool> &go)
{
    std::vector<int> sockets;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < TerminalCount; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            std::perror("connect");
        sockets.push_back(s);
    }
    while (!go)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int round = 0; round < TextsPerTerminal; ++round) {
        for (int s : sockets) {
            const QByteArray frame = FrameCodec::textFrame(QByteArray::number(monotonicNs()) + ' '
                                                           + QByteArray(150, 't'));
            if (::write(s, frame.constData(), size_t(frame.size())) != frame.size())
                std::perror("write");
            std::this_thread::sleep_for(std::chrono::milliseconds(TextSpacingMs / TerminalCount));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int s : sockets)
        ::close(s);
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The Station's journal goes to a folder of its own, not the user's.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    PaintWatch app(argc, argv);
    QTextStream out(stdout);

    {
        const size_t before = heapBytes();
        auto history = std::make_unique<HistoryModel>();
        fill(*history);
        const size_t modelBytes = heapBytes() - before;
        HistoryView view(history.get());
        view.resize(700, 400);
        view.show();
        QCoreApplication::processEvents();
        view.viewport()->repaint();
        const size_t withViewBytes = heapBytes() - before;
        out << "memory for " << HistoryModel::Capacity << " entries of 200 bytes: "
            << QString::number(modelBytes / 1048576.0, 'f', 2) << " MiB in the history, "
            << QString::number(withViewBytes / 1048576.0, 'f', 2) << " MiB with the list laid out (target < 10 MB)\n";

        const Figures shown = figures(appendTimes(*history, &view, 1000));
        out << "append at capacity, list on screen, laid out and painted each time: median "
            << QString::number(shown.median, 'f', 3) << " ms, p99 " << QString::number(shown.p99, 'f', 3)
            << " ms\n";
        // Past its first SenderBound texts, each text of the flood folds its sender's oldest.
        std::vector<double> flood = appendTimes(*history, &view, 3 * HistoryModel::SenderBound, HistoryModel::Kind::Text);
        flood.erase(flood.begin(), flood.begin() + HistoryModel::SenderBound);
        const Figures folding = figures(flood);
        out << "one Terminal's flood folding, list on screen: median " << QString::number(folding.median, 'f', 3)
            << " ms, p99 " << QString::number(folding.p99, 'f', 3) << " ms\n";
        view.setModel(nullptr);
        const Figures modelOnly = figures(appendTimes(*history, nullptr, 5000));
        out << "append at capacity, history alone: median " << QString::number(modelOnly.median, 'f', 4)
            << " ms, p99 " << QString::number(modelOnly.p99, 'f', 4) << " ms (target: median < 0.2 ms)\n";
        out.flush();
    }

    // A real Station with a full history and ten Terminals.
    QtPlatform desktop;
    const quint16 port = freePort();
    CMy2App station(desktop, CSerialPort::NoDevice, port);
    if (!station.InitInstance())
        return 1;
    fill(station.history());
    // Laid out once before the Terminals come.
    QCoreApplication::processEvents();
    station.historyView()->viewport()->repaint();
    station.OnStart();
    std::vector<qint64> pending;
    std::vector<double> latencies;
    QObject::connect(station.m_pListenSocket, &CListenSocket::textReceived, &station,
                     [&](int, const QByteArray &text) { pending.push_back(text.left(text.indexOf(' ')).toLongLong()); });
    app.watched = station.historyView()->viewport();
    app.painted = [&] {
        const qint64 now = monotonicNs();
        for (qint64 sent : pending)
            latencies.push_back((now - sent) / 1e6);
        pending.clear();
    };
    std::atomic<bool> go {false};
    std::thread terminals(runTerminals, port, std::ref(go));
    QElapsedTimer clock;
    clock.start();
    while (station.m_pListenSocket->count() < TerminalCount && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    go = true;
    const qint64 started = clock.elapsed();
    while (int(latencies.size()) < TerminalCount * TextsPerTerminal && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    terminals.join();
    const Figures screen = figures(latencies);
    out << "text to the screen (history list painted), history full, " << TerminalCount << " Terminals, "
        << latencies.size() << " texts in " << (clock.elapsed() - started) / 1000.0 << " s: median "
        << QString::number(screen.median, 'f', 2) << " ms, p99 " << QString::number(screen.p99, 'f', 2)
        << " ms, max " << QString::number(screen.max, 'f', 2) << " ms (target: p99 < 10 ms)\n";
    out << "history entries kept: " << station.history().rowCount() << "\n";
    return 0;
}
