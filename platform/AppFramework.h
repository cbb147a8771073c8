#pragma once

#include "IRedrawHost.h"
#include "MainFrm.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class EmptyDocument;
class IPlatform;
class StatusView;

// What both application classes share: start-up, the main frame with its
// status view and menu bar, the empty document, the settings with a
// recent-file list of 4, the About box and Redraw. The desktop services
// (dialogs, message boxes, timers) are the ones it is given.
class AppFramework : public QObject, public IRedrawHost
{
    Q_OBJECT

public:
    // Settings key; the framework keeps its per-user settings under it.
    static const char *const SettingsKey;
    static constexpr int RecentFileCount = 4;

    // `programTitle` is "Tavrin2" or "Tavrin".
    AppFramework(const QString &programTitle, IPlatform &desktop);
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
    IPlatform &desktop() const { return m_desktop; }
    StatusView *view() const { return m_view; }
    EmptyDocument *document() const { return m_document.get(); }
    QString documentTitle() const;
    QStringList recentFiles() const;

protected:
    // Adds the program's commands to the menu bar, in order.
    virtual void addCommands(CMainFrame *frame) = 0;
    virtual StatusView *createView(QWidget *parent) = 0;
    // The program's document class; a plain empty document unless overridden.
    virtual EmptyDocument *createDocument();

private:
    bool openDocument(const QString &path);
    void addRecentFile(const QString &path);
    void updateCaption();

    QString m_programTitle;
    IPlatform &m_desktop;
    CMainFrame *m_frame = nullptr;
    StatusView *m_view = nullptr;
    std::unique_ptr<EmptyDocument> m_document;
};
