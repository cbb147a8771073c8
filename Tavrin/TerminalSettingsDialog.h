#pragma once

#include "TerminalSettings.h"

#include <QDialog>

class QCheckBox;
class QSpinBox;

// The Terminal's settings: reconnecting by itself, the link's extension
// and the days the journal of the history is kept.
class CTerminalSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CTerminalSettingsDialog(const TerminalSettings &settings, QWidget *parent = nullptr);

    // As the operator left them.
    TerminalSettings settings() const;

private:
    QCheckBox *m_reconnect;
    QCheckBox *m_extension;
    QSpinBox *m_historyDays;
};
