#pragma once

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

// Drags `urls` onto `target` at `position` and drops them, as the desktop
// would; true when the drop was taken.
inline bool dropFiles(QWidget *target, const QPoint &position, const QList<QUrl> &urls,
                      Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction)
{
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(position, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(position, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &move);
    if (!move.isAccepted())
        return false;
    QDropEvent drop(position, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
}
