#pragma once

#include <QObject>
#include <QString>

// A modal progress dialog with a "キャンセル" button, as the platform shows
// it. It goes with the object it was opened for; destroying it closes the
// dialog.
class IProgress : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void setLabelText(const QString &text) = 0;
    virtual void setValue(int value) = 0;

signals:
    // The operator pressed "キャンセル".
    void canceled();
};
