#include "MainFrm.h"

#include "AppFramework.h"

#include <QAction>
#include <QKeySequence>
#include <QMenuBar>

CMainFrame::CMainFrame(const QString &programTitle, const QList<MenuItem> &menu, QWidget *parent)
    : QMainWindow(parent)
    , m_programTitle(programTitle)
{
    setWindowTitle(programTitle);
    for (const MenuItem &item : menu) {
        QAction *action = menuBar()->addAction(item.label);
        action->setObjectName(QStringLiteral("id%1").arg(item.command));
        connect(action, &QAction::triggered, this, [this, id = item.command] { emit command(id); });
        m_actions.append(action);
    }

    // Only the accelerators the programs bind; the rest of the table would reach no handler.
    const struct {
        QKeySequence key;
        int command;
    } accelerators[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_N), ID_FILE_NEW},
        {QKeySequence(Qt::CTRL | Qt::Key_O), ID_FILE_OPEN},
    };
    for (const auto &accelerator : accelerators) {
        auto *action = new QAction(this);
        action->setObjectName(QStringLiteral("id%1").arg(accelerator.command));
        action->setShortcut(accelerator.key);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this, id = accelerator.command] { emit command(id); });
        addAction(action);
    }
}

void CMainFrame::setDocumentTitle(const QString &title)
{
    setWindowTitle(title.isEmpty() ? m_programTitle : title + QStringLiteral(" - ") + m_programTitle);
}

QAction *CMainFrame::commandAction(int command) const
{
    const QString name = QStringLiteral("id%1").arg(command);
    for (QAction *action : m_actions) {
        if (action->objectName() == name)
            return action;
    }
    return nullptr;
}
