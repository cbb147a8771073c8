#include "MainFrm.h"
#include "ScriptedPlatform.h"

#ifdef TAVRIN_TEST_STATION
#include "SerialPort.h"
#include "Tavrin2.h"
#else
#include "Tavrin.h"
#endif

#include <QAction>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Built once for each program: the Station's and the Terminal's applications
// cannot share one executable.
class tst_CommandDescriptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyCommandSaysWhatItDoes_data();
    void everyCommandSaysWhatItDoes();

private:
    QTemporaryDir m_home;
    ScriptedPlatform m_platform;
    std::unique_ptr<AppFramework> m_app;
};

void tst_CommandDescriptions::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    qputenv("HOME", m_home.path().toLocal8Bit());
#ifdef TAVRIN_TEST_STATION
    m_app = std::make_unique<CMy2App>(m_platform, QString::fromLatin1(CSerialPort::NoDevice));
#else
    m_app = std::make_unique<CMyApp>(m_platform);
#endif
    QVERIFY(m_app->InitInstance());
}

void tst_CommandDescriptions::cleanupTestCase()
{
    m_app.reset();
}

void tst_CommandDescriptions::everyCommandSaysWhatItDoes_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("label");

#ifdef TAVRIN_TEST_STATION
    const QStringList labels {"開始", "送信", "ファイル送信", "切断", "履歴保存", "設定"};
#else
    const QStringList labels {"開始", "送信", "ファイル送信", "接続終了", "RSコントロール", "設定", "履歴保存", "終了"};
#endif
    for (int i = 0; i < labels.size(); ++i)
        QTest::newRow(qPrintable(labels.at(i))) << i << labels.at(i);
}

void tst_CommandDescriptions::everyCommandSaysWhatItDoes()
{
    QFETCH(int, index);
    QFETCH(QString, label);

    const QList<QAction *> actions = m_app->mainFrame()->menuBar()->actions();
    QVERIFY(index < actions.size());
    QAction *command = actions.at(index);
    // The label as it always was, with no mnemonic letter added.
    QCOMPARE(command->text(), label);
    QVERIFY(!command->statusTip().isEmpty());
    QCOMPARE(command->whatsThis(), command->statusTip());
    for (const QAction *other : actions) {
        if (other != command)
            QVERIFY2(other->statusTip() != command->statusTip(), qPrintable(other->text()));
    }
}

QTEST_MAIN(tst_CommandDescriptions)
#include "tst_CommandDescriptions.moc"
