#pragma once

#include "TemplateDialog.h"
#include "TextRule.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QLabel;
class TextCheck;

// The Terminal's prompt: a read-only prompt line above one input line,
// where the focus starts. The dialog is as wide as its prompt needs.
// The fields are exchanged with the controls when the dialog opens and read
// back only on OK; after Cancel they keep the values they had before.
// With a rule, a counter under the input shows its bytes, and OK keeps the
// dialog open, saying what to change, until the rule takes the text.
class CInputDialog : public TemplateDialog
{
    Q_OBJECT

public:
    enum { IDD = 130, IDC_TEXT = 1000, IDC_PROMPT = 1001 };

    explicit CInputDialog(QWidget *parent = nullptr);

    QString m_text;
    QString m_prompt;
    // Set before DoModal: shown under the input, as long as it needs.
    QString m_note;
    // Set before DoModal: what the text must be to be taken.
    std::optional<TextRule> m_rule;
    // The text as the rule sends it, taken on OK.
    QByteArray m_bytes;

    void accept() override;

protected:
    void OnInitDialog() override;
    void storeData() override;

private:
    // The input line, or the control of the dialog that holds it.
    QWidget *inputPlace() const;
    void fitPrompt();
    void layOutBelowInput();

    TextCheck *m_check = nullptr;
    QLabel *m_noteLabel = nullptr;
};
