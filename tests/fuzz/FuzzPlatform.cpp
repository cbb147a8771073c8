#include "FuzzPlatform.h"

#include <QBuffer>

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void unexpected(const char *service)
{
    std::fprintf(stderr, "the frame path asked for %s\n", service);
    std::abort();
}
}

FuzzPlatform &FuzzPlatform::instance()
{
    static FuzzPlatform platform;
    return platform;
}

IPlatform &Platform::get()
{
    return FuzzPlatform::instance();
}

void Platform::install(IPlatform *)
{
    unexpected("another platform");
}

QString FuzzPlatform::getOpenFileName()
{
    unexpected("the Open dialog");
}

QString FuzzPlatform::getSaveFileName()
{
    ++saveDialogs;
    return QString();
}

void FuzzPlatform::messageBox(const QString &)
{
    ++messages;
}

void FuzzPlatform::singleShot(int, QObject *, std::function<void()>)
{
    unexpected("a timer");
}

std::unique_ptr<IProgress> FuzzPlatform::openProgress(int, std::function<void()>)
{
    unexpected("a progress dialog");
}

std::unique_ptr<QIODevice> FuzzPlatform::openFile(const QString &, QIODevice::OpenMode mode)
{
    // Nothing is ever read back: Save As is always cancelled.
    if (!(mode & QIODevice::WriteOnly))
        return nullptr;
    auto file = std::make_unique<QBuffer>();
    file->open(mode);
    return file;
}

bool FuzzPlatform::startSockets()
{
    unexpected("sockets");
}
