#include "InputDialog1.h"

#include "TextCheck.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>

#include <algorithm>

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
// Template top of the radio buttons: what is added under the text field pushes them down.
constexpr int RADIOS_TOP = 42;
}

CInputDialog::CInputDialog(QWidget *parent)
    : TemplateDialog(QStringLiteral("ﾀﾞｲｱﾛｸﾞ"), 181, 121, parent)
{
    addButton(IDOK, QStringLiteral("OK"), 22, 89, 50, 14, true);
    addButton(IDCANCEL, QStringLiteral("ｷｬﾝｾﾙ"), 91, 88, 50, 14, false);
    QLineEdit *text = addEdit(IDC_TEXT, 19, 25, 146, 14);
    text->setAccessibleName(QStringLiteral("送信する文字列"));
    // Above the field, where the template leaves room.
    m_instructionLabel = addStatic(IDC_STATIC, QString(), 19, 3, 146, 10);
    m_instructionLabel->setObjectName(QStringLiteral("instruction"));
    m_textLabel = addStatic(IDC_STATIC, QStringLiteral("送信する文字列："), 19, 14, 146, 10);
    m_textLabel->setObjectName(QStringLiteral("textLabel"));
    m_textLabel->setBuddy(text);
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
    m_textLabel->setVisible(m_withText);
    m_instructionLabel->setText(m_instruction);
    if (m_withText && m_rule) {
        m_check = new TextCheck(text, *m_rule, this);
        connect(m_check, &TextCheck::reasonChanged, this, &CInputDialog::layOutBelowText);
        layOutBelowText();
    }
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
    if (m_check && !m_check->check(&m_bytes))
        return;
    TemplateDialog::accept();
}

// The counter and the reason under the text field, the radio buttons and
// the buttons below them.
void CInputDialog::layOutBelowText()
{
    const QRect field = control(IDC_TEXT)->geometry();
    const int gap = units().toPixelsY(1);
    QLabel *counter = m_check->counter();
    QLabel *reason = m_check->reason();
    const int counterHeight = counter->sizeHint().height();
    const int reasonHeight = reason->isHidden() ? 0 : reason->heightForWidth(field.width()) + gap;
    const int bottom = field.bottom() + 1 + gap + counterHeight + reasonHeight + gap;
    // The room first: it moves whatever lies at the radio buttons' top or below.
    setRoomAbove(RADIOS_TOP, std::max(0, bottom - units().toPixelsY(RADIOS_TOP)));
    counter->setGeometry(field.x(), field.bottom() + 1 + gap, field.width(), counterHeight);
    reason->setGeometry(field.x(), counter->geometry().bottom() + 1 + gap, field.width(), std::max(0, reasonHeight - gap));
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
