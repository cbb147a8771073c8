#include "MainFrm.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>

#include <algorithm>

CMainFrame::CMainFrame(const QString &programTitle, QWidget *parent)
    : QMainWindow(parent)
    , m_programTitle(programTitle)
{
    setWindowTitle(programTitle);
    // Assistive tools ask menu bar items only their names: the bar tells what the highlighted one does.
    connect(menuBar(), &QMenuBar::hovered, this,
            [this](QAction *command) { menuBar()->setAccessibleDescription(command->statusTip()); });
    connect(addAccelerator(QKeySequence(Qt::Key_F10)), &QAction::triggered, this, &CMainFrame::toggleMenuBar);
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
    // Before the window is shown its frame is unknown: allow a title bar and
    // borders, the title bar as window managers draw it, often taller than
    // the style's own.
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int titleBar =
        std::max(style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this), 2 * fontMetrics().height());
    resize(fittingSize(preferred, where->availableGeometry(), QSize(2 * border, titleBar + 2 * border)));
}

QSize CMainFrame::fittingSize(const QSize &preferred, const QRect &available, const QSize &decoration)
{
    const QSize room = (available.size() - decoration).expandedTo(QSize(1, 1));
    return preferred.boundedTo(room);
}

void CMainFrame::toggleMenuBar()
{
    // The same way in, and out again, as Alt pressed and released alone.
    QKeyEvent press(QEvent::ShortcutOverride, Qt::Key_Alt, Qt::NoModifier);
    QCoreApplication::sendEvent(this, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Alt, Qt::NoModifier);
    QCoreApplication::sendEvent(this, &release);
}
