#pragma once

#include <QString>

// A modal progress dialog with a "キャンセル" button, as the platform shows
// it. Destroying the object closes the dialog.
class IProgress
{
public:
    virtual ~IProgress() = default;
    virtual void setLabelText(const QString &text) = 0;
    virtual void setValue(int value) = 0;
};
