#pragma once

#include <QListView>

class HistoryModel;

// The history below the two status lines: every entry in full, wrapped to
// the width of the list, the newest at the bottom and kept in view unless
// the operator scrolled up. Entries can be selected; Ctrl+C copies them as
// text, one line each.
class HistoryView : public QListView
{
    Q_OBJECT

public:
    explicit HistoryView(HistoryModel *model, QWidget *parent = nullptr);

    // The selected entries as lines, oldest first.
    QString selectedText() const;
    void copy();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    HistoryModel *m_history;
    bool m_followBottom = true;
};
