#include "EmptyDocument.h"

#include "Platform.h"

#include <QFileInfo>

EmptyDocument::~EmptyDocument() = default;

bool EmptyDocument::OnNewDocument()
{
    m_pathName.clear();
    m_title = untitledTitle();
    return true;
}

bool EmptyDocument::OnOpenDocument(const QString &path)
{
    const auto file = Platform::get().openFile(path, QIODevice::ReadOnly);
    if (!file)
        return false;
    Serialize(false);
    m_pathName = QFileInfo(path).absoluteFilePath();
    m_title = QFileInfo(path).fileName();
    return true;
}

void EmptyDocument::Serialize(bool storing)
{
    Q_UNUSED(storing)
}

QString EmptyDocument::untitledTitle()
{
    return QStringLiteral("無題");
}
