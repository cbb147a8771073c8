#pragma once

#include "IRedrawHost.h"
#include "MainFrm.h"

#include <QObject>
#include <QStringList>

#include <memory>

class EmptyDocument;
class StatusView;

// Command numbers shared by both programs.
enum FrameworkCommand {
    ID_FILE_NEW = 57600,
    ID_FILE_OPEN = 57601,
    ID_APP_ABOUT = 57664,
};

// What both application classes share: start-up, the main frame with its
// status view, command routing, the empty document, the settings with a
// recent-file list of 4, the About box and Redraw.
class AppFramework : public QObject, public IRedrawHost
{
    Q_OBJECT

public:
    struct Identity
    {
        QString programTitle;          // "Tavrin2" or "Tavrin"
        QList<CMainFrame::MenuItem> menu;
    };

    // Settings key; the framework keeps its per-user settings under it.
    static const char *const SettingsKey;
    static constexpr int RecentFileCount = 4;

    explicit AppFramework(const Identity &identity);
    ~AppFramework() override;

    // Starts the socket layer (failure: message 104 and false), loads the
    // settings, creates frame, document and view and shows the window.
    // `arguments` may name a document file, which is not read.
    bool InitInstance(const QStringList &arguments = {});

    void Redraw() override;
    void OnAppAbout();
    void OnFileNew();
    void OnFileOpen();

    CMainFrame *mainFrame() const { return m_frame; }
    StatusView *view() const { return m_view; }
    EmptyDocument *document() const { return m_document.get(); }
    QString documentTitle() const;
    QStringList recentFiles() const;

    // Routes a command number to its handler; unbound numbers do nothing.
    void dispatch(int id);

protected:
    // Program-specific commands; false when the number is not bound.
    virtual bool OnCommand(int id) = 0;
    virtual StatusView *createView(QWidget *parent) = 0;
    // The program's document class; a plain empty document unless overridden.
    virtual EmptyDocument *createDocument();

private:
    bool openDocument(const QString &path);
    void addRecentFile(const QString &path);
    void updateCaption();

    Identity m_identity;
    CMainFrame *m_frame = nullptr;
    StatusView *m_view = nullptr;
    std::unique_ptr<EmptyDocument> m_document;
};
