#include "InputDialog1.h"
#include "ModalDialogAnswer.h"

#include "CodePage.h"

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>

namespace {
QLineEdit *edit(QDialog *dialog, int id)
{
    return qobject_cast<QLineEdit *>(static_cast<CInputDialog *>(dialog)->control(id));
}

QPushButton *button(QDialog *dialog, int id)
{
    return qobject_cast<QPushButton *>(static_cast<CInputDialog *>(dialog)->control(id));
}

// The pixel figures below are worked out by hand for the template font as
// fonts-noto-cjk provides it at 96 dpi: 9-point Noto Sans CJK JP, whose
// alphabet is 361 pixels wide and whose lines are 17 pixels high, so that a
// horizontal dialog unit is 7/4 pixel and a vertical one 17/8.
bool onReferenceFont(const QWidget &dialog)
{
    return QFontInfo(dialog.font()).family() == QLatin1String("Noto Sans CJK JP") && dialog.logicalDpiY() == 96;
}
constexpr char OTHER_FONT[] = "the pixel figures are for 9-point Noto Sans CJK JP at 96 dpi (fonts-noto-cjk)";
}

class tst_PromptDialog : public QObject
{
    Q_OBJECT

private slots:
    void template130();
    void controls_data();
    void controls();
    void focusStartsInInputAndTabSkipsPrompt();
    void closing_data();
    void closing();
    void ruleCountsAndKeepsRefusedTextOpen_data();
    void ruleCountsAndKeepsRefusedTextOpen();
};

void tst_PromptDialog::template130()
{
    CInputDialog dialog;
    if (!onReferenceFont(dialog))
        QSKIP(OTHER_FONT);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ﾀﾞｲｱﾛｸﾞ"));
    // 187 x 93 dialog units.
    QCOMPARE(dialog.size(), QSize(327, 198));
}

void tst_PromptDialog::controls_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QRect>("pixels");
    QTest::addColumn<QString>("label");   // buttons only
    QTest::addColumn<bool>("flag");       // default button, or read-only edit

    // Template rectangles in dialog units: OK 37,72 50x14; Cancel 103,72 50x14;
    // input 29,39 118x14; prompt 29,13 118x14.
    QTest::newRow("OK") << 1 << QRect(65, 153, 87, 30) << QStringLiteral("OK") << true;
    QTest::newRow("Cancel") << 2 << QRect(180, 153, 88, 30) << QStringLiteral("ｷｬﾝｾﾙ") << false;
    QTest::newRow("input") << 1000 << QRect(51, 83, 206, 30) << QString() << false;
    QTest::newRow("prompt") << 1001 << QRect(51, 28, 206, 29) << QString() << true;
}

void tst_PromptDialog::controls()
{
    QFETCH(int, id);
    QFETCH(QRect, pixels);
    QFETCH(QString, label);
    QFETCH(bool, flag);

    CInputDialog dialog;
    QWidget *control = dialog.control(id);
    QVERIFY(control);
    if (onReferenceFont(dialog))
        QCOMPARE(control->geometry(), pixels);
    if (auto *push = qobject_cast<QPushButton *>(control)) {
        QCOMPARE(push->text(), label);
        QCOMPARE(push->isDefault(), flag);
    } else {
        auto *line = qobject_cast<QLineEdit *>(control);
        QVERIFY(line);
        QCOMPARE(line->isReadOnly(), flag);
    }
}

void tst_PromptDialog::focusStartsInInputAndTabSkipsPrompt()
{
    QStringList visited;
    ModalDialogAnswer answer([&visited](QDialog *dialog) {
        for (int i = 0; i < 4; ++i) {
            QWidget *focus = dialog->focusWidget();
            visited.append(focus ? focus->objectName() : QString());
            QTest::keyClick(focus ? focus : dialog, Qt::Key_Tab);
        }
        dialog->reject();
    });
    CInputDialog dialog;
    QCOMPARE(dialog.DoModal(), 2);
    QCOMPARE(answer.count(), 1);
    QCOMPARE(visited, QStringList({"id1000", "id1", "id2", "id1000"}));
}

