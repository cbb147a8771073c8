#pragma once

#include <QObject>
#include <QString>

// The one document of both programs. It holds nothing: a new document is
// merely titled "無題", and opening a file gives the document its name
// without reading a byte.
class EmptyDocument : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~EmptyDocument() override;

    virtual bool OnNewDocument();
    // False when the file cannot be opened.
    virtual bool OnOpenDocument(const QString &path);
    // Neither stores nor loads anything.
    virtual void Serialize(bool storing);

    QString title() const { return m_title; }
    QString pathName() const { return m_pathName; }

    static QString untitledTitle();

private:
    QString m_title = untitledTitle();
    QString m_pathName;
};
