#pragma once

#include <QListView>

class HistoryModel;

// The history below the two status lines: every entry in full, wrapped to
// the width of the list, the newest at the bottom and kept in view unless
// the operator scrolled up. The lines after an entry's first are indented
// behind a drawn mark, so that no wrapped text reads as an entry of its own. Entries can be selected; Ctrl+C copies them as
// text, one line each.
class HistoryView : public QListView
{
    Q_OBJECT

public:
    explicit HistoryView(HistoryModel *model, QWidget *parent = nullptr);

    struct WrappedLine
    {
        QString text;
        qreal x = 0;
        bool continuation = false;
    };
    // The lines entry `row` is drawn in at the list's present width.
    QList<WrappedLine> wrappedLines(int row) const;

    // The selected entries as lines, oldest first.
    QString selectedText() const;
    void copy();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    HistoryModel *m_history;
    bool m_followBottom = true;
};
