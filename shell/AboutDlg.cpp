#include "AboutDlg.h"

#include "ProgramIcon.h"

#include <QLabel>

CAboutDlg::CAboutDlg(const QString &programTitle, QWidget *parent)
    : TemplateDialog(programTitle + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"), 235, 55, parent)
{
    QLabel *icon = addStatic(IDC_STATIC, QString(), 11, 17, 20, 20);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(ProgramIcon::make(programTitle).pixmap(32, 32));
    // An icon control takes the size of its icon.
    icon->resize(icon->sizeHint());
    icon->setAccessibleName(programTitle);
    QLabel *version = addStatic(IDC_STATIC, programTitle + QStringLiteral(" Version 1.0"), 40, 10, 119, 8);
    version->setObjectName(QStringLiteral("version"));
    addButton(IDOK, QStringLiteral("OK"), 178, 7, 50, 14, true);
}
