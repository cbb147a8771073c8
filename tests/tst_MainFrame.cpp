#include "MainFrm.h"
#include "ScriptedPlatform.h"
#include "SerialPort.h"
#include "Tavrin.h"
#include "Tavrin2.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_MainFrame : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void menuBarByF10_data();
    void menuBarByF10();
    void everyCommandSaysWhatItDoes_data();
    void everyCommandSaysWhatItDoes();
    void defaultSizeFitsTheScreen_data();
    void defaultSizeFitsTheScreen();
    void defaultSizeOnThisScreen();

private:
    QTemporaryDir m_home;
};

using Keys = QList<Qt::Key>;

void tst_MainFrame::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    qputenv("HOME", m_home.path().toLocal8Bit());
}

void tst_MainFrame::menuBarByF10_data()
{
    QTest::addColumn<Keys>("keys");
    QTest::addColumn<int>("triggered");

    QTest::newRow("Return runs the first") << Keys {Qt::Key_F10, Qt::Key_Return} << 0;
    QTest::newRow("Enter runs the first") << Keys {Qt::Key_F10, Qt::Key_Enter} << 0;
    QTest::newRow("Right moves on") << Keys {Qt::Key_F10, Qt::Key_Right, Qt::Key_Return} << 1;
    QTest::newRow("Left wraps round") << Keys {Qt::Key_F10, Qt::Key_Left, Qt::Key_Return} << 2;
    QTest::newRow("Escape leaves") << Keys {Qt::Key_F10, Qt::Key_Escape} << -1;
    QTest::newRow("F10 again leaves") << Keys {Qt::Key_F10, Qt::Key_F10} << -1;
}

void tst_MainFrame::menuBarByF10()
{
    QFETCH(Keys, keys);
    QFETCH(int, triggered);

    CMainFrame frame(QStringLiteral("Tavrin"));
    QList<QSignalSpy *> spies;
    for (const QString &label : {QStringLiteral("開始"), QStringLiteral("送信"), QStringLiteral("ファイル送信")})
        spies.append(new QSignalSpy(frame.addCommand(label), &QAction::triggered));
    frame.describeCommands({{QStringLiteral("開始"), QStringLiteral("一つ目")},
                            {QStringLiteral("送信"), QStringLiteral("二つ目")},
                            {QStringLiteral("ファイル送信"), QStringLiteral("三つ目")}});
    auto *edit = new QLineEdit;
    frame.setCentralWidget(edit);
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    edit->setFocus();
    QTRY_VERIFY(edit->hasFocus());

    QTest::keyClick(edit, keys.first());
    QVERIFY(frame.menuBar()->hasFocus());
    QCOMPARE(frame.menuBar()->activeAction(), frame.menuBar()->actions().first());
    QCOMPARE(frame.menuBar()->accessibleDescription(), QStringLiteral("一つ目"));
    for (qsizetype i = 1; i < keys.size(); ++i) {
        if (keys.at(i) == Qt::Key_Return && frame.menuBar()->activeAction())
            QCOMPARE(frame.menuBar()->accessibleDescription(), frame.menuBar()->activeAction()->statusTip());
        QTest::keyClick(QApplication::focusWidget(), keys.at(i));
    }

    for (int i = 0; i < spies.size(); ++i)
        QCOMPARE(spies.at(i)->size(), i == triggered ? 1 : 0);
    // The keyboard is back where it was, nothing left highlighted.
    QVERIFY(edit->hasFocus());
    QCOMPARE(frame.menuBar()->activeAction(), nullptr);
    // Typing goes to the window again, not to the menu bar.
    QTest::keyClick(edit, Qt::Key_A);
    QCOMPARE(edit->text(), QStringLiteral("a"));
    qDeleteAll(spies);
}

void tst_MainFrame::everyCommandSaysWhatItDoes_data()
{
    QTest::addColumn<bool>("station");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("Station") << true
                             << QStringList {"開始", "送信", "ファイル送信", "切断", "履歴保存", "設定"};
    QTest::newRow("Terminal") << false
                              << QStringList {"開始", "送信", "ファイル送信", "接続終了", "RSコントロール",
                                              "履歴保存", "終了"};
}

void tst_MainFrame::everyCommandSaysWhatItDoes()
{
    QFETCH(bool, station);
    QFETCH(QStringList, labels);

    ScriptedPlatform platform;
    std::unique_ptr<AppFramework> app;
    if (station)
        app = std::make_unique<CMy2App>(platform, QString::fromLatin1(CSerialPort::NoDevice));
    else
        app = std::make_unique<CMyApp>(platform);
    QVERIFY(app->InitInstance());

    const QList<QAction *> actions = app->mainFrame()->menuBar()->actions();
    QStringList shown;
    QSet<QString> descriptions;
    for (QAction *action : actions) {
        shown.append(action->text());
        QVERIFY2(!action->statusTip().isEmpty(), qPrintable(action->text()));
        QCOMPARE(action->whatsThis(), action->statusTip());
        descriptions.insert(action->statusTip());
    }
    // The labels stay as they are: no added mnemonic letters.
    QCOMPARE(shown, labels);
    QCOMPARE(descriptions.size(), actions.size());
}

void tst_MainFrame::defaultSizeFitsTheScreen_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QSize>("fitted");

    QTest::newRow("large screen") << QRect(0, 0, 1920, 1050) << QSize(760, 560);
    QTest::newRow("just large enough") << QRect(0, 0, 768, 590) << QSize(760, 560);
    // 1280x900 at a scale factor of 2, less a panel.
    QTest::newRow("scaled small screen") << QRect(0, 16, 640, 434) << QSize(632, 404);
    QTest::newRow("narrow only") << QRect(100, 0, 700, 1000) << QSize(692, 560);
    QTest::newRow("low only") << QRect(0, 0, 1000, 500) << QSize(760, 470);
}

void tst_MainFrame::defaultSizeFitsTheScreen()
{
    QFETCH(QRect, available);
    QFETCH(QSize, fitted);

    QCOMPARE(CMainFrame::fittingSize(QSize(760, 560), available, QSize(8, 30)), fitted);
}

void tst_MainFrame::defaultSizeOnThisScreen()
{
    CMainFrame frame(QStringLiteral("Tavrin"));
    QVERIFY(frame.screen());
    const QSize available = frame.screen()->availableGeometry().size();
    frame.resizeToFit(QSize(available.width() + 200, available.height() + 200));
    QVERIFY(frame.width() < available.width());
    QVERIFY(frame.height() < available.height());
    frame.resizeToFit(QSize(200, 150));
    QCOMPARE(frame.size(), QSize(200, 150));
}

QTEST_MAIN(tst_MainFrame)
#include "tst_MainFrame.moc"
