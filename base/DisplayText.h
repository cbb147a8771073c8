#pragma once

#include <QByteArray>
#include <QString>

// What a peer sends, made safe to show: no character of it can act on a
// terminal, a printer or a markup renderer, start a line of its own or
// turn text around.
namespace DisplayText {

// Line breaks (CR, LF, the line and paragraph separators) as one space a
// run, as a text of several lines has always shown on one; every other
// control character as its picture (ESC as ␛, BEL as ␇, NUL as ␀, DEL as
// ␡), which no CP932 text can contain; C1 controls and format characters
// (direction overrides among them) as U+FFFD.
QString visible(const QString &text);

// A display line as the peers draw it: the CP932 bytes up to the first NUL,
// decoded and made visible.
QString line(const QByteArray &bytes);

// For a notification body: visible() and then escaped for servers that
// render markup.
QString notificationBody(const QString &text);

}
