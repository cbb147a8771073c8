#include "FileDrop.h"

#include "NativePath.h"

#include <QAbstractItemView>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

FileDrop::FileDrop(QWidget *target)
    : QObject(target)
{
    target->setAcceptDrops(true);
    target->installEventFilter(this);
}

FileDrop::FileDrop(QAbstractItemView *view)
    : QObject(view)
    , m_view(view)
{
    // Drags reach the viewport, the widget under the pointer.
    view->viewport()->setAcceptDrops(true);
    view->viewport()->installEventFilter(this);
}

QString FileDrop::fileOf(const QMimeData *mime, QString *refusal)
{
    const QList<QUrl> urls = mime->urls();
    if (urls.size() > 1) {
        *refusal = QStringLiteral("ファイルは一度に一つずつ送信します。%1 個のファイルがドロップされたため、どれも送信しませんでした。"
                                  "送るファイルを一つだけドロップしてください。")
                       .arg(urls.size());
        return {};
    }
    if (urls.isEmpty() || !urls.first().isLocalFile()) {
        *refusal = QStringLiteral("ドロップされたものはこのコンピューターのファイルではないため、送信しませんでした。"
                                  "送るファイルを一つドロップしてください。");
        return {};
    }
    const QString path = urls.first().toLocalFile();
    if (QFileInfo(path).isDir()) {
        *refusal = QStringLiteral("「%1」はフォルダーのため送信できません。中のファイルを一つずつドロップしてください。")
                       .arg(NativePath::of(path));
        return {};
    }
    return path;
}

bool FileDrop::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (drag->mimeData()->hasUrls() && (drag->possibleActions() & Qt::CopyAction) && rowAt(drag) >= 0) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const int row = rowAt(drop);
        if (!drop->mimeData()->hasUrls() || row < 0) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        QString refusal;
        const QString path = fileOf(drop->mimeData(), &refusal);
        if (path.isEmpty())
            emit refused(refusal);
        else
            emit dropped(path, m_view ? row : -1);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

int FileDrop::rowAt(const QDropEvent *event) const
{
    if (!m_view)
        return 0;
    return m_view->indexAt(event->position().toPoint()).row();
}
