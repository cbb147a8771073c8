#include "AboutDlg.h"
#include "CodePage.h"
#include "AppFramework.h"
#include "DialogUnits.h"
#include "DisplayLine.h"
#include "HistoryModel.h"
#include "HistoryView.h"
#include "Journal.h"
#include "EmptyDocument.h"
#include "JapaneseTranslation.h"
#include "LinkTestSupport.h"
#include "MainFrm.h"
#include "ModalDialogAnswer.h"
#include "ProgramIcon.h"
#include "QtPlatform.h"
#include "ScriptedPlatform.h"
#include "StatusView.h"
#include "TemplateDialog.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using LinkTest::cp932;

namespace {

const QString ShellTitle = QStringLiteral("Shell");

QStringList linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

void setKeptDays(int days)
{
    QSettings(QString::fromLatin1(AppFramework::SettingsKey), ShellTitle)
        .setValue(QString::fromLatin1(Journal::KeptDaysKey), days);
}

// The smallest rectangle holding every pixel that differs from `background`.
QRect inkBounds(const QImage &image, QRgb background)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != background)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QImage grabView(StatusView *view)
{
    return view->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QRgb windowColour()
{
    return QApplication::palette().color(QPalette::Window).rgb();
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// A program on the shell with one menu item.
class ShellApp : public AppFramework
{
public:
    explicit ShellApp(IPlatform &desktop)
        : AppFramework(ShellTitle, desktop)
    {
    }

    DisplayLine status {52};
    DisplayLine message {200};

protected:
    void addCommands(CMainFrame *frame) override { frame->addCommand(QStringLiteral("開始")); }
    StatusView *createView(QWidget *parent) override { return new StatusView(&status, &message, parent); }
};

// A template dialog with one control of each kind, recording its hooks.
class ProbeDialog : public TemplateDialog
{
public:
    ProbeDialog()
        : TemplateDialog(QStringLiteral("ﾌﾟﾛｰﾌﾞ"), 100, 60)
    {
        addButton(IDOK, QStringLiteral("OK"), 5, 40, 40, 14, true);
        addButton(IDCANCEL, QStringLiteral("ｷｬﾝｾﾙ"), 55, 40, 40, 14, false);
        addEdit(1000, 5, 5, 90, 14);
        addRadio(1002, QStringLiteral("0"), 5, 22, 20, 10);
        addRadio(1003, QStringLiteral("1"), 30, 22, 20, 10);
        addEdit(1001, 55, 22, 40, 14, true);
    }

    QLineEdit *edit() const { return static_cast<QLineEdit *>(control(1000)); }

    QString stored;
    QStringList hooks;

protected:
    void OnInitDialog() override { hooks.append(QStringLiteral("init")); }
    void storeData() override
    {
        hooks.append(QStringLiteral("store"));
        stored = edit()->text();
    }
    void OnDestroy() override { hooks.append(isVisible() ? QStringLiteral("destroy-visible")
                                                         : QStringLiteral("destroy")); }
};

} // namespace

class tst_Shell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void templateFontIsJapanese();
    void dialogUnits_data();
    void dialogUnits();

    void templateDialogLayout();
    void templateDialogResults_data();
    void templateDialogResults();
    void templateDialogFocusAndTabOrder();
    void templateDialogRadiosExclusive();

    void aboutBox_data();
    void aboutBox();
    void programIconsDiffer_data();
    void programIconsDiffer();

    void emptyViewShowsWindowColour();
    void linesDrawnAtTheirPoints_data();
    void linesDrawnAtTheirPoints();
    void windowColourReadAtEachPaint();
    void redrawDefersAndCoalesces();
    void redrawKeepsAccessibilityCurrent();
    void messageLineEndsAtNul();
    void messageLineShowsWhatCannotBeDrawn_data();
    void messageLineShowsWhatCannotBeDrawn();
    void unicodeMessageLineShownWhole();
    void historyShowsControlCharacters();
    void wrappedEntryTailIsMarked();
    void journalWrittenWithinFlushInterval();
    void earlierRunShownMarked_data();
    void earlierRunShownMarked();
    void saveHistoryWritesWhatTheListLetGo_data();
    void saveHistoryWritesWhatTheListLetGo();
    void journalKeepsItsDays();
    void unwritableJournalToldOnce();

    void menuBarByKeyboard();
    void captionFromDocumentTitle();

    void socketLayerFailureShowsMessage104();
    void startUpShowsUntitledWindow();
    void documentArgumentOpensButReadsNothing();
    void unreadableDocumentArgumentEndsStartUp();
    void newAndOpenLeaveLinesUnchanged();
    void recentFileListKeepsFour();
    void onAppAboutOpensAboutBox();

    void progressDialogOverTheMainWindow();
    void openDialogIsJapanese();

private:
    std::unique_ptr<ScriptedPlatform> m_platform;
};

void tst_Shell::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // As both programs start.
    JapaneseTranslation::install(qApp);
}

void tst_Shell::init()
{
    m_platform = std::make_unique<ScriptedPlatform>();
    QSettings(QString::fromLatin1(AppFramework::SettingsKey), ShellTitle).clear();
}

