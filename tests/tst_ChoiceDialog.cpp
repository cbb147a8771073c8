#include "InputDialog1.h"
#include "ModalDialogAnswer.h"

#include <QMessageBox>
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
    void keyboardAlone();
    void oneTerminalIsPreselected();
    void okWithoutSlotAsksAndStaysOpen();
};

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
        press(Qt::Key_Tab);
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
    // OK, Cancel, the text, the group at slot 2; round the start to 7, round
    // the end to 2, on to 5; the group is one Tab stop, at the slot checked.
    QCOMPARE(visited,
             QStringList({"id1", "id2", "id1000", "id1004", "id1009", "id1004", "id1007", "id1", "id1007"}));
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

QTEST_MAIN(tst_ChoiceDialog)
#include "tst_ChoiceDialog.moc"
