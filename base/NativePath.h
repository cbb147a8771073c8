#pragma once

#include <QDir>
#include <QString>

namespace NativePath {
// A path as the operator's system writes it.
inline QString of(const QString &path)
{
    return QDir::toNativeSeparators(path);
}
}