void tst_Shell::cleanup()
{
    m_platform.reset();
}

void tst_Shell::templateFontIsJapanese()
{
    const QFont font = DialogUnits::templateFont();
    QCOMPARE(font.families().value(0), QStringLiteral("ＭＳ Ｐゴシック"));
    QCOMPARE(font.pointSize(), 9);
    // Whatever family answers, it must draw kana and kanji.
    const QFontMetrics metrics(font);
    for (const QChar c : QStringLiteral("ﾀﾞｲｱﾛｸﾞｷｬﾝｾﾙ情報接続"))
        QVERIFY2(metrics.inFont(c), qPrintable(QFontInfo(font).family()));
}

void tst_Shell::dialogUnits_data()
{
    QTest::addColumn<int>("pointSize");
    QTest::newRow("9 pt") << 9;
    QTest::newRow("12 pt") << 12;
    QTest::newRow("20 pt") << 20;
}

void tst_Shell::dialogUnits()
{
    QFETCH(int, pointSize);
    QFont font = DialogUnits::templateFont();
    font.setPointSize(pointSize);
    const DialogUnits units(font);
    const QFontMetrics metrics(font);
    const int averageWidth =
        qRound(metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"))
               / 52.0);

    // Four horizontal units are one average character, eight vertical ones the character height.
    QCOMPARE(units.toPixelsX(4), averageWidth);
    QCOMPARE(units.toPixelsY(8), metrics.height());
    QCOMPARE(units.toPixelsX(0), 0);
    QCOMPARE(units.toPixelsX(400), 100 * averageWidth);
    QCOMPARE(units.toPixelsY(800), 100 * metrics.height());
    // A rectangle's edges are converted separately, so neighbours never overlap or gap.
    const QRect left = units.rect(17, 42, 19, 10);
    const QRect right = units.rect(36, 42, 19, 10);
    QCOMPARE(left.x() + left.width(), right.x());
    QCOMPARE(left.topLeft(), QPoint(units.toPixelsX(17), units.toPixelsY(42)));
    QCOMPARE(units.size(181, 121), QSize(units.toPixelsX(181), units.toPixelsY(121)));
}

void tst_Shell::templateDialogLayout()
{
    ProbeDialog dialog;
    const DialogUnits &units = dialog.units();
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ﾌﾟﾛｰﾌﾞ"));
    QCOMPARE(dialog.size(), units.size(100, 60));
    QCOMPARE(dialog.font().families().value(0), QStringLiteral("ＭＳ Ｐゴシック"));
    QCOMPARE(dialog.control(1)->geometry(), units.rect(5, 40, 40, 14));
    QCOMPARE(dialog.control(1000)->geometry(), units.rect(5, 5, 90, 14));
    QCOMPARE(dialog.control(1003)->geometry(), units.rect(30, 22, 20, 10));
    QCOMPARE(dialog.control(2)->objectName(), QStringLiteral("id2"));
    QCOMPARE(dialog.findChild<QWidget *>(QStringLiteral("id1002")), dialog.control(1002));
    QCOMPARE(dialog.control(2)->accessibleName(), QStringLiteral("ｷｬﾝｾﾙ"));
    QVERIFY(static_cast<QPushButton *>(dialog.control(1))->isDefault());
    QVERIFY(!static_cast<QPushButton *>(dialog.control(2))->isDefault());
    QVERIFY(static_cast<QLineEdit *>(dialog.control(1001))->isReadOnly());
    QVERIFY(!dialog.edit()->isReadOnly());
    QCOMPARE(dialog.control(4711), nullptr);
    // No context-help button, but a close box.
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
}

void tst_Shell::templateDialogResults_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("stored");
    QTest::newRow("OK button") << "ok" << int(TemplateDialog::IDOK) << "typed";
    QTest::newRow("Enter") << "enter" << int(TemplateDialog::IDOK) << "typed";
    QTest::newRow("Cancel button") << "cancel" << int(TemplateDialog::IDCANCEL) << "";
    QTest::newRow("Esc") << "esc" << int(TemplateDialog::IDCANCEL) << "";
    QTest::newRow("close box") << "close" << int(TemplateDialog::IDCANCEL) << "";
}

void tst_Shell::templateDialogResults()
{
    QFETCH(QString, how);
    QFETCH(int, result);
    QFETCH(QString, stored);

    ProbeDialog dialog;
    ModalDialogAnswer answer([&](QDialog *shown) {
        QCOMPARE(shown, &dialog);
        QCOMPARE(dialog.hooks, QStringList {QStringLiteral("init")});
        dialog.edit()->setText(QStringLiteral("typed"));
        if (how == QLatin1String("ok"))
            QTest::mouseClick(dialog.control(TemplateDialog::IDOK), Qt::LeftButton);
        else if (how == QLatin1String("enter"))
            QTest::keyClick(&dialog, Qt::Key_Return);
        else if (how == QLatin1String("cancel"))
            QTest::mouseClick(dialog.control(TemplateDialog::IDCANCEL), Qt::LeftButton);
        else if (how == QLatin1String("esc"))
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
    });
    QCOMPARE(dialog.DoModal(), result);
    QCOMPARE(answer.count(), 1);
    QCOMPARE(dialog.stored, stored);
    QStringList hooks {QStringLiteral("init")};
    if (result == TemplateDialog::IDOK)
        hooks << QStringLiteral("store");
    hooks << QStringLiteral("destroy");
    QCOMPARE(dialog.hooks, hooks);
}

