#include "EmptyDocument.h"

#include <QFile>
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
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
