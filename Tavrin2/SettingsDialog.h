#pragma once

#include <QDialog>
#include <QStringList>

class IPlatform;
class QLineEdit;
class QPlainTextEdit;

// The Station's settings: the addresses Terminals may connect from, one a
// line, and the local address the Station listens on. OK checks both and
// names the first bad entry, keeping the dialog open on it.
class CSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CSettingsDialog(IPlatform &desktop, QWidget *parent = nullptr);

    void setAllowedTerminals(const QStringList &entries);
    // The lines that are not blank, trimmed.
    QStringList allowedTerminals() const;
    void setListenAddress(const QString &address);
    // Trimmed; empty for every address.
    QString listenAddress() const;

    void accept() override;

private:
    IPlatform &m_desktop;
    QPlainTextEdit *m_allowed;
    QLineEdit *m_listen;
};
