#include "InputDialog1.h"
#include "ModalDialogAnswer.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {
QRadioButton *radio(QDialog *dialog, int slot)
{
    return dialog->findChild<QRadioButton *>(QStringLiteral("id%1").arg(CInputDialog::IDC_SLOT0 + slot));
}

// Enter where the focus is. Should the dialog refuse with a message box,
// the box is closed and the dialog cancelled: the test fails, not hangs.
void pressEnter(QDialog *dialog)
{
    ModalDialogAnswer refusal([dialog](QDialog *box) {
        box->reject();
        dialog->reject();
    });
    QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
}
}

// The Station's client-choice dialog as the operator works it.
class tst_ChoiceDialog : public QObject
{
    Q_OBJECT

private slots:
    void templateControls();
    void choiceRecordedWhenDialogGoesAway_data();
    void choiceRecordedWhenDialogGoesAway();
    void keyboardAlone();
    void oneTerminalIsPreselected();
    void okWithoutSlotAsksAndStaysOpen();
    void allTerminalsOnlyWhereOffered_data();
    void allTerminalsOnlyWhereOffered();
};

void tst_ChoiceDialog::templateControls()
{
    CInputDialog dialog;
    const DialogUnits &units = dialog.units();
    QCOMPARE(dialog.windowTitle(), QStringLiteral("ﾀﾞｲｱﾛｸﾞ"));
    QCOMPARE(dialog.size(), units.size(181, 121));
    QCOMPARE(dialog.m_nSelected, MAX_CLIENTS);
    QCOMPARE(dialog.m_text, QString());

    auto *ok = qobject_cast<QPushButton *>(dialog.control(1));
    auto *cancel = qobject_cast<QPushButton *>(dialog.control(2));
    auto *edit = qobject_cast<QLineEdit *>(dialog.control(1000));
    QVERIFY(ok && cancel && edit);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(cancel->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    QCOMPARE(ok->accessibleName(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->geometry(), units.rect(22, 89, 50, 14));
    QCOMPARE(cancel->geometry(), units.rect(91, 88, 50, 14));
    QCOMPARE(edit->geometry(), units.rect(19, 25, 146, 14));
    QVERIFY(!edit->isReadOnly());

    const QPoint places[MAX_CLIENTS] = {{17, 42}, {46, 43}, {69, 43}, {92, 43}, {114, 43},
                                         {18, 64}, {45, 65}, {70, 67}, {91, 67}, {114, 69}};
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        QRadioButton *button = radio(&dialog, slot);
        QVERIFY(button);
        QCOMPARE(dialog.control(1002 + slot), button);
        QCOMPARE(button->text(), QString::number(slot));
        QCOMPARE(button->accessibleName(), QString::number(slot));
        QCOMPARE(button->geometry(), units.rect(places[slot].x(), places[slot].y(), 19, 10));
    }
}

void tst_ChoiceDialog::choiceRecordedWhenDialogGoesAway_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("text");
    QTest::newRow("OK with 3") << 3 << int(TemplateDialog::IDOK) << 3 << "typed";
    QTest::newRow("Cancel with 3") << 3 << int(TemplateDialog::IDCANCEL) << 3 << "before";
    QTest::newRow("Cancel without choice") << -1 << int(TemplateDialog::IDCANCEL) << int(MAX_CLIENTS) << "before";
}