void tst_Shell::templateDialogFocusAndTabOrder()
{
    ProbeDialog dialog;
    QList<QWidget *> seen;
    ModalDialogAnswer answer([&](QDialog *) {
        QTRY_VERIFY(dialog.isActiveWindow());
        // The first control that takes focus: OK.
        QTRY_COMPARE(QApplication::focusWidget(), dialog.control(TemplateDialog::IDOK));
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen.append(QApplication::focusWidget());
        }
        dialog.reject();
    });
    dialog.DoModal();
    // Tab goes through the tab stops in template order: the radio buttons
    // are one stop, the read-only field none.
    const QList<QWidget *> expected {dialog.control(2), dialog.control(1000), dialog.control(1002),
                                     dialog.control(1)};
    QCOMPARE(seen, expected);
}

void tst_Shell::templateDialogRadiosExclusive()
{
    ProbeDialog dialog;
    auto *first = static_cast<QRadioButton *>(dialog.control(1002));
    auto *second = static_cast<QRadioButton *>(dialog.control(1003));
    QVERIFY(!first->isChecked());
    QVERIFY(!second->isChecked());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(first, Qt::LeftButton);
    QVERIFY(first->isChecked());
    QTest::mouseClick(second, Qt::LeftButton);
    QVERIFY(second->isChecked());
    QVERIFY(!first->isChecked());
    dialog.reject();
}

void tst_Shell::aboutBox_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("version");
    QTest::newRow("Station") << "Tavrin2" << "Tavrin2のﾊﾞｰｼﾞｮﾝ情報" << "Tavrin2 Version 1.0";
    QTest::newRow("Terminal") << "Tavrin" << "Tavrinのﾊﾞｰｼﾞｮﾝ情報" << "Tavrin Version 1.0";
}

void tst_Shell::aboutBox()
{
    QFETCH(QString, program);
    QFETCH(QString, caption);
    QFETCH(QString, version);

    CAboutDlg about(program);
    const DialogUnits &units = about.units();
    QCOMPARE(about.windowTitle(), caption);
    QCOMPARE(about.size(), units.size(235, 55));

    auto *ok = qobject_cast<QPushButton *>(about.control(TemplateDialog::IDOK));
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->geometry(), units.rect(178, 7, 50, 14));

    auto *text = about.findChild<QLabel *>(QStringLiteral("version"));
    QVERIFY(text);
    QCOMPARE(text->text(), version);
    QCOMPARE(text->textFormat(), Qt::PlainText);
    QCOMPARE(text->geometry(), units.rect(40, 10, 119, 8));

    auto *icon = about.findChild<QLabel *>(QStringLiteral("icon"));
    QVERIFY(icon);
    QCOMPARE(icon->pos(), units.rect(11, 17, 20, 20).topLeft());
    QVERIFY(!icon->pixmap().isNull());
    QCOMPARE(icon->pixmap().size(), QSize(32, 32));

    ModalDialogAnswer answer([&](QDialog *) {
        QTRY_COMPARE(QApplication::focusWidget(), ok);
        QTest::keyClick(ok, Qt::Key_Return);
    });
    QCOMPARE(about.DoModal(), int(TemplateDialog::IDOK));
    QCOMPARE(answer.count(), 1);
}

void tst_Shell::programIconsDiffer_data()
{
    QTest::addColumn<int>("side");
    for (const int side : {16, 32, 48, 256})
        QTest::addRow("%d px", side) << side;
}

void tst_Shell::programIconsDiffer()
{
    QFETCH(int, side);
    const QImage station = ProgramIcon::draw(QStringLiteral("Tavrin2"), side).toImage();
    const QImage terminal = ProgramIcon::draw(QStringLiteral("Tavrin"), side).toImage();
    QCOMPARE(station.size(), QSize(side, side));
    int differing = 0;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x)
            differing += station.pixel(x, y) != terminal.pixel(x, y);
    }
    // Told apart at a glance, not by a few pixels of their marks.
    QVERIFY2(differing > side * side / 2, qPrintable(QString::number(differing)));
}

void tst_Shell::emptyViewShowsWindowColour()
{
    DisplayLine status(52);
    DisplayLine message(200);
    StatusView view(&status, &message);
    view.resize(320, 120);
    const QImage image = grabView(&view);
    QCOMPARE(image.size(), QSize(320, 120));
    QCOMPARE(inkBounds(image, windowColour()), QRect());
}

void tst_Shell::linesDrawnAtTheirPoints_data()
{
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<QString>("messageText");
    QTest::addColumn<int>("top");
    QTest::newRow("status line") << "接続待ち" << "" << 10;
    QTest::newRow("message line") << "" << "0> abc" << 30;
    QTest::newRow("message in kana") << "" << "3> ｱｲｳｴｵ" << 30;
}

