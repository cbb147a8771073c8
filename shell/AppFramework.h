#pragma once

#include "HistoryModel.h"
#include "MainFrm.h"

#include <QAction>
#include <QObject>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <utility>

class EmptyDocument;
class SenderNotifier;
class HistoryView;
class IPlatform;
class Journal;
class StatusView;

// What both application classes share: start-up, the main frame with its
// status view above the history and its menu bar, the empty document, the
// settings with a recent-file list of 4, the About box, Redraw, the history
// with its journal, saving the history and the call for attention. The
// desktop services (dialogs, message boxes, timers, the data folder) are the
// ones it is given.
class AppFramework : public QObject
{
    Q_OBJECT

public:
    // Settings key; the framework keeps its per-user settings under it.
    static const char *const SettingsKey;
    static constexpr int RecentFileCount = 4;
    // Entries of the earlier run shown when the program starts.
    static constexpr int EarlierEntries = 200;

    // `programTitle` is "Tavrin2" or "Tavrin". Opens the journal the
    // settings ask for and shows the end of the earlier run.
    AppFramework(const QString &programTitle, IPlatform &desktop);
    ~AppFramework() override;

    // Starts the socket layer (failure: message 104 and false), loads the
    // settings, creates frame, document and view and shows the window.
    // `arguments` may name a document file, which is not read.
    bool InitInstance(const QStringList &arguments = {});

    // Asks for one repaint of the whole window after a display line changed.
    virtual void Redraw();
    void OnAppAbout();
    void OnFileNew();
    void OnFileOpen();
    // "履歴保存": the history of this run as UTF-8 text, where the Save As
    // dialog says; from the journal, which holds what the list let go.
    void OnSaveHistory();

    // What happened during this run, for the programs to add to.
    HistoryModel &history() { return m_history; }
    Journal &journal() const { return *m_journal; }
    // Something arrived for the operator: while the main window is not the
    // active one, the task bar marks it and the desktop shows `body`.
    void callForAttention(const QString &body);
    // A text from `sender` ("端末 3"; empty for the one peer): the same, with
    // one desktop notification per sender, updated in place.
    void callForAttention(const QString &sender, const QString &text);

    CMainFrame *mainFrame() const { return m_frame; }
    IPlatform &desktop() const { return m_desktop; }
    StatusView *view() const { return m_view; }
    HistoryView *historyView() const { return m_historyView; }
    EmptyDocument *document() const { return m_document; }
    QString documentTitle() const;
    QStringList recentFiles() const;
    // The question closing the window asks while `losses` would be lost.
    static QString closeQuestion(const QStringList &losses);

signals:
    // The main window closes, any question about it answered Yes.
    void closing();

protected:
    // Adds the program's commands to the menu bar, in order.
    virtual void addCommands(CMainFrame *frame) = 0;
    template<typename App>
    using Command = std::pair<QString, void (App::*)()>;
    // The menu-bar items `commands`, each running its member of `app`.
    template<typename App>
    static void addCommandItems(CMainFrame *frame, App *app, std::initializer_list<Command<App>> commands)
    {
        for (const auto &[label, command] : commands)
            connect(frame->addCommand(label), &QAction::triggered, app, command);
    }
    virtual StatusView *createView(QWidget *parent) = 0;
    // What the program shows below the history; nothing unless overridden.
    virtual QWidget *createPanel(QWidget *parent);
    // The program's document class; a plain empty document unless overridden.
    virtual EmptyDocument *createDocument();
    // What ending the program now would lose, one line each; nothing by default.
    virtual QStringList closeLosses() const;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool openDocument(const QString &path);
    void addRecentFile(const QString &path);
    void updateCaption();

    QString m_programTitle;
    IPlatform &m_desktop;
    CMainFrame *m_frame = nullptr;
    SenderNotifier *m_notifier;
    StatusView *m_view = nullptr;
    HistoryModel m_history;
    Journal *m_journal;
    HistoryView *m_historyView = nullptr;
    EmptyDocument *m_document = nullptr;
};
