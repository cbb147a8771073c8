#include "Platform.h"

#include "QtPlatform.h"

namespace {
IPlatform *installed = nullptr;
}

IPlatform &Platform::get()
{
    static QtPlatform real;
    return installed ? *installed : real;
}

void Platform::install(IPlatform *services)
{
    installed = services;
}
