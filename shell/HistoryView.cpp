#include "HistoryView.h"

#include "HistoryModel.h"

#include <QApplication>
#include <QClipboard>
#include <QHash>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {
constexpr int TextMargin = 3;

// Continuation lines start this far in, behind a mark that no text can draw.
int continuationIndent(const QFont &font)
{
    return 2 * QFontMetrics(font).horizontalAdvance(QLatin1Char('M'));
}

// Lays `text` out in lines of `width`, every line after the first indented;
// returns the height they take.
int lay(QTextLayout &layout, const QString &text, const QFont &font, int width)
{
    layout.setText(text);
    layout.setFont(font);
    QTextOption wrapping;
    wrapping.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(wrapping);
    const int indent = std::min(continuationIndent(font), width / 2);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        const bool continuation = line.lineNumber() > 0;
        line.setLineWidth(continuation ? width - indent : width);
        line.setPosition(QPointF(continuation ? indent : 0, height));
        height += line.height();
    }
    layout.endLayout();
    return int(std::ceil(height));
}

// Draws an entry wrapped at word boundaries, or anywhere within a word too
// long for the width, and remembers each entry's height: the list lays out
// all its rows whenever one comes or goes, and a full history must not cost
// a text layout per row each time.
class WrappingDelegate : public QStyledItemDelegate
{
public:
    explicit WrappingDelegate(QListView *view)
        : QStyledItemDelegate(view)
        , m_view(view)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const int width = textWidth();
        if (width != m_cachedWidth) {
            m_heights.clear();
            m_cachedWidth = width;
        }
        // Entries that left the history leave their heights behind.
        if (m_heights.size() > 2 * HistoryModel::Capacity)
            m_heights.clear();
        const quint64 serial = index.internalId();
        auto cached = m_heights.constFind(serial);
        if (cached == m_heights.cend()) {
            QTextLayout layout;
            cached = m_heights.insert(serial, lay(layout, index.data().toString(), option.font, width));
        }
        return QSize(width + 2 * TextMargin, *cached + 2 * TextMargin);
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem panel = option;
        initStyleOption(&panel, index);
        const QString text = panel.text;
        panel.text.clear();
        QStyle *style = m_view->style();
        style->drawControl(QStyle::CE_ItemViewItem, &panel, painter, m_view);

        QTextLayout layout;
        lay(layout, text, option.font, option.rect.width() - 2 * TextMargin);
        const bool selected = option.state & QStyle::State_Selected;
        const QPointF origin(option.rect.left() + TextMargin, option.rect.top() + TextMargin);
        painter->save();
        painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(painter, origin);
        QPen mark(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Mid));
        mark.setWidthF(2);
        painter->setPen(mark);
        for (int i = 1; i < layout.lineCount(); ++i) {
            const QTextLine line = layout.lineAt(i);
            const qreal x = origin.x() + line.x() / 3;
            painter->drawLine(QPointF(x, origin.y() + line.y() + 1), QPointF(x, origin.y() + line.y() + line.height() - 1));
        }
        painter->restore();
    }

private:
    int textWidth() const { return std::max(1, m_view->viewport()->width() - 2 * TextMargin); }

    QListView *m_view;
    mutable QHash<quint64, int> m_heights;
    mutable int m_cachedWidth = -1;
};
}

HistoryView::HistoryView(HistoryModel *model, QWidget *parent)
    : QListView(parent)
    , m_history(model)
{
    setAccessibleName(QStringLiteral("履歴"));
    setModel(model);
    setItemDelegate(new WrappingDelegate(this));
    setWordWrap(true);
    setResizeMode(QListView::Adjust);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);

    // Following the bottom is decided by where the operator left the scroll
    // bar; a layout that grows the range then keeps the newest in view.
    QScrollBar *bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_followBottom = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_followBottom)
            bar->setValue(maximum);
    });
}

QList<HistoryView::WrappedLine> HistoryView::wrappedLines(int row) const
{
    const QString text = m_history->index(row, 0).data().toString();
    QTextLayout layout;
    lay(layout, text, font(), std::max(1, viewport()->width() - 2 * TextMargin));
    QList<WrappedLine> lines;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        lines.append({text.mid(line.textStart(), line.textLength()), line.x(), i > 0});
    }
    return lines;
}

QString HistoryView::selectedText() const
{
    QList<int> rows;
    for (const QModelIndex &index : selectionModel()->selectedIndexes())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (int row : rows)
        lines.append(m_history->line(row));
    return lines.join(QLatin1Char('\n'));
}

void HistoryView::copy()
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void HistoryView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        copy();
        return;
    }
    QListView::keyPressEvent(event);
}
