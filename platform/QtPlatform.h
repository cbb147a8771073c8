#pragma once

#include "Platform.h"

// The real services, on Qt Widgets and QFile.
class QtPlatform : public IPlatform
{
public:
    QString getOpenFileName() override;
    QString getSaveFileName() override;
    void messageBox(const QString &text) override;
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override;
    std::unique_ptr<IProgress> openProgress(int maximum, std::function<void()> onCancel) override;
    std::unique_ptr<QIODevice> openFile(const QString &path, QIODevice::OpenMode mode) override;
    bool startSockets() override;
};
