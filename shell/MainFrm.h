#pragma once

#include <QMainWindow>

#include <initializer_list>
#include <utility>

class QKeySequence;

// The main frame of both programs: a menu bar of plain command items (no
// drop-down menus) that Alt alone or F10 enters, window-wide accelerators,
// and the caption "<document title> - <program title>".
class CMainFrame : public QMainWindow
{
    Q_OBJECT

public:
    using CommandDescription = std::pair<QString, QString>;

    explicit CMainFrame(const QString &programTitle, QWidget *parent = nullptr);

    void setDocumentTitle(const QString &title);

    // A new item at the end of the menu bar.
    QAction *addCommand(const QString &label);
    // Pairs of an item's label and what the item does, a short sentence shown
    // as its status tip and told to assistive tools.
    void describeCommands(std::initializer_list<CommandDescription> descriptions);
    // An accelerator of the whole window.
    QAction *addAccelerator(const QKeySequence &key);
    // The menu bar item labelled `label`, for tests and accessibility.
    QAction *commandAction(const QString &label) const;

    // Resizes to `preferred`, or less where the available area of the screen is smaller.
    void resizeToFit(const QSize &preferred);
    // The client size of a window wanting `preferred` on `available`, with room for `decoration`.
    static QSize fittingSize(const QSize &preferred, const QRect &available, const QSize &decoration);

private:
    void toggleMenuBar();

    QString m_programTitle;
};
