#include "AppFramework.h"

#include "AboutDlg.h"
#include "DesktopNotifier.h"
#include "EmptyDocument.h"
#include "HistoryView.h"
#include "Journal.h"
#include "NativePath.h"
#include "Platform.h"
#include "ProgramIcon.h"
#include "SpoolDirectory.h"
#include "StatusView.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDevice>
#include <QKeySequence>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QStyleFactory>
#include <QVBoxLayout>

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
    , m_notifier(new SenderNotifier(programTitle, desktop, this))
{
    const QSettings settings(QString::fromLatin1(SettingsKey), programTitle);
    const int keptDays = settings.value(QString::fromLatin1(Journal::KeptDaysKey), Journal::DefaultKeptDays).toInt();
    const QString data = desktop.dataLocation();
    m_journal = new Journal(data.isEmpty() ? QString() : QDir(data).filePath(QStringLiteral("history")), programTitle,
                            keptDays, desktop, this);
    m_history.addEarlier(m_journal->earlierLines(EarlierEntries));
    m_history.setJournalKept(m_journal->state() == Journal::State::Writing);
    connect(&m_history, &HistoryModel::recorded, m_journal, &Journal::append);
    // Queued: the journal fails inside an entry being added.
    connect(m_journal, &Journal::stateChanged, this, [this](Journal::State state) {
        if (state != Journal::State::Failed)
            return;
        m_history.setJournalKept(false);
        m_history.add(m_journal->failure());
        m_desktop.messageBoxLater(m_journal->failure());
    }, Qt::QueuedConnection);
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
    // Spools that programs of this user left when they were killed.
    SpoolDirectory::removeStale();

    // The classic style drives the plain menu-bar items with Alt, the arrow keys and Return.
    if (QStyle *style = QStyleFactory::create(QStringLiteral("Windows")))
        QApplication::setStyle(style);

    m_document = createDocument();
    m_document->setParent(this);
    m_frame = new CMainFrame(m_programTitle);
    // The close box and 終了 ask; a termination signal quits the event loop and is not asked.
    m_frame->installEventFilter(this);
    m_frame->setWindowIcon(ProgramIcon::make(m_programTitle));
    m_frame->resizeToFit(QSize(760, 560));
    // The status view keeps the top with its two lines where they always
    // were; the history and the program's panel share the rest.
    auto *central = new QWidget(m_frame);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_view = createView(central);
    layout->addWidget(m_view);
    auto *lower = new QSplitter(Qt::Vertical, central);
    lower->setContentsMargins(10, 0, 10, 10);
    lower->setChildrenCollapsible(false);
    m_historyView = new HistoryView(&m_history, lower);
    if (QWidget *panel = createPanel(lower)) {
        lower->addWidget(panel);
        // Most of the room to the history.
        lower->setSizes({350, 150});
    }
    layout->addWidget(lower, 1);
    m_frame->setCentralWidget(central);
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

void AppFramework::OnSaveHistory()
{
    const QString path = m_desktop.getSaveFileName(QStringLiteral("履歴を保存"));
    if (path.isEmpty())
        return;
    QObject owner;
    QIODevice *file = m_desktop.openFile(path, QIODevice::WriteOnly | QIODevice::Truncate, &owner);
    bool written = file
        && (m_journal->state() == Journal::State::Writing ? m_journal->writeRun(*file) : m_history.write(*file));
    if (auto *device = qobject_cast<QFileDevice *>(file))
        written = written && device->flush();
    if (!written) {
        m_desktop.messageBox(QStringLiteral("履歴を「%1」に保存できませんでした%2。"
                                            "書き込める保存先と空き容量を確かめて、もう一度保存してください。")
                                 .arg(NativePath::of(path),
                                      file ? QStringLiteral("（%1）").arg(file->errorString()) : QString()));
    }
}

void AppFramework::callForAttention(const QString &body)
{
    if (!m_frame || m_frame->isActiveWindow())
        return;
    QApplication::alert(m_frame);
    DesktopNotifier::notify(m_programTitle, body);
}

void AppFramework::callForAttention(const QString &sender, const QString &text)
{
    if (!m_frame || m_frame->isActiveWindow())
        return;
    QApplication::alert(m_frame);
    m_notifier->notify(sender, text);
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

QWidget *AppFramework::createPanel(QWidget *)
{
    return nullptr;
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

QStringList AppFramework::closeLosses() const
{
    return {};
}

QString AppFramework::closeQuestion(const QStringList &losses)
{
    return QStringLiteral("終了すると、次のものが失われます。\n%1\n\n終了しますか？").arg(losses.join(QLatin1Char('\n')));
}

bool AppFramework::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_frame && event->type() == QEvent::Close) {
        const QStringList losses = closeLosses();
        if (!losses.isEmpty() && !m_desktop.question(closeQuestion(losses))) {
            event->ignore();
            return true;
        }
        emit closing();
    }
    return QObject::eventFilter(watched, event);
}
