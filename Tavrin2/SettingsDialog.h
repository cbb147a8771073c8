#pragma once

#include "StationSettings.h"

#include <QDialog>

class IPlatform;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// The Station's settings: the addresses Terminals may connect from, one a
// line, the local address the Station listens on, the Terminals one address
// may connect at once, the days the journal of the history is kept and the
// serial device: one of the machine's serial ports, "なし" (none) or a path
// typed in. OK checks both addresses and the device, and names the first bad
// entry, keeping the dialog open on it. While TAVRIN2_COM1 names the device, the device cannot be
// chosen here and the stored choice is kept.
class CSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    // `ports` are the serial ports to offer.
    CSettingsDialog(IPlatform &desktop, const StationSettings &settings, const QList<SerialPortName> &ports,
                    QWidget *parent = nullptr);

    // As the operator left them: the lines that are not blank and the
    // address, trimmed.
    StationSettings settings() const;

    void accept() override;

private:
    QString listenAddress() const;
    // The device chosen or typed; empty when nothing is.
    QString serialDevice() const;

    IPlatform &m_desktop;
    QPlainTextEdit *m_allowed;
    QLineEdit *m_listen;
    QSpinBox *m_historyDays = nullptr;
    QSpinBox *m_perAddress;
    QComboBox *m_serialDevice;
    QString m_storedSerialDevice;
};
