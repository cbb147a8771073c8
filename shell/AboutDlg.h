#pragma once

#include "TemplateDialog.h"

// The About box (template 100) of either program.
class CAboutDlg : public TemplateDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(const QString &programTitle, QWidget *parent = nullptr);
};
