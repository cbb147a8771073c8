#include "MainFrm.h"

#include <QAction>
#include <QKeySequence>
#include <QMenuBar>

CMainFrame::CMainFrame(const QString &programTitle, QWidget *parent)
    : QMainWindow(parent)
    , m_programTitle(programTitle)
{
    setWindowTitle(programTitle);
}

void CMainFrame::setDocumentTitle(const QString &title)
{
    setWindowTitle(title.isEmpty() ? m_programTitle : title + QStringLiteral(" - ") + m_programTitle);
}

QAction *CMainFrame::addCommand(const QString &label)
{
    return menuBar()->addAction(label);
}

QAction *CMainFrame::addAccelerator(const QKeySequence &key)
{
    auto *action = new QAction(this);
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
    return action;
}

QAction *CMainFrame::commandAction(const QString &label) const
{
    for (QAction *action : menuBar()->actions()) {
        if (action->text() == label)
            return action;
    }
    return nullptr;
}
