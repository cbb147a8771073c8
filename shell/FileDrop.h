#pragma once

#include <QObject>
#include <QString>

class QAbstractItemView;
class QDropEvent;
class QMimeData;
class QWidget;

// Files dragged from the desktop onto a widget, or onto the rows of a view.
// A drop of one local file gives its path; anything else dropped is refused
// with what to drop instead. The source keeps its files: a drop only copies.
class FileDrop : public QObject
{
    Q_OBJECT

public:
    // Drops anywhere on `target`.
    explicit FileDrop(QWidget *target);
    // Drops on the rows of `view` only.
    explicit FileDrop(QAbstractItemView *view);

    // The one local file `mime` carries; otherwise empty, and why in `refusal`.
    static QString fileOf(const QMimeData *mime, QString *refusal);

signals:
    // `row` is the view's row it fell on; -1 on a plain widget.
    void dropped(const QString &path, int row);
    void refused(const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The row under the pointer, -1 for none; 0 anywhere on a plain widget.
    int rowAt(const QDropEvent *event) const;

    QAbstractItemView *m_view = nullptr;
};
