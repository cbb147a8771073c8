#include "StatusView.h"

#include "DisplayLine.h"
#include "DisplayText.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

StatusView::StatusView(const DisplayLine *status, const DisplayLine *message, QWidget *parent)
    : QWidget(parent)
    , m_status(status)
    , m_message(message)
{
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(statusText());
    setAccessibleDescription(messageText());
}

void StatusView::Redraw()
{
    if (accessibleName() != statusText())
        setAccessibleName(statusText());
    if (accessibleDescription() != messageText())
        setAccessibleDescription(messageText());
    update();
}

QString StatusView::statusText() const
{
    return DisplayText::line(m_status->bytes());
}

QString StatusView::messageText() const
{
    return m_message->holdsUnicode() ? DisplayText::visible(m_message->unicode()) : DisplayText::line(m_message->bytes());
}

QSize StatusView::sizeHint() const
{
    // The message line's top, its height, and as much again below it as above the status line.
    return QSize(200, 30 + fontMetrics().height() + 10);
}

void StatusView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    OnDraw(painter);
}

void StatusView::OnDraw(QPainter &painter)
{
    // The system colour is read at every paint so that a changed palette shows at once.
    painter.fillRect(rect(), QApplication::palette().color(QPalette::Window));
    drawLine(painter, 10, statusText());
    drawLine(painter, 30, messageText());
}

void StatusView::drawLine(QPainter &painter, int top, const QString &text)
{
    // Laid out as one line whose top (taller fallback glyphs included) is
    // at `top`; neither wrapped nor clipped.
    const QRect box(10, top, qMax(1, width() - 10), QFontMetrics(painter.font()).height());
    painter.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip, text);
}
