#pragma once

#include "Platform.h"

#include <QObject>

// The real services, on Qt Widgets and QFile.
class QtPlatform : public IPlatform
{
public:
    QString getOpenFileName() override;
    QString getSaveFileName(const QString &caption, const QString &suggested) override;
    void messageBox(const QString &text) override;
    void messageBoxLater(const QString &text) override;
    bool question(const QString &text) override;
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override;
    IProgress *openProgress(int maximum, QObject *owner) override;
    QIODevice *openFile(const QString &path, QIODevice::OpenMode mode, QObject *owner) override;
    bool startSockets() override;
    QString dataLocation() override;

private:
    // Context of the messages shown later: they go with the services.
    QObject m_context;
    // Where the last Save As of this run saved.
    QString m_saveFolder;
};
