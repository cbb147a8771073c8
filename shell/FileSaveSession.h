#pragma once

#include <QString>

#include <functional>

class CConnSocket;
class IPlatform;
struct ReceivedFile;

// A received file as the operator sees it, the same in both programs: told
// when it arrived incomplete, else saved where the operator says in the Save
// As dialog (asked again while the target, links followed, lies in a chunk
// directory) and moved there, a copy across file systems followed in a
// progress dialog once it takes long. The connection's reading is held
// while the dialogs are open, so that its frames are handled in order.
namespace FileSaveSession {

enum class Outcome {
    // Moved or being copied to the target; a failure is told on its own.
    Saving,
    // The operator cancelled the Save As dialog.
    NotSaved,
    // Incomplete: the operator was told.
    Lost,
};

// A copy that lasts longer than this shows a progress dialog.
constexpr int COPY_PROGRESS_DELAY_MS = 500;

// Notes one line of what became of the file, for the operator's history.
using Record = std::function<void(const QString &line)>;

// Offers `file` from `sender` ("端末 3 ", "接続局") on `connection`.
Outcome offer(IPlatform &desktop, CConnSocket *connection, const ReceivedFile &file, const QString &sender,
              Record record = {});

// Tells, from the event loop, that a file of `sender` was not taken for
// want of room in the spool's file system.
void tellRefused(IPlatform &desktop, const QString &sender, quint32 length, qint64 available);

}
