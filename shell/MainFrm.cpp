#include "MainFrm.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>

CMainFrame::CMainFrame(const QString &programTitle, QWidget *parent)
    : QMainWindow(parent)
    , m_programTitle(programTitle)
{
    setWindowTitle(programTitle);
    menuBar()->installEventFilter(this);
    connect(menuBar(), &QMenuBar::triggered, this, &CMainFrame::leaveMenuBar);
    // Assistive tools ask menu bar items only their names: the bar tells what the highlighted one does.
    connect(menuBar(), &QMenuBar::hovered, this,
            [this](QAction *command) { menuBar()->setAccessibleDescription(command->statusTip()); });
    connect(addAccelerator(QKeySequence(Qt::Key_F10)), &QAction::triggered, this, [this] {
        if (m_focusBeforeMenuBar)
            leaveMenuBar();
        else if (!menuBar()->hasFocus())
            enterMenuBar();
    });
}

void CMainFrame::setDocumentTitle(const QString &title)
{
    setWindowTitle(title.isEmpty() ? m_programTitle : title + QStringLiteral(" - ") + m_programTitle);
}

QAction *CMainFrame::addCommand(const QString &label)
{
    return menuBar()->addAction(label);
}

void CMainFrame::describeCommands(std::initializer_list<CommandDescription> descriptions)
{
    for (const auto &[label, description] : descriptions) {
        if (QAction *action = commandAction(label)) {
            action->setStatusTip(description);
            action->setWhatsThis(description);
        }
    }
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

void CMainFrame::resizeToFit(const QSize &preferred)
{
    const QScreen *where = screen();
    if (!where) {
        resize(preferred);
        return;
    }
    // Before the window is shown its frame is unknown: allow a title bar and borders.
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int titleBar = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
    resize(fittingSize(preferred, where->availableGeometry(), QSize(2 * border, titleBar + 2 * border)));
}

QSize CMainFrame::fittingSize(const QSize &preferred, const QRect &available, const QSize &decoration)
{
    const QSize room = (available.size() - decoration).expandedTo(QSize(1, 1));
    return preferred.boundedTo(room);
}

bool CMainFrame::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == menuBar() && m_focusBeforeMenuBar) {
        if (event->type() == QEvent::FocusOut) {
            m_focusBeforeMenuBar = nullptr;
        } else if (event->type() == QEvent::KeyPress
                   && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Cancel)) {
            leaveMenuBar();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::enterMenuBar()
{
    const QList<QAction *> commands = menuBar()->actions();
    if (commands.isEmpty())
        return;
    QWidget *focus = QApplication::focusWidget();
    m_focusBeforeMenuBar = focus && focus->window() == this ? focus : this;
    menuBar()->setFocus(Qt::MenuBarFocusReason);
    menuBar()->setActiveAction(commands.first());
}

void CMainFrame::leaveMenuBar()
{
    // Alt alone entered it otherwise, and the menu bar leaves by itself.
    if (!m_focusBeforeMenuBar)
        return;
    // The menu bar losing the focus clears its highlighted item.
    const QPointer<QWidget> target = m_focusBeforeMenuBar;
    m_focusBeforeMenuBar = nullptr;
    target->setFocus(Qt::MenuBarFocusReason);
}
