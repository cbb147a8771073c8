#include "TextCheck.h"

#include <QLabel>
#include <QLineEdit>

namespace {
QLabel *warningLabel(QWidget *parent, Qt::Alignment alignment)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(alignment);
    return label;
}

void setWarning(QLabel *label, bool warning)
{
    QPalette palette = label->parentWidget()->palette();
    if (warning)
        palette.setColor(QPalette::WindowText, QColor(0xB0, 0x00, 0x20));
    label->setPalette(palette);
}
}

TextCheck::TextCheck(QLineEdit *field, const TextRule &rule, QObject *parent)
    : QObject(parent)
    , m_field(field)
    , m_rule(rule)
    , m_counter(warningLabel(field->parentWidget(), Qt::AlignRight | Qt::AlignTop))
    , m_reason(warningLabel(field->parentWidget(), Qt::AlignLeft | Qt::AlignTop))
{
    m_counter->setObjectName(QStringLiteral("byteCounter"));
    m_reason->setObjectName(QStringLiteral("refusalReason"));
    m_reason->setWordWrap(true);
    setWarning(m_reason, true);
    m_reason->hide();
    connect(field, &QLineEdit::textChanged, this, &TextCheck::update);
    update();
}

bool TextCheck::check(QByteArray *bytes)
{
    QString reason;
    if (m_rule.encode(m_field->text(), bytes, &reason)) {
        setReason(QString());
        return true;
    }
    setReason(reason);
    m_field->setFocus(Qt::OtherFocusReason);
    return false;
}

void TextCheck::update()
{
    const QString text = m_field->text();
    QByteArray bytes;
    QString reason;
    const bool fits = m_rule.encode(text, &bytes, &reason);
    m_counter->setText(m_rule.counterText(text));
    setWarning(m_counter, !fits);
    // A refusal shown stays true to the text.
    if (m_reason->isVisibleTo(m_reason->parentWidget()))
        setReason(fits ? QString() : reason);
}

void TextCheck::setReason(const QString &text)
{
    if (text == m_reason->text() && m_reason->isVisibleTo(m_reason->parentWidget()) == !text.isEmpty())
        return;
    m_reason->setText(text);
    m_reason->setVisible(!text.isEmpty());
    emit reasonChanged();
}