void tst_Shell::linesDrawnAtTheirPoints()
{
    QFETCH(QString, statusText);
    QFETCH(QString, messageText);
    QFETCH(int, top);

    DisplayLine status(52);
    DisplayLine message(200);
    status.set(cp932(statusText));
    message.set(cp932(messageText));
    StatusView view(&status, &message);
    view.resize(320, 120);
    QCOMPARE(view.statusText(), statusText);
    QCOMPARE(view.messageText(), messageText);

    const QRect ink = inkBounds(grabView(&view), windowColour());
    QVERIFY(!ink.isEmpty());
    // The point is the top-left corner of the text: ink starts right of and below it and
    // stays within the 20 pixels down to the next line.
    QVERIFY2(ink.left() >= 10 && ink.left() <= 14, qPrintable(QString::number(ink.left())));
    QVERIFY2(ink.top() >= top && ink.top() < top + 10, qPrintable(QString::number(ink.top())));
    QVERIFY2(ink.bottom() < top + 20, qPrintable(QString::number(ink.bottom())));
}

void tst_Shell::windowColourReadAtEachPaint()
{
    DisplayLine status(52);
    DisplayLine message(200);
    StatusView view(&status, &message);
    view.resize(100, 60);
    const QPalette original = QApplication::palette();
    QPalette changed = original;
    changed.setColor(QPalette::Window, QColor(12, 34, 56));
    QApplication::setPalette(changed);
    const QImage image = grabView(&view);
    QApplication::setPalette(original);
    QCOMPARE(image.pixel(0, 0), QColor(12, 34, 56).rgb());
    QCOMPARE(inkBounds(image, QColor(12, 34, 56).rgb()), QRect());
}

void tst_Shell::redrawDefersAndCoalesces()
{
    DisplayLine status(52);
    DisplayLine message(200);
    StatusView view(&status, &message);
    view.resize(200, 60);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTest::qWait(50);
    PaintCounter paints(&view);

    status.set(cp932(QStringLiteral("接続待ち")));
    view.Redraw();
    message.set(cp932(QStringLiteral("0> a")));
    view.Redraw();
    view.Redraw();
    QCOMPARE(paints.count, 0);
    QTRY_COMPARE(paints.count, 1);
    QTest::qWait(50);
    QCOMPARE(paints.count, 1);
}

void tst_Shell::redrawKeepsAccessibilityCurrent()
{
    DisplayLine status(52);
    DisplayLine message(200);
    StatusView view(&status, &message);
    QCOMPARE(view.accessibleName(), QString());
    QCOMPARE(view.accessibleDescription(), QString());

    status.set(cp932(QStringLiteral("2人と接続中")));
    message.set(cp932(QStringLiteral("1> こんにちは")));
    view.Redraw();
    QCOMPARE(view.accessibleName(), QStringLiteral("2人と接続中"));
    QCOMPARE(view.accessibleDescription(), QStringLiteral("1> こんにちは"));

    status.set(QByteArray());
    view.Redraw();
    QCOMPARE(view.accessibleName(), QString());
    QCOMPARE(view.accessibleDescription(), QStringLiteral("1> こんにちは"));
}

void tst_Shell::messageLineEndsAtNul()
{
    DisplayLine status(52);
    DisplayLine cut(200);
    DisplayLine plain(200);
    cut.set(QByteArray("0> seen") + '\0' + "\x1b[2J unseen");
    plain.set("0> seen");
    StatusView cutView(&status, &cut);
    StatusView plainView(&status, &plain);
    cutView.resize(320, 60);
    plainView.resize(320, 60);
    QCOMPARE(cutView.messageText(), QStringLiteral("0> seen"));
    QCOMPARE(grabView(&cutView), grabView(&plainView));
}

void tst_Shell::messageLineShowsWhatCannotBeDrawn_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("escape sequence") << QByteArray("0> \x1b]0;owned\x07\x08!") << QStringLiteral("0> ␛]0;owned␇␈!");
    QTest::newRow("line breaks") << QByteArray("0> a\r\nb") << QStringLiteral("0> a b");
    QTest::newRow("stray byte") << QByteArray("0> \x80x") << QStringLiteral("0> \uFFFDx");
    QTest::newRow("lead byte without its trail") << QByteArray("0> \x88\x9f\x88 z") << QStringLiteral("0> 亜\uFFFD z");
    QTest::newRow("lone lead byte at the end") << QByteArray("0> \x88\x9f\x88") << QStringLiteral("0> 亜\uFFFD");
}

void tst_Shell::messageLineShowsWhatCannotBeDrawn()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    DisplayLine status(52);
    DisplayLine message(200);
    message.set(bytes);
    StatusView view(&status, &message);
    view.Redraw();
    QCOMPARE(view.messageText(), shown);
    QCOMPARE(view.accessibleDescription(), shown);
}

