#pragma once

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

// Answers modal dialogs as the operator would. While it lives it polls for
// the active modal dialog and hands each new one to `answer`, which must
// close it. Arm it before the call that may open a dialog; count() then
// tells how many opened. Keep one alive at a time: the oldest answers first.
class ModalDialogAnswer : public QObject
{
public:
    using Answer = std::function<void(QDialog *)>;

    explicit ModalDialogAnswer(Answer answer)
        : m_answer(std::move(answer))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &ModalDialogAnswer::poll);
        m_timer.start();
    }

    int count() const { return m_count; }

    // An answer for dialogs that must not open at all.
    static void cancel(QDialog *dialog) { dialog->reject(); }

private:
    void poll()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog == m_answered || !dialog->isVisible())
            return;
        m_answered = dialog;
        ++m_count;
        m_answer(dialog);
    }

    Answer m_answer;
    QTimer m_timer;
    QPointer<QDialog> m_answered;
    int m_count = 0;
};
