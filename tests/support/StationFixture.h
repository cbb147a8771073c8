#pragma once

#include "LinkTestSupport.h"
#include "MainFrm.h"
#include "PtyLine.h"
#include "SSocket.h"
#include "ScriptedPlatform.h"
#include "Tavrin2.h"

#include <QAction>
#include <QSettings>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

// The Station on a scripted desktop, a pty for COM1 and a free port, with
// plain sockets as its Terminals. Call setUp() from a test's init() and
// QSKIP when it says so.
class StationFixture
{
public:
    // The Station, counting its repaint requests.
    class Station : public CMy2App
    {
    public:
        using CMy2App::CMy2App;
        void Redraw() override
        {
            ++redraws;
            CMy2App::Redraw();
        }
        int redraws = 0;

        // Finding the real ones would open them.
        QList<SerialPortName> serialPorts() const override { return ports; }
        QList<SerialPortName> ports;
    };

    enum class SetUp { Ready, NoPty, Failed };

    SetUp setUp()
    {
        platform = std::make_unique<ScriptedPlatform>();
        // Ten minutes of remembered declines and refused addresses outlast a test.
        platform->realDelays << OperatorApp::DECLINED_MEMORY_MS << CMy2App::DROPPED_BAR_MS;
        pty = std::make_unique<PtyLine>();
        if (!pty->isValid())
            return SetUp::NoPty;
        port = LinkTest::freePort();
        if (port == 0)
            return SetUp::Failed;
        QSettings(QString::fromLatin1(AppFramework::SettingsKey), QStringLiteral("Tavrin2")).clear();
        return remake(pty->name()) ? SetUp::Ready : SetUp::Failed;
    }

    // A new Station on `device`, its window shown.
    bool remake(const QString &device)
    {
        station.reset();
        station = std::make_unique<Station>(*platform, device, port);
        return station->InitInstance();
    }

    void tearDown()
    {
        terminals.clear();
        station.reset();
        pty.reset();
        platform.reset();
    }

    CListenSocket *listener() const { return station->m_pListenSocket; }
    void choose(const QString &label) { station->mainFrame()->commandAction(label)->trigger(); }

    bool start()
    {
        station->OnStart();
        return listener() && listener()->isListening();
    }

    // Terminals connecting from `from` if given; false unless all are admitted.
    bool connectTerminals(int count, const QHostAddress &from = QHostAddress())
    {
        for (int i = 0; i < count; ++i) {
            auto terminal = std::make_unique<QTcpSocket>();
            if (!from.isNull() && !terminal->bind(from))
                return false;
            terminal->connectToHost(QHostAddress::LocalHost, port);
            const int before = listener()->count();
            if (!LinkTest::pumpUntil([&] { return listener()->count() == before + 1; }))
                return false;
            terminals.push_back(std::move(terminal));
        }
        return true;
    }

    // Terminal `index` as the Station's history names it.
    QString peerOf(int index) const
    {
        return QStringLiteral("127.0.0.1:%1").arg(terminals.at(size_t(index))->localPort());
    }

    void sendText(int index, const QString &text)
    {
        terminals.at(size_t(index))->write(FrameCodec::textFrame(LinkTest::cp932(text)));
    }

    // What each Terminal has received, once `expected` could have arrived
    // and a little longer, so that anything more shows too.
    QList<QByteArray> receivedByTerminals(const QList<QByteArray> &expected)
    {
        LinkTest::pumpUntil([&] {
            for (int i = 0; i < expected.size() && i < int(terminals.size()); ++i) {
                if (terminals.at(size_t(i))->bytesAvailable() < expected.at(i).size())
                    return false;
            }
            return true;
        });
        QTest::qWait(100);
        QList<QByteArray> received;
        for (const auto &terminal : terminals)
            received.append(terminal->readAll());
        return received;
    }

    std::unique_ptr<ScriptedPlatform> platform;
    std::unique_ptr<PtyLine> pty;
    quint16 port = 0;
    std::unique_ptr<Station> station;
    std::vector<std::unique_ptr<QTcpSocket>> terminals;
};

// Sets the fixture up in a test's init(), skipping without a pty.
#define STATION_FIXTURE_INIT(fixture)                                                              \
    do {                                                                                           \
        const StationFixture::SetUp ready = (fixture).setUp();                                     \
        if (ready == StationFixture::SetUp::NoPty)                                                 \
            QSKIP("No pseudo-terminal to stand in for COM1");                                      \
        QCOMPARE(ready, StationFixture::SetUp::Ready);                                             \
    } while (false)
