#pragma once

#include "StationSettings.h"

#include <QDialog>

class IPlatform;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// The Station's settings: the addresses Terminals may connect from, one a
// line, the local address the Station listens on, the Terminals one address
// may connect at once and the days the journal of the history is kept. OK
// checks both addresses and names the first bad entry, keeping the dialog
// open on it.
class CSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    CSettingsDialog(IPlatform &desktop, const StationSettings &settings, QWidget *parent = nullptr);

    // As the operator left them: the lines that are not blank and the
    // address, trimmed.
    StationSettings settings() const;

    void accept() override;

private:
    QString listenAddress() const;

    IPlatform &m_desktop;
    QPlainTextEdit *m_allowed;
    QLineEdit *m_listen;
    QSpinBox *m_historyDays = nullptr;
    QSpinBox *m_perAddress;
};
