#include "InputDialog1.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>

namespace {
struct RadioPlace
{
    int x, y;
};
// Template positions of the radio buttons "0" to "9".
constexpr RadioPlace RADIO_PLACES[MAX_CLIENTS] = {
    {17, 42}, {46, 43}, {69, 43}, {92, 43}, {114, 43},
    {18, 64}, {45, 65}, {70, 67}, {91, 67}, {114, 69},
};
}

CInputDialog::CInputDialog(QWidget *parent)
    : TemplateDialog(QStringLiteral("ﾀﾞｲｱﾛｸﾞ"), 181, 121, parent)
{
    addButton(IDOK, QStringLiteral("OK"), 22, 89, 50, 14, true);
    addButton(IDCANCEL, QStringLiteral("ｷｬﾝｾﾙ"), 91, 88, 50, 14, false);
    QLineEdit *text = addEdit(IDC_TEXT, 19, 25, 146, 14);
    text->setAccessibleName(QStringLiteral("送信する文字列"));
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        const RadioPlace &place = RADIO_PLACES[slot];
        addRadio(IDC_SLOT0 + slot, QString::number(slot), place.x, place.y, 19, 10);
    }
    addRadio(IDC_ALL, QStringLiteral("全端末"), 137, 69, 40, 10);
}

void CInputDialog::OnInitDialog()
{
    auto *text = static_cast<QLineEdit *>(control(IDC_TEXT));
    text->setText(m_text);
    text->setVisible(m_withText);
    // Typing at once goes into the text, as in the Terminal's prompts.
    if (m_withText)
        setInitialFocus(IDC_TEXT);
    QRadioButton *onlyUsed = nullptr;
    int usedCount = 0;
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        auto *radio = static_cast<QRadioButton *>(control(IDC_SLOT0 + slot));
        const bool used = m_slotUsed[slot] != 0;
        radio->setEnabled(used);
        radio->setToolTip(used ? m_slotPeer[slot] : QString());
        if (used) {
            onlyUsed = radio;
            ++usedCount;
        }
    }
    auto *all = static_cast<QRadioButton *>(control(IDC_ALL));
    all->setVisible(m_offerAll);
    all->setEnabled(m_offerAll && usedCount > 0);
    if (usedCount == 1)
        onlyUsed->setChecked(true);
}

void CInputDialog::accept()
{
    if (checkedSlot() == MAX_CLIENTS) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QStringLiteral("端末を選んでください"),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }
    TemplateDialog::accept();
}

void CInputDialog::storeData()
{
    m_text = static_cast<QLineEdit *>(control(IDC_TEXT))->text();
}

void CInputDialog::OnDestroy()
{
    m_nSelected = checkedSlot();
}

qint32 CInputDialog::checkedSlot() const
{
    for (int slot = 0; slot < MAX_CLIENTS; ++slot) {
        const auto *radio = static_cast<QRadioButton *>(control(IDC_SLOT0 + slot));
        if (m_slotUsed[slot] != 0 && radio->isChecked())
            return slot;
    }
    if (m_offerAll && static_cast<const QRadioButton *>(control(IDC_ALL))->isChecked())
        return ALL_SLOTS;
    return MAX_CLIENTS;
}
