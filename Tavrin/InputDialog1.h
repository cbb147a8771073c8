#pragma once

#include "TemplateDialog.h"

#include <QString>

// The Terminal's prompt: a read-only prompt line above one input line,
// where the focus starts.
// The fields are exchanged with the controls when the dialog opens and read
// back only on OK; after Cancel they keep the values they had before.
class CInputDialog : public TemplateDialog
{
    Q_OBJECT

public:
    enum { IDD = 130, IDC_TEXT = 1000, IDC_PROMPT = 1001 };

    explicit CInputDialog(QWidget *parent = nullptr);

    QString m_text;
    QString m_prompt;

protected:
    void OnInitDialog() override;
    void storeData() override;
};
