#include "SettingsFields.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

QSpinBox *SettingsFields::addHistoryDays(QVBoxLayout *layout, QWidget *dialog)
{
    auto *days = new QSpinBox(dialog);
    auto *label = new QLabel(QStringLiteral("履歴ファイルを残す日数(&H):"), dialog);
    label->setBuddy(days);
    days->setObjectName(QStringLiteral("historyDays"));
    days->setAccessibleName(QStringLiteral("履歴ファイルを残す日数"));
    days->setRange(0, 3650);
    days->setSuffix(QStringLiteral(" 日"));
    days->setSpecialValueText(QStringLiteral("残さない"));
    auto *hint = new QLabel(QStringLiteral("履歴は日ごとのファイルにすべて残ります。\n"
                                           "日数は、次にプログラムを起動したときから使われます。"),
                            dialog);
    auto *row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(days, 1);
    layout->addLayout(row);
    layout->addWidget(hint);
    return days;
}