void tst_Shell::unicodeMessageLineShownWhole()
{
    DisplayLine status(52);
    DisplayLine message(200);
    const QString euros(300, QChar(0x20AC));
    message.setUnicode(QStringLiteral("0> ") + euros + QStringLiteral(" 😀\x1b\u202E!") + QChar(0) + QStringLiteral("z"));
    StatusView view(&status, &message);
    view.Redraw();
    QCOMPARE(view.messageText(), QStringLiteral("0> ") + euros + QStringLiteral(" 😀␛\uFFFD!␀z"));
    QCOMPARE(view.accessibleDescription(), view.messageText());

    // A classic text after it is cut to the line again.
    message.set(QByteArray(300, 'a'));
    view.Redraw();
    QCOMPARE(view.messageText(), QString(199, QLatin1Char('a')));
}

void tst_Shell::historyShowsControlCharacters()
{
    HistoryModel history;
    history.add(QStringLiteral("受信: a\x1b[2J\x07\x08" "b\r\n\x00" "c"), 0, QStringLiteral("127.0.0.1:5000"));
    const QString line = history.line(0, true);
    QVERIFY2(line.endsWith(QStringLiteral(" 端末 0 (127.0.0.1:5000) 受信: a␛[2J␇␈b ␀c")), qPrintable(line));
    QCOMPARE(history.index(0, 0).data().toString(), history.line(0));

    QBuffer saved;
    QVERIFY(saved.open(QIODevice::WriteOnly));
    QVERIFY(history.write(saved));
    QCOMPARE(saved.data(), (line + QLatin1Char('\n')).toUtf8());
}

void tst_Shell::wrappedEntryTailIsMarked()
{
    // Padded so that its tail wraps to the start of a line, where it would read as an entry.
    const QString forged = QStringLiteral("端末 0 (127.0.0.1:5000) 受信: 送金してください");
    HistoryModel history;
    history.add(QStringLiteral("受信: 確認") + QString(300, QLatin1Char(' ')) + forged, 1, QStringLiteral("127.0.0.1:5001"));
    HistoryView view(&history);
    view.resize(400, 300);
    const QList<HistoryView::WrappedLine> lines = view.wrappedLines(0);
    QVERIFY(lines.size() > 1);
    QVERIFY(!lines.first().continuation);
    QCOMPARE(lines.first().x, 0.0);
    bool tailFound = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QVERIFY(lines.at(i).continuation);
        QVERIFY2(lines.at(i).x > 0, qPrintable(lines.at(i).text));
        tailFound = tailFound || lines.at(i).text.contains(QStringLiteral("送金"));
    }
    QVERIFY(tailFound);
}

void tst_Shell::journalWrittenWithinFlushInterval()
{
    m_platform->realDelays.remove(Journal::FlushIntervalMs);
    ShellApp app(*m_platform);
    const QString file = app.journal().fileOf(QDate::currentDate());
    app.history().add(QStringLiteral("一"));
    app.history().add(QStringLiteral("受信: 二\x1b"), 3, QStringLiteral("127.0.0.1:5000"), HistoryModel::Kind::Text);
    QVERIFY(linesOf(file).isEmpty());
    // One timer for the two, within the interval.
    QCOMPARE(m_platform->pauses, QList<int>({Journal::FlushIntervalMs}));
    QTRY_COMPARE(linesOf(file), QStringList({app.history().line(0, true), app.history().line(1, true)}));
    QVERIFY(linesOf(file).at(1).endsWith(QStringLiteral(" 端末 3 (127.0.0.1:5000) 受信: 二␛")));
}

void tst_Shell::earlierRunShownMarked_data()
{
    QTest::addColumn<int>("earlier");
    QTest::newRow("a few") << 3;
    QTest::newRow("more than are shown") << AppFramework::EarlierEntries + 50;
}

void tst_Shell::earlierRunShownMarked()
{
    QFETCH(int, earlier);
    QStringList written;
    {
        ShellApp first(*m_platform);
        for (int i = 0; i < earlier; ++i) {
            first.history().add(QStringLiteral("前の %1").arg(i));
            written.append(first.history().line(i, true));
        }
    }
    ShellApp second(*m_platform);
    second.history().add(QStringLiteral("今回"));
    const int shown = std::min(earlier, int(AppFramework::EarlierEntries));
    QCOMPARE(second.history().rowCount(), shown + 1);
    for (int row = 0; row < shown; ++row) {
        QCOMPARE(second.history().entry(row).kind, HistoryModel::Kind::EarlierRun);
        QVERIFY(second.history().line(row).contains(QStringLiteral(" ［前回］前の %1").arg(earlier - shown + row)));
    }
    // Saved is this run alone.
    const QString saved = m_platform->dataPath + QStringLiteral("/saved.txt");
    m_platform->queueSaveFileName(saved);
    second.OnSaveHistory();
    QCOMPARE(linesOf(saved), QStringList({second.history().line(shown, true)}));
    // The earlier run is not journaled twice.
    QCOMPARE(linesOf(second.journal().fileOf(QDate::currentDate())), written + linesOf(saved));
}

void tst_Shell::saveHistoryWritesWhatTheListLetGo_data()
{
    QTest::addColumn<int>("keptDays");
    QTest::addColumn<int>("savedLines");
    QTest::newRow("journal") << Journal::DefaultKeptDays << HistoryModel::Capacity + 5;
    QTest::newRow("no journal") << 0 << HistoryModel::Capacity;
}

