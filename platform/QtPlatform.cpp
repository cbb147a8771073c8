#include "QtPlatform.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
QWidget *dialogOwner()
{
    return QApplication::activeWindow();
}
}

QString QtPlatform::getOpenFileName()
{
    return QFileDialog::getOpenFileName(dialogOwner());
}

QString QtPlatform::getSaveFileName()
{
    // QFileDialog asks before overwriting unless told otherwise.
    return QFileDialog::getSaveFileName(dialogOwner());
}

void QtPlatform::messageBox(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), text, QMessageBox::Ok,
                    dialogOwner());
    box.exec();
}

void QtPlatform::sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

std::unique_ptr<QIODevice> QtPlatform::openFile(const QString &path, QIODevice::OpenMode mode)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(mode))
        return nullptr;
    return file;
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
