#pragma once

#include <QMainWindow>

class QKeySequence;

// The main frame of both programs: a menu bar of plain command items (no
// drop-down menus), window-wide accelerators, and the caption
// "<document title> - <program title>".
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    explicit CMainFrame(const QString &programTitle, QWidget *parent = nullptr);

    void setDocumentTitle(const QString &title);

    // A new item at the end of the menu bar.
    QAction *addCommand(const QString &label);
    // An accelerator of the whole window.
    QAction *addAccelerator(const QKeySequence &key);
    // The menu bar item labelled `label`, for tests and accessibility.
    QAction *commandAction(const QString &label) const;

private:
    QString m_programTitle;
};