void tst_Shell::saveHistoryWritesWhatTheListLetGo()
{
    QFETCH(int, keptDays);
    QFETCH(int, savedLines);
    setKeptDays(keptDays);
    ShellApp app(*m_platform);
    for (int i = 0; i < HistoryModel::Capacity + 5; ++i)
        app.history().add(QStringLiteral("記録 %1").arg(i));
    const QString saved = m_platform->dataPath + QStringLiteral("/saved.txt");
    m_platform->queueSaveFileName(saved);
    const QDate before = QDate::currentDate();
    app.OnSaveHistory();
    const QDate after = QDate::currentDate();
    QCOMPARE(m_platform->messages, QStringList());
    // Today's name among the documents.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const auto suggestion = [&](const QDate &day) {
        return documents + QStringLiteral("/Shell-履歴-") + day.toString(QStringLiteral("yyyy-MM-dd")) + ".txt";
    };
    QCOMPARE(m_platform->saveSuggestions.size(), 1);
    QVERIFY2(QStringList({suggestion(before), suggestion(after)}).contains(m_platform->saveSuggestions.first()),
             qPrintable(m_platform->saveSuggestions.first()));
    const QStringList lines = linesOf(saved);
    QCOMPARE(lines.size(), savedLines);
    QVERIFY(lines.first().endsWith(QStringLiteral(" 記録 %1").arg(HistoryModel::Capacity + 5 - savedLines)));
    QCOMPARE(lines.last(), app.history().line(app.history().rowCount() - 2, true));
    // Then the history notes where it went.
    QCOMPARE(app.history().entry(app.history().rowCount() - 1).text,
             QStringLiteral("履歴を %1 に保存しました").arg(QDir::toNativeSeparators(saved)));
    QCOMPARE(QFileInfo::exists(app.journal().fileOf(QDate::currentDate())), keptDays > 0);
}

void tst_Shell::journalKeepsItsDays()
{
    setKeptDays(30);
    const QDate today = QDate::currentDate();
    const QString folder = m_platform->dataPath + QStringLiteral("/history/");
    QVERIFY(QDir().mkpath(folder));
    const auto dayFile = [&](const QString &program, int daysAgo) {
        return folder + program + today.addDays(-daysAgo).toString(QStringLiteral("-yyyy-MM-dd")) + QStringLiteral(".txt");
    };
    const QStringList kept {dayFile(ShellTitle, 29), dayFile(ShellTitle, 0), dayFile(QStringLiteral("Other"), 40)};
    const QStringList removed {dayFile(ShellTitle, 30), dayFile(ShellTitle, 400)};
    for (const QString &path : kept + removed) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("2020-01-01T00:00:00.000+00:00 古い記録\n");
    }
    ShellApp app(*m_platform);
    for (const QString &path : kept)
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
    for (const QString &path : removed)
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    // The two days kept of this program.
    QCOMPARE(app.history().rowCount(), 2);
}

void tst_Shell::unwritableJournalToldOnce()
{
    QFile blocker(m_platform->dataPath + QStringLiteral("/file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    m_platform->dataPath = blocker.fileName();
    ShellApp app(*m_platform);
    QSignalSpy state(&app.journal(), &Journal::stateChanged);
    for (int i = 0; i < 3; ++i) {
        app.history().add(QStringLiteral("記録 %1").arg(i));
        app.journal().flush();
    }
    QCOMPARE(state.count(), 1);
    QCOMPARE(app.journal().state(), Journal::State::Failed);
    QTRY_COMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("履歴ファイル")));
    // The list runs on and says so.
    QCOMPARE(app.history().entry(app.history().rowCount() - 1).text, m_platform->messages.first());
    app.history().add(QStringLiteral("その後"));
    QCOMPARE(app.history().entry(app.history().rowCount() - 1).text, QStringLiteral("その後"));
}

void tst_Shell::menuBarByKeyboard()
{
    CMainFrame frame(QStringLiteral("Tavrin"));
    const QStringList labels {QStringLiteral("開始"), QStringLiteral("送信"), QStringLiteral("ファイル送信")};
    for (const QString &label : labels)
        frame.addCommand(label);
    const QList<QAction *> actions = frame.menuBar()->actions();
    QCOMPARE(actions.size(), labels.size());
    for (int i = 0; i < labels.size(); ++i) {
        QCOMPARE(actions.at(i)->text(), labels.at(i));
        QCOMPARE(actions.at(i)->menu(), nullptr);
        QCOMPARE(frame.commandAction(labels.at(i)), actions.at(i));
    }
    QSignalSpy fileSend(actions.at(2), &QAction::triggered);
    QVERIFY(fileSend.isValid());
    frame.setCentralWidget(new QWidget);
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));

    // Alt alone enters the menu bar; Right moves to the next item; Return sends it.
    QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : &frame;
    QTest::keyPress(target, Qt::Key_Alt, Qt::AltModifier);
    QTest::keyRelease(target, Qt::Key_Alt, Qt::NoModifier);
    QTRY_VERIFY(frame.menuBar()->hasFocus());
    QCOMPARE(frame.menuBar()->activeAction(), actions.at(0));
    QTest::keyClick(frame.menuBar(), Qt::Key_Right);
    QTest::keyClick(frame.menuBar(), Qt::Key_Right);
    QCOMPARE(frame.menuBar()->activeAction(), actions.at(2));
    QTest::keyClick(frame.menuBar(), Qt::Key_Return);
    QCOMPARE(fileSend.size(), 1);
}

