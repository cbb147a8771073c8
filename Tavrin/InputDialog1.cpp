#include "InputDialog1.h"

#include <QLineEdit>

CInputDialog::CInputDialog(QWidget *parent)
    : TemplateDialog(QStringLiteral("ﾀﾞｲｱﾛｸﾞ"), 187, 93, parent)
{
    // Added in template order, which is also the tab order.
    addButton(IDOK, QStringLiteral("OK"), 37, 72, 50, 14, true);
    addButton(IDCANCEL, QStringLiteral("ｷｬﾝｾﾙ"), 103, 72, 50, 14, false);
    addEdit(IDC_TEXT, 29, 39, 118, 14);
    addEdit(IDC_PROMPT, 29, 13, 118, 14, true);
    setInitialFocus(IDC_TEXT);
}

void CInputDialog::OnInitDialog()
{
    static_cast<QLineEdit *>(control(IDC_TEXT))->setText(m_text);
    auto *prompt = static_cast<QLineEdit *>(control(IDC_PROMPT));
    prompt->setText(m_prompt);
    // A prompt longer than the field shows its beginning, and all of it on hover.
    prompt->setCursorPosition(0);
    prompt->setToolTip(m_prompt);
}

void CInputDialog::storeData()
{
    m_text = static_cast<QLineEdit *>(control(IDC_TEXT))->text();
    m_prompt = static_cast<QLineEdit *>(control(IDC_PROMPT))->text();
}