void tst_ChoiceDialog::choiceRecordedWhenDialogGoesAway()
{
    QFETCH(int, slot);
    QFETCH(int, button);
    QFETCH(int, selected);
    QFETCH(QString, text);

    CInputDialog dialog;
    dialog.m_slotUsed[0] = 1;
    dialog.m_slotUsed[3] = 1;
    dialog.m_text = QStringLiteral("before");
    int selectedWhileOpen = -1;
    QString textShown;
    ModalDialogAnswer answer([&](QDialog *shown) {
        auto *edit = shown->findChild<QLineEdit *>(QStringLiteral("id1000"));
        textShown = edit->text();
        if (slot >= 0)
            QTest::mouseClick(radio(shown, slot), Qt::LeftButton);
        selectedWhileOpen = dialog.m_nSelected;
        edit->setText(QStringLiteral("typed"));
        QTest::mouseClick(shown->findChild<QPushButton *>(QStringLiteral("id%1").arg(button)), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), button);
    QCOMPARE(textShown, QStringLiteral("before"));
    QCOMPARE(selectedWhileOpen, int(MAX_CLIENTS));
    QCOMPARE(dialog.m_nSelected, selected);
    QCOMPARE(dialog.m_text, text);
}

void tst_ChoiceDialog::keyboardAlone()
{
    QStringList visited;
    ModalDialogAnswer answer([&visited](QDialog *dialog) {
        visited << dialog->focusWidget()->objectName();
        const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(dialog->focusWidget(), key, modifiers);
            visited << dialog->focusWidget()->objectName();
        };
        press(Qt::Key_Tab);
        press(Qt::Key_Left);
        press(Qt::Key_Right);
        press(Qt::Key_Down);
        press(Qt::Key_Tab);
        press(Qt::Key_Tab, Qt::ShiftModifier);
        pressEnter(dialog);
    });
    CInputDialog dialog;
    dialog.m_slotUsed[2] = dialog.m_slotUsed[5] = dialog.m_slotUsed[7] = 1;
    QCOMPARE(dialog.DoModal(), int(TemplateDialog::IDOK));
    // The text, the group at slot 2; round the start to 7, round the end to
    // 2, on to 5; OK; the group is one Tab stop, at the slot checked.
    QCOMPARE(visited, QStringList({"id1000", "id1004", "id1009", "id1004", "id1007", "id1", "id1007"}));
    QCOMPARE(dialog.m_nSelected, 5);
}

void tst_ChoiceDialog::oneTerminalIsPreselected()
{
    ModalDialogAnswer answer(pressEnter);
    CInputDialog dialog;
    dialog.m_slotUsed[4] = 1;
    QCOMPARE(dialog.DoModal(), int(TemplateDialog::IDOK));
    QCOMPARE(dialog.m_nSelected, 4);
}

void tst_ChoiceDialog::okWithoutSlotAsksAndStaysOpen()
{
    QStringList told;
    bool stayedOpen = false;
    ModalDialogAnswer answer([&](QDialog *dialog) {
        ModalDialogAnswer boxAnswer([&told](QDialog *box) {
            told << static_cast<QMessageBox *>(box)->text();
            box->accept();
        });
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
        stayedOpen = dialog->isVisible();
        QTest::mouseClick(radio(dialog, 3), Qt::LeftButton);
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Return);
    });
    CInputDialog dialog;
    dialog.m_slotUsed[0] = dialog.m_slotUsed[3] = 1;
    QCOMPARE(dialog.DoModal(), int(TemplateDialog::IDOK));
    QVERIFY(stayedOpen);
    QCOMPARE(told, QStringList({QStringLiteral("端末を選んでください")}));
    QCOMPARE(dialog.m_nSelected, 3);
}

void tst_ChoiceDialog::allTerminalsOnlyWhereOffered_data()
{
    QTest::addColumn<bool>("offered");
    QTest::newRow("offered") << true;
    QTest::newRow("not offered") << false;
}

void tst_ChoiceDialog::allTerminalsOnlyWhereOffered()
{
    QFETCH(bool, offered);
    CInputDialog dialog;
    dialog.m_slotUsed[1] = dialog.m_slotUsed[4] = 1;
    dialog.m_offerAll = offered;
    bool shown = !offered;
    QString reachedBeyondFour;
    ModalDialogAnswer answer([&](QDialog *open) {
        auto *all = qobject_cast<QRadioButton *>(dialog.control(CInputDialog::IDC_ALL));
        shown = all->isVisible() && all->isEnabled();
        QCOMPARE(all->text(), QStringLiteral("全端末"));
        // After "9", inside the dialog.
        QVERIFY(all->geometry().left() > radio(open, 9)->geometry().right());
        QVERIFY(open->rect().contains(all->geometry()));
        QTest::mouseClick(radio(open, 4), Qt::LeftButton);
        QTest::keyClick(open->focusWidget(), Qt::Key_Right);
        reachedBeyondFour = open->focusWidget()->objectName();
        QTest::mouseClick(open->findChild<QPushButton *>(QStringLiteral("id1")), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), int(TemplateDialog::IDOK));
    QCOMPARE(shown, offered);
    QCOMPARE(reachedBeyondFour, offered ? QStringLiteral("id1012") : QStringLiteral("id1003"));
    QCOMPARE(dialog.m_nSelected, offered ? CInputDialog::ALL_SLOTS : 1);
}

QTEST_MAIN(tst_ChoiceDialog)
#include "tst_ChoiceDialog.moc"