void tst_Shell::captionFromDocumentTitle()
{
    CMainFrame frame(QStringLiteral("Tavrin2"));
    QCOMPARE(frame.windowTitle(), QStringLiteral("Tavrin2"));
    frame.setDocumentTitle(EmptyDocument::untitledTitle());
    QCOMPARE(frame.windowTitle(), QStringLiteral("無題 - Tavrin2"));
    frame.setDocumentTitle(QStringLiteral("memo.txt"));
    QCOMPARE(frame.windowTitle(), QStringLiteral("memo.txt - Tavrin2"));
}

void tst_Shell::socketLayerFailureShowsMessage104()
{
    m_platform->socketsAvailable = false;
    ShellApp app(*m_platform);
    QVERIFY(!app.InitInstance());
    QCOMPARE(m_platform->messages, QStringList {QStringLiteral("Windows ｿｹｯﾄの初期化に失敗しました。")});
    QCOMPARE(app.mainFrame(), nullptr);
    // A repaint request without a window is harmless.
    app.Redraw();
}

void tst_Shell::startUpShowsUntitledWindow()
{
    ShellApp app(*m_platform);
    QVERIFY(app.InitInstance());
    QVERIFY(m_platform->messages.isEmpty());
    CMainFrame *frame = app.mainFrame();
    QVERIFY(frame);
    QVERIFY(frame->isVisible());
    QCOMPARE(frame->windowTitle(), QStringLiteral("無題 - Shell"));
    QCOMPARE(app.documentTitle(), QStringLiteral("無題"));
    QVERIFY(frame->centralWidget()->isAncestorOf(app.view()));
    QVERIFY(!frame->windowIcon().isNull());
    QVERIFY(QTest::qWaitForWindowExposed(frame));
    // Below the menu bar the view shows nothing but the window colour.
    QCOMPARE(inkBounds(grabView(app.view()), windowColour()), QRect());
    QVERIFY(app.recentFiles().isEmpty());
}

void tst_Shell::documentArgumentOpensButReadsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("memo.txt"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a document");
    file.close();

    ShellApp app(*m_platform);
    QVERIFY(app.InitInstance({QStringLiteral("-style=whatever"), path}));
    QCOMPARE(app.mainFrame()->windowTitle(), QStringLiteral("memo.txt - Shell"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("not a document"));
    QVERIFY(app.status.isEmpty());
    QVERIFY(app.message.isEmpty());
    QCOMPARE(app.recentFiles(), QStringList {QFileInfo(path).absoluteFilePath()});
}

void tst_Shell::unreadableDocumentArgumentEndsStartUp()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("missing.txt"));
    ShellApp app(*m_platform);
    QVERIFY(!app.InitInstance({missing}));
    QCOMPARE(m_platform->messages.size(), 1);
    QVERIFY(m_platform->messages.first().contains(missing));
    QVERIFY(m_platform->messages.first().contains(QStringLiteral("開けませんでした")));
    QVERIFY(app.recentFiles().isEmpty());
}

void tst_Shell::newAndOpenLeaveLinesUnchanged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("plan.dat"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    ShellApp app(*m_platform);
    QVERIFY(app.InitInstance());
    CMainFrame *frame = app.mainFrame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    app.status.set(cp932(QStringLiteral("1人と接続中")));
    app.message.set(cp932(QStringLiteral("0> abc")));
    app.Redraw();

    m_platform->queueOpenFileName(path);
    QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(m_platform->openDialogs, 1);
    QCOMPARE(frame->windowTitle(), QStringLiteral("plan.dat - Shell"));
    QCOMPARE(app.status.bytes(), cp932(QStringLiteral("1人と接続中")));
    QCOMPARE(app.message.bytes(), cp932(QStringLiteral("0> abc")));

    // The operator cancels the Open dialog: nothing changes.
    QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(m_platform->openDialogs, 2);
    QCOMPARE(frame->windowTitle(), QStringLiteral("plan.dat - Shell"));

    QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(frame->windowTitle(), QStringLiteral("無題 - Shell"));
    QCOMPARE(app.status.bytes(), cp932(QStringLiteral("1人と接続中")));
    QCOMPARE(app.message.bytes(), cp932(QStringLiteral("0> abc")));
    QCOMPARE(app.view()->accessibleName(), QStringLiteral("1人と接続中"));
    QCOMPARE(app.view()->accessibleDescription(), QStringLiteral("0> abc"));
}

