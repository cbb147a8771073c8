#pragma once

#include "TextRule.h"

#include <QByteArray>
#include <QObject>

class QLabel;
class QLineEdit;

// Applies a TextRule to what the operator types into a field: a counter of
// its bytes that warns beyond the rule, and on OK either the bytes or, in a
// label kept under the field, what to change. Once a text was refused the
// reason follows the typing and goes when the text fits. The two labels are
// children of the field's dialog, which places them.
class TextCheck : public QObject
{
    Q_OBJECT

public:
    TextCheck(QLineEdit *field, const TextRule &rule, QObject *parent);

    QLabel *counter() const { return m_counter; }
    QLabel *reason() const { return m_reason; }

    // The field's text as it goes out; false, with the reason shown, when
    // the rule refuses it.
    bool check(QByteArray *bytes);

signals:
    // The reason label's text changed, and with it the room it needs.
    void reasonChanged();

private:
    void update();
    void setReason(const QString &text);

    QLineEdit *m_field;
    TextRule m_rule;
    QLabel *m_counter;
    QLabel *m_reason;
};
