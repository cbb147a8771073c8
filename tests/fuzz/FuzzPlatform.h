#pragma once

#include "Platform.h"

// The desktop services as the fuzzer needs them, without any window
// system: every dialog answers Cancel, message boxes are counted instead of
// shown, and files open as scratch buffers in memory that keep nothing, so
// that runs write nothing to disk. Services the frame path never asks for
// abort the run. It also stands in for Platform::get(), so that the fuzzer
// links no Widgets.
class FuzzPlatform : public IPlatform
{
public:
    static FuzzPlatform &instance();

    int saveDialogs = 0;
    int messages = 0;

    QString getOpenFileName() override;
    QString getSaveFileName() override;
    void messageBox(const QString &text) override;
    void singleShot(int milliseconds, QObject *context, std::function<void()> then) override;
    std::unique_ptr<IProgress> openProgress(int maximum, std::function<void()> onCancel) override;
    std::unique_ptr<QIODevice> openFile(const QString &path, QIODevice::OpenMode mode) override;
    bool startSockets() override;
};
