#pragma once

#include "IProgress.h"
#include "Timers.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

class QObject;

// The services both programs take from the desktop: file dialogs, message
// boxes, progress dialogs, file objects, timers and the socket layer. Each
// program passes its services to what needs them; tests pass a scripted
// double instead.
class IPlatform : public ITimers
{
public:
    // Modal Open dialog; the chosen full path, or an empty string on cancel.
    virtual QString getOpenFileName() = 0;
    // Modal Save As dialog captioned `caption` that asks before
    // overwriting, offering `suggested` unless it is empty: a full path, or
    // a bare name in the folder saved to last (else the documents folder);
    // empty on cancel.
    virtual QString getSaveFileName(const QString &caption, const QString &suggested) = 0;
    // Modal message box with a single OK button.
    virtual void messageBox(const QString &text) = 0;
    // The same, shown from the event loop once the handler that calls this
    // has returned (a socket's, a timer's).
    virtual void messageBoxLater(const QString &text) = 0;
    // Modal question with the buttons Yes and No; true for Yes. No is the
    // default, and what closing the box answers.
    virtual bool question(const QString &text) = 0;
    // Shows a modal progress dialog over the active window, from 0 to
    // `maximum`, for as long as `owner` keeps it.
    virtual IProgress *openProgress(int maximum, QObject *owner) = 0;
    // Opens a file that `owner` keeps; nullptr when it cannot be opened.
    virtual QIODevice *openFile(const QString &path, QIODevice::OpenMode mode, QObject *owner) = 0;
    // True when TCP sockets can be created at all.
    virtual bool startSockets() = 0;
    // The folder the program keeps its own files in, such as the journal of
    // its history; empty for none.
    virtual QString dataLocation() = 0;
};
