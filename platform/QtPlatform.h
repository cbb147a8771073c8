#pragma once

#include "Platform.h"

// The real services, on Qt Widgets and QFile.
class QtPlatform : public IPlatform
{
public:
    QString getOpenFileName() override;
    QString getSaveFileName() override;
    void messageBox(const QString &text) override;
    void sleep(int milliseconds) override;
    std::unique_ptr<QIODevice> openFile(const QString &path, QIODevice::OpenMode mode) override;
    bool startSockets() override;
};
