#include "TerminalSettingsDialog.h"

#include "SettingsFields.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

namespace {
QCheckBox *addOption(QVBoxLayout *layout, QWidget *dialog, const QString &objectName, const QString &label,
                     const QString &hint)
{
    auto *option = new QCheckBox(label, dialog);
    option->setObjectName(objectName);
    option->setAccessibleName(label);
    layout->addWidget(option);
    auto *explanation = new QLabel(hint, dialog);
    explanation->setWordWrap(true);
    // Under the box's text, not under the box.
    explanation->setContentsMargins(option->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option)
                                        + option->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, option),
                                    0, 0, 0);
    layout->addWidget(explanation);
    return option;
}
}

CTerminalSettingsDialog::CTerminalSettingsDialog(const TerminalSettings &settings, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("設定"));
    auto *layout = new QVBoxLayout(this);
    m_reconnect = addOption(layout, this, QStringLiteral("reconnect"), QStringLiteral("接続が切れたら再接続する"),
                            QStringLiteral("局が接続を閉じたり応答しなくなったりしたとき、2 秒後から間隔を倍にして"
                                           "最長 60 秒おきに接続し直します。「接続終了」で止まります。"));
    m_extension = addOption(layout, this, QStringLiteral("extension"),
                            QStringLiteral("拡張機能を使う（Tavrin2 との高速ファイル転送・ファイル名・受信確認・多言語テキスト）"),
                            QStringLiteral("拡張機能を知らない局とは、これまでどおりに通信します。"
                                           "次に接続するときから使われます。"));
    m_historyDays = SettingsFields::addHistoryDays(layout, this);

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    connect(ok, &QPushButton::clicked, this, &CTerminalSettingsDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CTerminalSettingsDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addStretch(1);
    layout->addLayout(buttons);
    resize(460, 260);

    m_reconnect->setChecked(settings.reconnect);
    m_extension->setChecked(settings.extension);
    m_historyDays->setValue(settings.historyDays);
}

TerminalSettings CTerminalSettingsDialog::settings() const
{
    TerminalSettings settings;
    settings.reconnect = m_reconnect->isChecked();
    settings.extension = m_extension->isChecked();
    settings.historyDays = m_historyDays->value();
    return settings;
}
