#include "AppFramework.h"
#include "DisplayLine.h"
#include "MainFrm.h"
#include "ScriptedPlatform.h"
#include "StatusView.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTest>

namespace {
// A program window as both programs build theirs: the status view, the
// history and a panel below it.
class PanelApp : public AppFramework
{
public:
    explicit PanelApp(IPlatform &desktop)
        : AppFramework(QStringLiteral("Tavrin2"), desktop)
    {
    }

protected:
    void addCommands(CMainFrame *frame) override { frame->addCommand(QStringLiteral("開始")); }
    StatusView *createView(QWidget *parent) override { return new StatusView(&m_status, &m_message, parent); }
    QWidget *createPanel(QWidget *parent) override { return new QTableView(parent); }

private:
    DisplayLine m_status {52};
    DisplayLine m_message {200};
};
}

class tst_MainFrame : public QObject
{
    Q_OBJECT

private slots:
    void menuBarByF10_data();
    void menuBarByF10();
    void defaultSizeFitsTheScreen_data();
    void defaultSizeFitsTheScreen();
    void defaultSizeOnThisScreen();
    void programWindowFitsThisScreen();
};

using Keys = QList<Qt::Key>;

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

// Run again at QT_SCALE_FACTOR=2, where the screen is smaller than the default size.
void tst_MainFrame::programWindowFitsThisScreen()
{
    QStandardPaths::setTestModeEnabled(true);
    ScriptedPlatform platform;
    PanelApp app(platform);
    QVERIFY(app.InitInstance());
    CMainFrame *frame = app.mainFrame();
    QVERIFY(QTest::qWaitForWindowExposed(frame));
    const QRect available = frame->screen()->availableGeometry();
    QVERIFY2(frame->frameGeometry().width() <= available.width() && frame->frameGeometry().height() <= available.height(),
             qPrintable(QStringLiteral("%1x%2 on %3x%4")
                            .arg(frame->frameGeometry().width())
                            .arg(frame->frameGeometry().height())
                            .arg(available.width())
                            .arg(available.height())));
    if (available.width() >= 800 && available.height() >= 620)
        QCOMPARE(frame->size(), QSize(760, 560));
}

QTEST_MAIN(tst_MainFrame)
#include "tst_MainFrame.moc"