void tst_Shell::recentFileListKeepsFour()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList paths;
    for (int i = 0; i < 5; ++i) {
        paths.append(dir.filePath(QStringLiteral("file%1").arg(i)));
        QFile file(paths.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    ShellApp app(*m_platform);
    QVERIFY(app.InitInstance());
    for (const QString &path : paths) {
        m_platform->queueOpenFileName(path);
        app.OnFileOpen();
    }
    // Opening one again moves it to the front instead of listing it twice.
    m_platform->queueOpenFileName(paths.at(2));
    app.OnFileOpen();
    QCOMPARE(app.recentFiles(), QStringList({paths.at(2), paths.at(4), paths.at(3), paths.at(1)}));

    // Kept under the settings key, per program.
    QSettings settings(QStringLiteral("Local AppWizard-Generated Applications"), ShellTitle);
    QCOMPARE(settings.value(QStringLiteral("Recent File List/File1")).toString(), paths.at(2));
    QVERIFY(!settings.contains(QStringLiteral("Recent File List/File5")));
}

void tst_Shell::onAppAboutOpensAboutBox()
{
    ShellApp app(*m_platform);
    QVERIFY(app.InitInstance());
    QString caption;
    ModalDialogAnswer answer([&](QDialog *dialog) {
        caption = dialog->windowTitle();
        dialog->accept();
    });
    app.OnAppAbout();
    QCOMPARE(answer.count(), 1);
    QCOMPARE(caption, QStringLiteral("Shellのﾊﾞｰｼﾞｮﾝ情報"));
}

void tst_Shell::progressDialogOverTheMainWindow()
{
    QMainWindow window;
    QAction *command = window.menuBar()->addAction(QStringLiteral("送信"));
    auto *accelerator = new QAction(&window);
    accelerator->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    window.addAction(accelerator);
    window.resize(640, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QtPlatform platform;
    auto *owner = new QObject;
    IProgress *progress = platform.openProgress(6, owner);
    QSignalSpy cancels(progress, &IProgress::canceled);

    const QPointer<QProgressDialog> dialog = window.findChild<QProgressDialog *>();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    // No command can start meanwhile, yet the window is not blocked.
    QSignalSpy triggered(command, &QAction::triggered);
    QVERIFY(triggered.isValid());
    const QPoint commandAt = window.menuBar()->actionGeometry(command).center();
    QTest::mouseClick(window.menuBar(), Qt::LeftButton, {}, commandAt);
    QCOMPARE(triggered.count(), 0);
    QVERIFY(!accelerator->isEnabled());
    QVERIFY(!QGuiApplication::modalWindow());
    QCOMPARE(dialog->maximum(), 6);
    progress->setLabelText(QStringLiteral("2 / 6"));
    progress->setValue(2);
    QCOMPARE(dialog->labelText(), QStringLiteral("2 / 6"));
    // It leaves the status and message lines at the window's top in view.
    QVERIFY(dialog->geometry().top() >= window.geometry().top() + 50);
    QVERIFY(window.geometry().contains(dialog->geometry()));
    QTRY_COMPARE(dialog->value(), 2);
    const auto buttons = dialog->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons[0]->text(), QStringLiteral("キャンセル"));

    QTest::mouseClick(buttons[0], Qt::LeftButton);
    QCOMPARE(cancels.count(), 1);
    // The dialog stays until its owner lets it go.
    QTest::qWait(50);
    QVERIFY(dialog);
    delete owner;
    QTRY_VERIFY(dialog.isNull());
    QTest::mouseClick(window.menuBar(), Qt::LeftButton, {}, commandAt);
    QCOMPARE(triggered.count(), 1);
    QVERIFY(accelerator->isEnabled());

    // While one shows, closing the main window cancels it and still ends the
    // program's event loop (which only then reports the last window closed).
    QObject second;
    progress = platform.openProgress(3, &second);
    QSignalSpy secondCancels(progress, &IProgress::canceled);
    QSignalSpy lastWindowClosed(qApp, &QGuiApplication::lastWindowClosed);
    QVERIFY(lastWindowClosed.isValid());
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer::singleShot(2000, qApp, &QCoreApplication::quit);
    QApplication::exec();
    QCOMPARE(lastWindowClosed.count(), 1);
    QCOMPARE(secondCancels.count(), 1);
}

void tst_Shell::openDialogIsJapanese()
{
    QStringList buttons;
    QString fileNameLabel;
    ModalDialogAnswer answer([&](QDialog *dialog) {
        QVERIFY(qobject_cast<QFileDialog *>(dialog));
        for (const QPushButton *button : dialog->findChild<QDialogButtonBox *>()->findChildren<QPushButton *>())
            buttons.append(button->text());
        fileNameLabel = dialog->findChild<QLabel *>(QStringLiteral("fileNameLabel"))->text();
        dialog->reject();
    });
    QtPlatform platform;
    QCOMPARE(platform.getOpenFileName(), QString());
    QCOMPARE(answer.count(), 1);
    buttons.sort();
    QCOMPARE(buttons, QStringList({QStringLiteral("キャンセル"), QStringLiteral("開く(&O)")}));
    QCOMPARE(fileNameLabel, QStringLiteral("ファイル名(&N):"));
}

QTEST_MAIN(tst_Shell)
#include "tst_Shell.moc"
