#pragma once

class QSpinBox;
class QVBoxLayout;
class QWidget;

// Rows that the 設定 dialogs of both programs show alike.
namespace SettingsFields {
// "履歴ファイルを残す日数" with its box (0: "残さない") and its hint, added to `layout`.
QSpinBox *addHistoryDays(QVBoxLayout *layout, QWidget *dialog);
}
