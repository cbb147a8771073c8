#pragma once

#include <QList>
#include <QMainWindow>

// The main frame of both programs: a menu bar of plain command items (no
// drop-down menus), the accelerators Ctrl+N and Ctrl+O, and the caption
// "<document title> - <program title>". Every item and accelerator sends its
// command number through command().
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    struct MenuItem
    {
        QString label;
        int command;
    };

    CMainFrame(const QString &programTitle, const QList<MenuItem> &menu, QWidget *parent = nullptr);

    void setDocumentTitle(const QString &title);
    // The menu bar action of `command`, for tests and accessibility.
    QAction *commandAction(int command) const;

signals:
    void command(int id);

private:
    QString m_programTitle;
    QList<QAction *> m_actions;
};
