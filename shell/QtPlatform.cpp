#include "QtPlatform.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// The active window, else the program's main window: a dialog that pops up
// while nothing has the focus (a file arriving) still belongs to it, and
// closing the main window is never held up by one.
QWidget *dialogOwner()
{
    if (QWidget *active = QApplication::activeWindow())
        return active;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && qobject_cast<QMainWindow *>(window))
            return window;
    }
    return nullptr;
}

class ProgressDialog : public IProgress
{
public:
    ProgressDialog(int maximum, QObject *owner)
        : IProgress(owner)
        , m_dialog(new QProgressDialog(dialogOwner()))
    {
        m_dialog->setWindowTitle(QApplication::applicationName());
        // Modal to the main window's commands rather than to the window:
        // a window under a modal dialog ignores its close box, and closing
        // the window must still end the program (and the send with it).
        if (auto *frame = qobject_cast<QMainWindow *>(m_dialog->parentWidget()))
            holdCommands(frame);
        else
            m_dialog->setWindowModality(Qt::ApplicationModal);
        m_dialog->setCancelButtonText(QStringLiteral("キャンセル"));
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->setMinimumDuration(0);
        m_dialog->setRange(0, maximum);
        connect(m_dialog, &QProgressDialog::canceled, this, &IProgress::canceled);
        m_dialog->show();
    }

    ~ProgressDialog() override
    {
        if (m_menu)
            m_menu->setEnabled(true);
        for (const QPointer<QAction> &action : std::as_const(m_heldActions)) {
            if (action)
                action->setEnabled(true);
        }
        if (!m_dialog)
            return;
        m_dialog->disconnect();
        m_dialog->hide();
        // May be inside the dialog's own cancel notification.
        m_dialog->deleteLater();
    }

    void setLabelText(const QString &text) override
    {
        // The dialog dies with the window it belongs to, which may go first.
        if (!m_dialog)
            return;
        m_dialog->setLabelText(text);
        // Once the dialog has its size, and never again, so that it stays
        // where the operator may have moved it.
        if (!m_placed) {
            placeBelowTheLines();
            m_placed = true;
        }
    }

    void setValue(int value) override
    {
        if (!m_dialog)
            return;
        // A modal QProgressDialog handles events inside setValue(); run it
        // from the event loop rather than inside the caller's handler.
        QMetaObject::invokeMethod(
            m_dialog.data(), [dialog = m_dialog, value] { dialog->setValue(value); }, Qt::QueuedConnection);
    }

private:
    void holdCommands(QMainWindow *frame)
    {
        m_menu = frame->menuWidget();
        if (m_menu)
            m_menu->setEnabled(false);
        for (QAction *action : frame->actions()) {
            if (action->isEnabled()) {
                action->setEnabled(false);
                m_heldActions.append(action);
            }
        }
    }

    // At the foot of the main window rather than over its middle, so that
    // the texts arriving during the send stay readable.
    void placeBelowTheLines()
    {
        const QWidget *owner = m_dialog->parentWidget();
        if (!owner)
            return;
        m_dialog->adjustSize();
        const QRect area = owner->geometry();
        const int top = qMax(area.top(), area.bottom() - m_dialog->height() - 8);
        m_dialog->move(area.center().x() - m_dialog->width() / 2, top);
    }

    QPointer<QProgressDialog> m_dialog;
    QPointer<QWidget> m_menu;
    QList<QPointer<QAction>> m_heldActions;
    bool m_placed = false;
};
}

QString QtPlatform::getOpenFileName()
{
    return QFileDialog::getOpenFileName(dialogOwner());
}

QString QtPlatform::getSaveFileName(const QString &caption, const QString &suggested)
{
    // A bare name would open the dialog in the working directory.
    QString start = suggested;
    if (!suggested.isEmpty() && !suggested.contains(QLatin1Char('/'))) {
        QString folder = m_saveFolder;
        if (folder.isEmpty())
            folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (!QFileInfo(folder).isDir())
            folder = QDir::homePath();
        start = QDir(folder).filePath(suggested);
    }
    // QFileDialog asks before overwriting unless told otherwise.
    const QString path = QFileDialog::getSaveFileName(dialogOwner(), caption, start);
    if (!path.isEmpty())
        m_saveFolder = QFileInfo(path).absolutePath();
    return path;
}

void QtPlatform::messageBox(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                    dialogOwner());
    box.exec();
}

void QtPlatform::messageBoxLater(const QString &text)
{
    QTimer::singleShot(0, &m_context, [this, text] { messageBox(text); });
}

bool QtPlatform::question(const QString &text)
{
    // The buttons read "はい" and "いいえ" from Qt's Japanese translation.
    QMessageBox box(QMessageBox::Question, QApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, dialogOwner());
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtPlatform::singleShot(int milliseconds, QObject *context, std::function<void()> then)
{
    QTimer::singleShot(milliseconds, context, std::move(then));
}

IProgress *QtPlatform::openProgress(int maximum, QObject *owner)
{
    return new ProgressDialog(maximum, owner);
}

QIODevice *QtPlatform::openFile(const QString &path, QIODevice::OpenMode mode, QObject *owner)
{
    auto *file = new QFile(path, owner);
    if (file->open(mode))
        return file;
    delete file;
    return nullptr;
}

bool QtPlatform::startSockets()
{
#ifdef Q_OS_UNIX
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return false;
    ::close(probe);
#endif
    return true;
}

QString QtPlatform::dataLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}