void tst_PromptDialog::closing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("typed");   // null: nothing typed
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("text");

    QTest::newRow("OK after typing") << "ok" << "127.0.0.1" << "10.0.0.2" << 1 << "10.0.0.2";
    QTest::newRow("OK with empty field") << "ok" << "127.0.0.1" << "" << 1 << "";
    QTest::newRow("OK with Japanese") << "ok" << "" << "日本語ﾃｷｽﾄ" << 1 << "日本語ﾃｷｽﾄ";
    // Beyond QLineEdit's default cap of 32,767 characters.
    QTest::newRow("OK with a long text") << "ok" << "" << QString(40000, QLatin1Char('w')) << 1
                                         << QString(40000, QLatin1Char('w'));
    QTest::newRow("Enter at once") << "enter" << "127.0.0.1" << QString() << 1 << "127.0.0.1";
    QTest::newRow("Enter after typing") << "enter" << "127.0.0.1" << "abc" << 1 << "abc";
    QTest::newRow("Cancel after typing") << "cancel" << "127.0.0.1" << "10.0.0.2" << 2 << "127.0.0.1";
    QTest::newRow("Cancel with empty field") << "cancel" << "" << "typed" << 2 << "";
    QTest::newRow("Esc after typing") << "esc" << "127.0.0.1" << "x" << 2 << "127.0.0.1";
    QTest::newRow("close box after typing") << "close" << "127.0.0.1" << "x" << 2 << "127.0.0.1";
}

void tst_PromptDialog::closing()
{
    QFETCH(QString, how);
    QFETCH(QString, initial);
    QFETCH(QString, typed);
    QFETCH(int, result);
    QFETCH(QString, text);
    // Longer than its field.
    const QString prompt = QStringLiteral("RSコントロールの文字列を入力してください");

    QString shownText;
    QString shownPrompt;
    int promptCursor = -1;
    bool promptFits = false;
    bool typedIntoInput = false;
    bool closedByOperator = false;
    ModalDialogAnswer answer([&](QDialog *dialog) {
        QLineEdit *input = edit(dialog, 1000);
        shownText = input->text();
        shownPrompt = edit(dialog, 1001)->text();
        promptCursor = edit(dialog, 1001)->cursorPosition();
        const QLineEdit *promptField = edit(dialog, 1001);
        const int margins = 2 * (promptField->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, promptField) + 2);
        promptFits = promptField->fontMetrics().horizontalAdvance(prompt) + margins <= promptField->width()
            && dialog->rect().contains(promptField->geometry()) && dialog->rect().contains(input->geometry());
        // Typed at once, as the operator does: it replaces the caller's text.
        typedIntoInput = dialog->focusWidget() == input;
        if (!typed.isNull()) {
            if (typed.isEmpty())
                QTest::keyClick(input, Qt::Key_Delete);
            else
                input->insert(typed);
        }
        if (how == QLatin1String("ok"))
            QTest::mouseClick(button(dialog, 1), Qt::LeftButton);
        else if (how == QLatin1String("cancel"))
            QTest::mouseClick(button(dialog, 2), Qt::LeftButton);
        else if (how == QLatin1String("enter"))
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
        else if (how == QLatin1String("esc"))
            QTest::keyClick(dialog->focusWidget(), Qt::Key_Escape);
        else
            dialog->close();
        closedByOperator = !dialog->isVisible();
        if (!closedByOperator)
            dialog->done(TemplateDialog::IDCANCEL);
    });

    CInputDialog dialog;
    dialog.m_text = initial;
    dialog.m_prompt = prompt;
    QCOMPARE(dialog.DoModal(), result);
    QCOMPARE(answer.count(), 1);
    QVERIFY(closedByOperator);
    QVERIFY(typedIntoInput);
    QCOMPARE(shownText, initial);
    QCOMPARE(shownPrompt, prompt);
    QCOMPARE(promptCursor, 0);
    QVERIFY(promptFits);
    QCOMPARE(dialog.m_text, text);
    QCOMPARE(dialog.m_prompt, prompt);
}

