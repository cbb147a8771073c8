#include "InputDialog1.h"

#include "TextCheck.h"

#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPair>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

namespace {
// Template top of the buttons: what is added under the input pushes them down.
constexpr int BUTTONS_TOP = 72;
}

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
    auto *input = static_cast<QLineEdit *>(control(IDC_TEXT));
    input->setText(m_text);
    auto *prompt = static_cast<QLineEdit *>(control(IDC_PROMPT));
    prompt->setText(m_prompt);
    prompt->setCursorPosition(0);
    prompt->setToolTip(m_prompt);
    input->setAccessibleName(m_prompt);
    fitPrompt();
    if (!m_note.isEmpty()) {
        m_noteLabel = addStatic(IDC_STATIC, m_note, 0, 0, 0, 0);
        m_noteLabel->setObjectName(QStringLiteral("promptNote"));
        m_noteLabel->setWordWrap(true);
    }
    if (m_rule) {
        m_check = new TextCheck(input, *m_rule, this);
        connect(m_check, &TextCheck::reasonChanged, this, &CInputDialog::layOutBelowInput);
    }
    layOutBelowInput();
}

// A prompt longer than its field widens the dialog, the fields with it.
void CInputDialog::fitPrompt()
{
    auto *prompt = static_cast<QLineEdit *>(control(IDC_PROMPT));
    // The frame and the line edit's own margin of 2 pixels, each side, and a little room.
    const int frame = 2 * (prompt->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, prompt) + 2)
        + units().toPixelsX(2);
    const int extra = prompt->fontMetrics().horizontalAdvance(m_prompt) + frame - prompt->width();
    if (extra <= 0)
        return;
    setFixedSize(width() + extra, height());
    for (QWidget *field : {control(IDC_PROMPT), inputPlace()})
        field->resize(field->width() + extra, field->height());
    for (const int id : {IDOK, IDCANCEL})
        control(id)->move(control(id)->x() + extra / 2, control(id)->y());
}

// Counter, note and reason in a column under the input, the buttons below them.
void CInputDialog::layOutBelowInput()
{
    const QWidget *input = inputPlace();
    const int gap = units().toPixelsY(2);
    QList<QPair<QLabel *, int>> column;
    for (QLabel *label : {m_check ? m_check->counter() : nullptr, m_noteLabel, m_check ? m_check->reason() : nullptr}) {
        if (label && !label->isHidden())
            column.append({label, label->wordWrap() ? label->heightForWidth(input->width()) : label->sizeHint().height()});
    }
    int bottom = input->geometry().bottom() + 1;
    for (const auto &[label, height] : std::as_const(column))
        bottom += gap + height;
    // The room first: it moves whatever lies at the buttons' top or below.
    setRoomAbove(BUTTONS_TOP, std::max(0, bottom + units().toPixelsY(5) - units().toPixelsY(BUTTONS_TOP)));
    int top = input->geometry().bottom() + 1;
    for (const auto &[label, height] : std::as_const(column)) {
        top += gap;
        label->setGeometry(input->x(), top, input->width(), height);
        top += height;
    }
}

QWidget *CInputDialog::inputPlace() const
{
    // The input line may sit inside another control that took its place.
    QWidget *place = control(IDC_TEXT);
    while (place->parentWidget() != this)
        place = place->parentWidget();
    return place;
}

void CInputDialog::accept()
{
    if (m_check && !m_check->check(&m_bytes))
        return;
    TemplateDialog::accept();
}

void CInputDialog::storeData()
{
    m_text = static_cast<QLineEdit *>(control(IDC_TEXT))->text();
    m_prompt = static_cast<QLineEdit *>(control(IDC_PROMPT))->text();
}
