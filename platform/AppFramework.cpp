#include "AppFramework.h"

#include "AboutDlg.h"
#include "EmptyDocument.h"
#include "Platform.h"
#include "ProgramIcon.h"
#include "StatusView.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>

const char *const AppFramework::SettingsKey = "Local AppWizard-Generated Applications";

namespace {
const QString RecentFileGroup = QStringLiteral("Recent File List");

QString recentFileKey(int index)
{
    return QStringLiteral("File%1").arg(index + 1);
}
}

AppFramework::AppFramework(const QString &programTitle, IPlatform &desktop)
    : m_programTitle(programTitle)
    , m_desktop(desktop)
{
}

AppFramework::~AppFramework()
{
    delete m_frame;
}

bool AppFramework::InitInstance(const QStringList &arguments)
{
    if (!m_desktop.startSockets()) {
        m_desktop.messageBox(QStringLiteral("Windows ｿｹｯﾄの初期化に失敗しました。"));
        return false;
    }

    // The classic style drives the plain menu-bar items with Alt, the arrow keys and Return.
    if (QStyle *style = QStyleFactory::create(QStringLiteral("Windows")))
        QApplication::setStyle(style);

    m_document.reset(createDocument());
    m_frame = new CMainFrame(m_programTitle);
    m_frame->setWindowIcon(ProgramIcon::make(m_programTitle));
    m_frame->resize(640, 400);
    m_view = createView(m_frame);
    m_frame->setCentralWidget(m_view);
    addCommands(m_frame);
    connect(m_frame->addAccelerator(QKeySequence(Qt::CTRL | Qt::Key_N)), &QAction::triggered, this,
            &AppFramework::OnFileNew);
    connect(m_frame->addAccelerator(QKeySequence(Qt::CTRL | Qt::Key_O)), &QAction::triggered, this,
            &AppFramework::OnFileOpen);

    // No options of the programs' own: the first plain argument names a
    // document, which is opened but never read.
    QString documentPath;
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-'))) {
            documentPath = argument;
            break;
        }
    }
    if (documentPath.isEmpty()) {
        if (!m_document->OnNewDocument())
            return false;
        updateCaption();
    } else if (!openDocument(documentPath)) {
        return false;
    }

    m_frame->show();
    m_frame->update();
    return true;
}

void AppFramework::Redraw()
{
    if (m_view)
        m_view->Redraw();
}

void AppFramework::OnAppAbout()
{
    CAboutDlg about(m_programTitle, m_frame);
    about.DoModal();
}

void AppFramework::OnFileNew()
{
    if (m_document->OnNewDocument())
        updateCaption();
}

void AppFramework::OnFileOpen()
{
    const QString path = m_desktop.getOpenFileName();
    if (!path.isEmpty())
        openDocument(path);
}

QString AppFramework::documentTitle() const
{
    return m_document ? m_document->title() : QString();
}

QStringList AppFramework::recentFiles() const
{
    QSettings settings(QString::fromLatin1(SettingsKey), m_programTitle);
    settings.beginGroup(RecentFileGroup);
    QStringList files;
    for (int i = 0; i < RecentFileCount; ++i) {
        const QString file = settings.value(recentFileKey(i)).toString();
        if (!file.isEmpty())
            files.append(file);
    }
    return files;
}

EmptyDocument *AppFramework::createDocument()
{
    return new EmptyDocument;
}

bool AppFramework::openDocument(const QString &path)
{
    if (!m_document->OnOpenDocument(path)) {
        m_desktop.messageBox(
            QStringLiteral("%1 を開けませんでした。\nファイルがあるか、読み取りが許されているかを確かめてください。")
                .arg(path));
        return false;
    }
    addRecentFile(m_document->pathName());
    updateCaption();
    return true;
}

void AppFramework::addRecentFile(const QString &path)
{
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    QSettings settings(QString::fromLatin1(SettingsKey), m_programTitle);
    settings.beginGroup(RecentFileGroup);
    for (int i = 0; i < RecentFileCount; ++i) {
        if (i < files.size())
            settings.setValue(recentFileKey(i), files.at(i));
        else
            settings.remove(recentFileKey(i));
    }
}

void AppFramework::updateCaption()
{
    if (m_frame)
        m_frame->setDocumentTitle(m_document->title());
}