void tst_PromptDialog::ruleCountsAndKeepsRefusedTextOpen_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("counter");
    QTest::addColumn<QString>("refusal");   // empty: taken at the first OK

    const QString what = QStringLiteral("送る文字列");
    QTest::newRow("fits") << "AB" << "2 / 189 バイト" << "";
    QTest::newRow("189 bytes, wide characters") << QString(94, QChar(0x3042)) + 'A' << "189 / 189 バイト" << "";
    QTest::newRow("one byte over") << QString(95, QChar(0x3042)) << "190 / 189 バイト（1 バイト多すぎます）"
                                   << TextRule::tooLongReason(what, 190, 189);
    QTest::newRow("a character CP932 lacks") << QStringLiteral("A\U0001F600") << "1 / 189 バイト（送れない文字があります）"
                                             << TextRule::unencodableReason(what, QStringLiteral("\U0001F600"));
}

void tst_PromptDialog::ruleCountsAndKeepsRefusedTextOpen()
{
    QFETCH(QString, typed);
    QFETCH(QString, counter);
    QFETCH(QString, refusal);

    QString shownCounter;
    QString shownRefusal;
    QString keptText;
    bool clear = false;
    QString retriedCounter;
    QString reasonAfterFix = QStringLiteral("(not retried)");
    ModalDialogAnswer answer([&](QDialog *dialog) {
        QLineEdit *input = edit(dialog, 1000);
        auto *counterLabel = dialog->findChild<QLabel *>(QStringLiteral("byteCounter"));
        auto *reason = dialog->findChild<QLabel *>(QStringLiteral("refusalReason"));
        input->insert(typed);
        shownCounter = counterLabel->text();
        QTest::mouseClick(button(dialog, 1), Qt::LeftButton);
        if (!dialog->isVisible())
            return;
        shownRefusal = reason->isVisible() ? reason->text() : QString();
        keptText = input->text();
        // Counter, reason and buttons one under the other, all inside the dialog.
        const QWidget *ok = button(dialog, 1);
        clear = input->geometry().bottom() < counterLabel->geometry().top()
            && counterLabel->geometry().bottom() < reason->geometry().top()
            && reason->geometry().bottom() < ok->geometry().top() && dialog->rect().contains(ok->geometry())
            && reason->height() >= reason->heightForWidth(reason->width());
        // Fixing the text takes the reason away; OK then closes.
        input->setText(QStringLiteral("OK"));
        retriedCounter = counterLabel->text();
        reasonAfterFix = reason->isVisible() ? reason->text() : QString();
        QTest::mouseClick(button(dialog, 1), Qt::LeftButton);
        if (dialog->isVisible())
            dialog->reject();
    });

    CInputDialog dialog;
    dialog.m_rule = TextRule(QStringLiteral("送る文字列"), 189);
    QCOMPARE(dialog.DoModal(), int(TemplateDialog::IDOK));
    QCOMPARE(shownCounter, counter);
    QCOMPARE(shownRefusal, refusal);
    if (refusal.isEmpty()) {
        QCOMPARE(dialog.m_text, typed);
        QByteArray bytes;
        QVERIFY(CodePage::encode(typed, &bytes));
        QCOMPARE(dialog.m_bytes, bytes);
        return;
    }
    QCOMPARE(keptText, typed);
    QVERIFY(clear);
    QCOMPARE(retriedCounter, QStringLiteral("2 / 189 バイト"));
    QCOMPARE(reasonAfterFix, QString());
    QCOMPARE(dialog.m_text, QStringLiteral("OK"));
    QCOMPARE(dialog.m_bytes, QByteArray("OK"));
}

QTEST_MAIN(tst_PromptDialog)
#include "tst_PromptDialog.moc"
