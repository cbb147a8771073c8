#pragma once

#include <QWidget>

class DisplayLine;
class QPainter;

// The client area of both programs: the window colour, the status line with
// its top-left at (10, 10) and the message line at (10, 30). It keeps no copy
// of the lines; every paint draws them afresh. Screen readers get the status
// line as the view's accessible name and the message line as its description.
// A CP932 line ends at its first NUL, as the peers draw it; control characters in
// it show as their pictures.
class StatusView : public QWidget
{
    Q_OBJECT

public:
    StatusView(const DisplayLine *status, const DisplayLine *message, QWidget *parent = nullptr);

    // Requests one repaint; several requests before the next paint give one.
    void Redraw();

    QString statusText() const;
    QString messageText() const;

    // Tall enough for both lines; as wide as it is given.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void OnDraw(QPainter &painter);

private:
    void drawLine(QPainter &painter, int top, const QString &text);

    const DisplayLine *m_status;
    const DisplayLine *m_message;
};
