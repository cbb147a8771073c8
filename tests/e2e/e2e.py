#!/usr/bin/python3
"""Drives the Station (Tavrin2) and the Terminal (Tavrin) as an operator would.

Menu items, dialog buttons and edits are reached through the AT-SPI
accessibility bus; the two display lines are read from the status view's
accessible name (status line) and description (message line). Started by
run_e2e.sh, which provides the display, the buses and the COM1 line.
"""

import argparse
import ctypes
import os
import re
import select
import signal
import subprocess
import sys
import termios
import time
import traceback
import tty

import pyatspi
from gi.repository import GLib

DIALOG_CAPTION = "ﾀﾞｲｱﾛｸﾞ"
PROGRESS_MARK = "チャンク送信済み"
RUN_LIMIT_S = 260
# The Terminal's address for the Station: another loopback address than the
# default, so that a later Start shows it remembered.
STATION_ADDRESS = "127.0.0.2"
# AT-SPI call timeouts. A press that opens a modal dialog gets its answer only
# when the dialog closes, so presses wait briefly and the effect is polled.
CALL_TIMEOUT_MS = 2000
PRESS_TIMEOUT_MS = 300


class StepFailed(Exception):
    pass


class ProgramDied(StepFailed):
    pass


# The programs under test; every poll first checks that they still run.
PROGRAMS = []


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------- AT-SPI access

def safe(function, default=None):
    """The result of one AT-SPI call, or `default` while the program is busy."""
    try:
        return function()
    except (GLib.GError, LookupError, AttributeError, RuntimeError):
        return default


def stays_false(what, probe, duration, interval=0.2):
    """Calls `probe` for `duration` seconds; StepFailed as soon as it returns something true."""
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        for program in PROGRAMS:
            program.check_alive()
        value = probe()
        if value:
            raise StepFailed("%s: %r" % (what, value))
        time.sleep(interval)


def poll(what, probe, timeout=10.0, interval=0.1):
    """Calls `probe` until it returns something true; that value, or StepFailed."""
    deadline = time.monotonic() + timeout
    while True:
        for program in PROGRAMS:
            program.check_alive()
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise StepFailed("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def fresh(accessible):
    safe(accessible.clear_cache)
    return accessible


def answered(function):
    """The value of a fresh read, or None when the program did not answer in time.
    libatspi reports a timed-out name or child count as "" or -1, not as an error."""
    started = time.monotonic()
    value = safe(function)
    if time.monotonic() - started > 0.9 * CALL_TIMEOUT_MS / 1000:
        return None
    return value


def children(accessible, busy=()):
    """The accessible's children; `busy` when the program does not answer."""
    count = answered(lambda: fresh(accessible).childCount)
    if count is None or count < 0:
        return busy
    result = []
    for index in range(count):
        child = safe(lambda: accessible.getChildAtIndex(index))
        if child is not None:
            result.append(child)
    return result


def role(accessible):
    return safe(accessible.getRole)


def name(accessible):
    return safe(lambda: accessible.name)


def descendants(accessible, depth=8):
    if depth == 0:
        return
    for child in children(accessible):
        yield child
        yield from descendants(child, depth - 1)


def find(accessible, wanted_role, wanted_name=None, depth=8):
    for candidate in descendants(accessible, depth):
        if role(candidate) == wanted_role and (wanted_name is None or name(candidate) == wanted_name):
            return candidate
    return None


def is_showing(accessible):
    states = safe(accessible.getState)
    return states is not None and states.contains(pyatspi.STATE_SHOWING)


def press(accessible, what):
    """Runs the accessible's default action without waiting for modal dialogs."""
    def action_names():
        action = safe(accessible.queryAction)
        count = safe(lambda: action.nActions, 0) if action is not None else 0
        names = [safe(lambda i=i: action.getName(i)) for i in range(count)]
        return (action, names) if names and None not in names else None
    action, names = poll("%s to offer an action" % what, action_names, 5)
    index = next((i for i, n in enumerate(names) if n.lower() in ("press", "click", "toggle")), 0)
    pyatspi.setTimeout(PRESS_TIMEOUT_MS, PRESS_TIMEOUT_MS)
    try:
        action.doAction(index)
    except GLib.GError:
        pass  # no answer yet: a modal dialog is running inside the press
    finally:
        pyatspi.setTimeout(CALL_TIMEOUT_MS, CALL_TIMEOUT_MS)


class Program:
    """One running program and its accessible tree."""

    def __init__(self, label, path, out_dir, env, log_name=None):
        self.label = label
        self.app_name = os.path.basename(path)
        self.log_path = os.path.join(out_dir, (log_name or self.app_name) + ".log")
        self.log_file = open(self.log_path, "wb")
        self.process = subprocess.Popen([path], stdout=self.log_file, stderr=subprocess.STDOUT,
                                        env=env, cwd=os.path.dirname(path))
        self.app = None
        self.windows = []
        PROGRAMS.append(self)

    def answers(self, timeout=6.0):
        """True when the program answers on the accessibility bus within `timeout`
        (a file send or an RS relay holds it for a few seconds)."""
        try:
            poll("%s to answer" % self.label,
                 lambda: answered(lambda: fresh(self.app).get_role()) is not None, timeout)
            return True
        except StepFailed:
            return False

    def check_alive(self):
        if self.process.poll() is not None:
            raise ProgramDied("%s exited with code %s (see %s)"
                              % (self.label, self.process.returncode, self.log_path))

    def find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            # Two Terminals share a name; the process tells them apart.
            if name(app) == self.app_name and safe(app.get_process_id) == self.process.pid:
                return app
        return None

    def wait_ready(self, timeout=20.0):
        def ready():
            self.app = self.app or self.find_app()
            return self.app is not None and self.menu_bar() is not None and self.view() is not None
        poll("%s to show its window" % self.label, ready, timeout)

    def frame(self):
        for child in children(self.app):
            if role(child) == pyatspi.ROLE_FRAME and is_showing(child):
                return child
        return None

    def menu_bar(self):
        frame = self.frame()
        return frame and find(frame, pyatspi.ROLE_MENU_BAR, depth=3)

    def content(self):
        """The frame's content apart from its menu bar."""
        frame = self.frame()
        if frame is None:
            return None
        skip = (pyatspi.ROLE_MENU_BAR, pyatspi.ROLE_MENU, pyatspi.ROLE_MENU_ITEM,
                pyatspi.ROLE_TOOL_BAR, pyatspi.ROLE_STATUS_BAR)
        for child in children(frame):
            if role(child) not in skip:
                return child
        return None

    def view(self):
        """The status view: the content's first part, above the history."""
        content = self.content()
        if content is None:
            return None
        for child in children(content):
            if role(child) not in (pyatspi.ROLE_SPLIT_PANE, pyatspi.ROLE_LIST, pyatspi.ROLE_TABLE):
                return child
        return None

    def rows(self, wanted_role, label):
        """The texts of the rows of the list or table named `label`, or None while busy."""
        content = self.content()
        widget = content and find(content, wanted_role, label, depth=3)
        if widget is None:
            return None
        cells = children(fresh(widget), busy=None)
        if cells is None:
            return None
        return [name(cell) or "" for cell in cells if role(cell) not in (pyatspi.ROLE_COLUMN_HEADER, pyatspi.ROLE_TABLE_COLUMN_HEADER)]

    def history(self):
        return self.rows(pyatspi.ROLE_LIST, "履歴")

    def wait_history(self, what, predicate, timeout=10.0):
        """The history's rows once `predicate` holds for them."""
        seen = []

        def check():
            rows = self.history()
            if rows is not None:
                seen[:] = [rows]
                return predicate(rows)
            return False
        try:
            poll(what, check, timeout)
        except StepFailed as error:
            raise StepFailed("%s; history read %r" % (error, seen[0][-8:] if seen else None))
        return seen[0]

    def lines(self):
        """(status line, message line), or None while the program is busy."""
        view = self.view()
        if view is None:
            return None
        fresh(view)
        status = answered(lambda: view.name)
        message = answered(lambda: view.description)
        if status is None or message is None:
            return None
        return status, message

    def wait_lines(self, what, predicate, timeout=10.0):
        seen = []

        def check():
            current = self.lines()
            if current is not None:
                seen[:] = [current]
                return predicate(*current)
            return False
        try:
            poll(what, check, timeout)
        except StepFailed as error:
            raise StepFailed("%s; last seen status %r, message %r" % (
                error, *(seen[0] if seen else ("?", "?"))))
        return seen[0]

    def choose(self, label):
        bar = poll("%s menu bar" % self.label, self.menu_bar, 5)
        item = poll("%s menu item %r" % (self.label, label),
                    lambda: find(bar, pyatspi.ROLE_MENU_ITEM, label, depth=2), 5)
        press(item, "%s menu item %r" % (self.label, label))

    def dialogs(self, caption=None):
        """The open dialogs, or None while the program does not answer."""
        top_level = children(self.app, busy=None)
        if top_level is None:
            return None
        result = []
        for child in top_level:
            if role(child) in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_FILE_CHOOSER, pyatspi.ROLE_ALERT) \
                    and is_showing(child) and (caption is None or name(child) == caption):
                result.append(child)
        return result

    def wait_dialog(self, caption, timeout=10.0):
        return poll("%s dialog %r" % (self.label, caption),
                    lambda: next(iter(self.dialogs(caption) or []), None), timeout)

    def wait_file_dialog(self, timeout=10.0):
        def file_dialog():
            for dialog in self.dialogs() or []:
                if name(dialog) != DIALOG_CAPTION and file_name_edit(dialog) is not None:
                    return dialog
            return None
        return poll("%s file dialog" % self.label, file_dialog, timeout)

    def progress_dialog(self):
        """The open file-send progress dialog, or None."""
        for child in children(self.app):
            if role(child) in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_WINDOW) and is_showing(child) \
                    and (find(child, pyatspi.ROLE_PROGRESS_BAR, depth=3) is not None
                         or progress_label(child) is not None):
                return child
        return None

    def wait_no_dialog(self, timeout=10.0):
        poll("%s dialogs to close" % self.label, lambda: self.dialogs() == [], timeout)

    def stop(self):
        if self in PROGRAMS:
            PROGRAMS.remove(self)
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log_file.close()


# ---------------------------------------------------------------- dialog helpers

def set_text(edit, text, what):
    editable = safe(edit.queryEditableText)
    if editable is None:
        raise StepFailed("%s is not editable through accessibility" % what)
    pyatspi.setTimeout(CALL_TIMEOUT_MS, CALL_TIMEOUT_MS)
    if not safe(lambda: editable.setTextContents(text), False):
        raise StepFailed("could not set the text of %s" % what)
    poll("%s to hold %r" % (what, text), lambda: text_of(edit) == text, 3)


def text_of(edit):
    text = safe(edit.queryText)
    if text is None:
        return None
    return safe(lambda: text.getText(0, -1))


def progress_label(dialog):
    """The progress dialog's label text, or None."""
    for item in descendants(dialog, 3):
        text = name(item) or text_of(item) or ""
        if PROGRESS_MARK in text:
            return text
    return None


def file_name_edit(dialog):
    """The file name field of a Japanese Open or Save As dialog ("ファイル名(&N):")."""
    for candidate in descendants(dialog):
        if role(candidate) == pyatspi.ROLE_TEXT and "ファイル名" in (name(candidate) or ""):
            return candidate
    return None


def accessible_id(accessible):
    return safe(accessible.get_accessible_id, "") or ""


def input_field(program, dialog):
    """Edit 1000: by its id where the bridge exposes object names, else the first field
    that is not read-only (template order: the input field comes before the prompt)."""
    def lookup():
        fields = [item for item in descendants(dialog, 3) if role(item) == pyatspi.ROLE_TEXT]
        for field in fields:
            if "id1000" in (accessible_id(field), name(field)):
                return field
        writable = [field for field in fields
                    if safe(lambda: not field.getState().contains(pyatspi.STATE_READ_ONLY))]
        return writable[0] if writable else None
    return poll("%s input field (edit 1000) in the dialog" % program.label, lookup, 5)


def yes_button(dialog):
    """The question box's Yes button, whatever the translation calls it."""
    for candidate in descendants(dialog, 4):
        label = name(candidate) or ""
        if role(candidate) == pyatspi.ROLE_PUSH_BUTTON and label.replace("&", "").startswith(("はい", "Yes")):
            return candidate
    return None


def dialog_control(program, dialog, wanted_role, label):
    return poll("%s control %r in the dialog" % (program.label, label),
                lambda: find(dialog, wanted_role, label, depth=3), 5)


def answer_file_dialog(program, path):
    """Types `path` into the file name field of the Open or Save As dialog."""
    dialog = program.wait_file_dialog()
    edit = file_name_edit(dialog)
    set_text(edit, path, "%s file name field" % program.label)
    return dialog


def accept_file_dialog(program, dialog, verb):
    buttons = [b for b in descendants(dialog) if role(b) == pyatspi.ROLE_PUSH_BUTTON
               and re.sub(r"\(&?\w\)|&", "", name(b) or "") in verb]
    if not buttons:
        raise StepFailed("%s file dialog has no %s button" % (program.label, "/".join(verb)))
    press(buttons[0], "%s file dialog button" % program.label)


def write_tree(stream, accessible, depth):
    states = safe(accessible.getState)
    flags = [flag for flag, state in (("showing", pyatspi.STATE_SHOWING), ("editable", pyatspi.STATE_EDITABLE),
                                      ("read-only", pyatspi.STATE_READ_ONLY), ("checked", pyatspi.STATE_CHECKED),
                                      ("enabled", pyatspi.STATE_ENABLED))
             if states is not None and states.contains(state)]
    stream.write("%s%s name=%r description=%r id=%r text=%r [%s]\n" % (
        "  " * depth, safe(accessible.getRoleName), name(accessible),
        safe(lambda: accessible.description), accessible_id(accessible),
        text_of(accessible) if role(accessible) == pyatspi.ROLE_TEXT else None, " ".join(flags)))
    if depth < 10:
        for child in children(accessible):
            write_tree(stream, child, depth + 1)


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def close_window(window):
    """Asks a window to close as a window manager's close box does (WM_DELETE_WINDOW)."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                ctypes.POINTER(XEvent)]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = xlib.XOpenDisplay(None)
    if not display:
        raise StepFailed("cannot open the X display to close a window")
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    xlib.XFlush(display)
    xlib.XCloseDisplay(display)


# ---------------------------------------------------------------- the run

class Run:
    def __init__(self, options):
        self.options = options
        self.out = options.out
        self.results = []
        self.shot_number = 0
        self.station = None
        self.terminal = None
        self.peer = None

    def screenshot(self, label, window="root"):
        self.shot_number += 1
        path = os.path.join(self.out, "%02d-%s.png" % (self.shot_number, label))
        try:
            subprocess.run(["import", "-window", window, path], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=20, check=False)
        except subprocess.TimeoutExpired:
            log("      (no screenshot %s: import timed out)" % os.path.basename(path))

    def step(self, title, function, critical=False):
        started = time.monotonic()
        try:
            function()
        except StepFailed as error:
            self.results.append((title, False))
            log("FAIL: %s: %s" % (title, error))
            self.screenshot("FAIL-" + title.split()[0].lower())
            hung = [program for program in (self.station, self.terminal)
                    if program is not None and program.app is not None and not program.answers()]
            for program in hung:
                log("      %s does not answer on the accessibility bus: it hangs" % program.label)
            self.dump_trees(hung)
            self.recover(hung)
            if critical or hung or isinstance(error, ProgramDied):
                raise
            return
        except Exception:
            self.results.append((title, False))
            log("FAIL: %s: unexpected error\n%s" % (title, traceback.format_exc()))
            raise
        self.results.append((title, True))
        log("PASS: %s (%.1f s)" % (title, time.monotonic() - started))

    def dump_trees(self, hung):
        """Writes the accessible trees of both programs next to the screenshots."""
        path = os.path.join(self.out, "%02d-accessible-trees.txt" % self.shot_number)
        with open(path, "w", encoding="utf-8") as stream:
            for program in (self.station, self.terminal):
                if program is not None and program.app is not None and program not in hung:
                    write_tree(stream, program.app, 0)

    def recover(self, hung):
        """Reports and closes dialogs left open by a failed step, so that later steps can run."""
        for program in (self.station, self.terminal):
            if program is None or program.app is None or program in hung:
                continue
            for dialog in program.dialogs() or []:
                texts = [name(item) or text_of(item) for item in descendants(dialog, 3)
                         if role(item) in (pyatspi.ROLE_LABEL, pyatspi.ROLE_STATIC, pyatspi.ROLE_TEXT)]
                log("      open %s dialog %r: %s" % (program.label, name(dialog),
                                                     " | ".join(t for t in texts if t)))
                for label in ("ｷｬﾝｾﾙ", "キャンセル", "Cancel", "OK"):
                    button = find(dialog, pyatspi.ROLE_PUSH_BUTTON, label)
                    if button is not None:
                        try:
                            press(button, label)
                        except StepFailed as error:
                            log("      could not close it: %s" % error)
                        break

    # -- steps

    def launch(self):
        env = dict(os.environ)
        env["TAVRIN2_COM1"] = self.options.com1
        self.station = Program("Station", self.options.station, self.out, env)
        self.terminal = Program("Terminal", self.options.terminal, self.out, env)
        self.station.wait_ready()
        self.terminal.wait_ready()
        self.place(self.station, 0, 0, 640, 560)
        self.place(self.terminal, 640, 0, 640, 380)
        for program in (self.station, self.terminal):
            program.wait_lines("%s to start with empty lines" % program.label,
                               lambda status, message: status == "" and message == "")
        self.screenshot("launched")

    def place(self, program, x, y, width, height):
        """Puts the main windows side by side; there is no window manager."""
        def windows():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(program.process.pid)],
                                   capture_output=True, text=True, check=False)
            return found.stdout.split()
        program.windows = poll("%s window on the display" % program.label, windows, 10)
        for window in program.windows:
            subprocess.run(["xdotool", "windowmove", window, str(x), str(y)], check=False)
            subprocess.run(["xdotool", "windowsize", window, str(width), str(height)], check=False)

    def station_start(self):
        self.station.choose("開始")
        self.station.wait_lines('Station status "接続待ち"', lambda s, m: s == "接続待ち")
        self.screenshot("station-listening")

    def terminal_start(self, shot="connected", terminal=None, connected=1, offered=STATION_ADDRESS, typed=None):
        """Start: the dialog offers `offered` (the default, or the Station remembered), and
        the operator types `typed` over it or accepts it."""
        terminal = terminal or self.terminal
        terminal.choose("開始")
        dialog = terminal.wait_dialog(DIALOG_CAPTION)
        self.screenshot("terminal-address-dialog")
        edit = input_field(terminal, dialog)
        address = poll("the address offered in the dialog", lambda: text_of(edit), 3)
        if address != offered:
            raise StepFailed("the address dialog offers %r, not %r" % (address, offered))
        prompt = "IPアドレス入力してください"
        if not any(text_of(field) == prompt for field in descendants(dialog, 3)
                   if role(field) == pyatspi.ROLE_TEXT):
            raise StepFailed("the address dialog does not show the prompt %r" % prompt)
        if typed is not None:
            set_text(edit, typed, "%s address field" % terminal.label)
        press(dialog_control(terminal, dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "OK")
        terminal.wait_no_dialog()
        terminal.wait_lines('%s status "接続中"' % terminal.label, lambda s, m: s == "接続中")
        status = "%d人と接続中" % connected
        self.station.wait_lines('Station status "%s"' % status, lambda s, m: s == status)
        self.screenshot(shot)

    def terminal_first_start(self):
        self.terminal_start(offered="127.0.0.1", typed=STATION_ADDRESS)

    def terminal_restart(self):
        self.terminal_start("started-again")

    def station_restart(self):
        """The Station ends and starts again; the Terminal connects to it again by itself."""
        self.station.stop()
        self.terminal.wait_lines('Terminal status "接続待ち"', lambda s, m: s == "接続待ち", 15)
        self.terminal.wait_history("the Terminal's history to say that it reconnects",
                                   lambda rows: any(r.endswith("局 %s に再接続します（2 秒後）" % STATION_ADDRESS)
                                                    for r in rows))
        self.screenshot("terminal-waiting-to-reconnect")
        env = dict(os.environ)
        env["TAVRIN2_COM1"] = self.options.com1
        self.station = Program("Station", self.options.station, self.out, env, "Tavrin2-restarted")
        self.station.wait_ready()
        self.place(self.station, 0, 0, 640, 560)
        self.station_start()
        # The waits double from 2 s: 2, 6, 14, 30, 62 s after the Station left.
        self.terminal.wait_lines('Terminal status "接続中" again', lambda s, m: s == "接続中", 75)
        self.station.wait_lines('Station status "1人と接続中"', lambda s, m: s == "1人と接続中")
        self.terminal.wait_history("the Terminal's history to note the reconnection",
                                   lambda rows: any(re.search(r"局 127\.0\.0\.2:1 に再接続しました$", r) for r in rows))
        self.screenshot("reconnected")

    def terminal_sends_text(self, text, shot, terminal=None):
        terminal = terminal or self.terminal
        terminal.choose("送信")
        dialog = terminal.wait_dialog(DIALOG_CAPTION)
        set_text(input_field(terminal, dialog), text,
                 "%s send field" % terminal.label)
        self.screenshot(shot)
        press(dialog_control(terminal, dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "OK")
        terminal.wait_no_dialog()

    def terminal_to_station_text(self):
        text = "Hello 局 from the Terminal"
        self.terminal_sends_text(text, "terminal-send-dialog")
        self.station.wait_lines("Station message %r" % ("0> " + text), lambda s, m: m == "0> " + text)
        self.screenshot("station-received-text")

    def choose_client(self, text=None):
        """Answers the Station's client-choice dialog with slot 0."""
        dialog = self.station.wait_dialog(DIALOG_CAPTION)
        radio = dialog_control(self.station, dialog, pyatspi.ROLE_RADIO_BUTTON, "0")
        press(radio, "radio button 0")
        poll("radio button 0 to be checked",
             lambda: safe(lambda: radio.getState().contains(pyatspi.STATE_CHECKED)), 3)
        if text is not None:
            set_text(input_field(self.station, dialog), text,
                     "Station send field")
        self.screenshot("station-client-choice")
        press(dialog_control(self.station, dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "OK")

    def station_to_terminal_text(self):
        text = "Hello 端末 from the Station"
        self.station.choose("送信")
        self.choose_client(text)
        self.station.wait_no_dialog()
        self.terminal.wait_lines("Terminal message %r" % text, lambda s, m: m == text)
        self.screenshot("terminal-received-text")

    def rs_control(self):
        self.drain_peer()
        self.terminal.choose("RSコントロール")
        dialog = self.terminal.wait_dialog(DIALOG_CAPTION)
        set_text(input_field(self.terminal, dialog), "Zebra",
                 "Terminal RS control field")
        self.screenshot("terminal-rs-dialog")
        press(dialog_control(self.terminal, dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "OK")
        self.terminal.wait_no_dialog()
        first = self.read_peer(1, 10.0)
        if first != b"Z":
            raise StepFailed("COM1 carried %r, expected b'Z'" % first)
        extra = self.read_peer(64, 2.0)
        if extra:
            raise StepFailed("COM1 carried more than the first byte: b'Z' then %r" % extra)

    def device_answers(self):
        """The device on COM1 answers: a line and bytes that are no text, shown in
        the Station's history as they came."""
        os.write(self.peer, b"READY\r\n\x00\xff\n")
        text = re.compile(r"\d\d:\d\d:\d\d 装置から: READY$")
        rows = self.station.wait_history(
            "the Station's history to show the device's answers",
            lambda rows: any(text.match(r) for r in rows) and any(r.endswith(" 装置から（16進）: 00 FF") for r in rows))
        log("      Station history ends %r" % rows[-2:])
        self.screenshot("device-answers", self.station.windows[0])

    def file_transfer(self, sender, receiver, size, tag):
        source = os.path.join(self.options.work, "%s-source.bin" % tag)
        target = os.path.join(self.options.work, "%s-saved.bin" % tag)
        with open(source, "wb") as stream:
            stream.write(os.urandom(size))
        sender.choose("ファイル送信")
        if sender is self.station:
            self.choose_client()
        dialog = answer_file_dialog(sender, source)
        self.screenshot("%s-open-dialog" % tag)
        accept_file_dialog(sender, dialog, ("Open", "開く"))
        self.wait_progress(sender, "%s-progress" % tag)
        # Full chunks are followed by a pause of one second each.
        dialog = answer_file_dialog(receiver, target)
        self.screenshot("%s-save-dialog" % tag)
        accept_file_dialog(receiver, dialog, ("Save", "保存"))
        receiver.wait_no_dialog()
        sender.wait_no_dialog()

        def saved():
            try:
                with open(target, "rb") as stream:
                    return stream.read() == open(source, "rb").read()
            except OSError:
                return False
        try:
            poll("the saved file to equal the sent one", saved, 10)
        except StepFailed:
            actual = os.path.getsize(target) if os.path.exists(target) else None
            raise StepFailed("%s (sent %d bytes, saved file %s)" % (
                "the saved file differs from the sent one", size,
                "missing" if actual is None else "%d bytes" % actual))
        if subprocess.run(["cmp", source, target], capture_output=True).returncode != 0:
            raise StepFailed("cmp found the files different")
        self.screenshot("%s-saved" % tag)

    def wait_progress(self, sender, shot=None):
        """The sender's progress dialog, titled with the program's name."""
        dialog = poll("the %s's progress dialog" % sender.label, sender.progress_dialog, 5)
        if shot is not None:
            self.screenshot(shot)
        if name(dialog) != sender.app_name:
            raise StepFailed("the progress dialog is titled %r, not %r" % (name(dialog), sender.app_name))
        return dialog

    def terminal_to_station_file(self):
        self.file_transfer(self.terminal, self.station, 4500, "terminal-to-station")

    def station_to_terminal_file(self):
        # A whole number of chunks: the last frame carries no bytes.
        self.file_transfer(self.station, self.terminal, 4000, "station-to-terminal")

    def cancelled_file_send(self):
        """A long send from the Station: its progress dialog shows, texts from the
        Terminal still arrive meanwhile, and キャンセル stops it before the last frame."""
        size = 10 * 2000 + 500
        frames = size // 2000 + 1
        source = os.path.join(self.options.work, "cancelled-source.bin")
        with open(source, "wb") as stream:
            stream.write(os.urandom(size))
        self.station.choose("ファイル送信")
        self.choose_client()
        accept_file_dialog(self.station, answer_file_dialog(self.station, source), ("Open", "開く"))
        dialog = self.wait_progress(self.station)

        def sent():
            label = progress_label(dialog) or ""
            match = re.search(r"(\d+) / (\d+) " + PROGRESS_MARK, label)
            return (label, int(match.group(1)), int(match.group(2))) if match else None
        label, first, total = poll("the progress dialog to tell the chunks sent", sent, 3)
        if "ファイル「cancelled-source.bin」を送信しています。" not in label or total != frames:
            raise StepFailed("the progress dialog reads %r; expected the file name and '/ %d %s'"
                             % (label, frames, PROGRESS_MARK))
        self.screenshot("station-send-progress")
        log("      progress dialog: %r" % label)

        text = "Hello 局 while a file goes out"
        self.terminal_sends_text(text, "terminal-send-during-file")
        self.station.wait_lines("Station message 'n> %s' during the send" % text,
                                lambda s, m: re.fullmatch(r"\d> " + re.escape(text), m) is not None)

        def moved_on():
            current = sent()
            return current if current is not None and current[1] > first else None
        label, now, _ = poll("the progress to move on from %d / %d chunks" % (first, frames), moved_on, 3)
        if now >= frames:
            raise StepFailed("the send ended before it could be cancelled: %r" % label)
        self.screenshot("station-text-during-send")
        log("      Station message shown at %d / %d chunks; pressing キャンセル" % (now, frames))

        cancel = dialog_control(self.station, dialog, pyatspi.ROLE_PUSH_BUTTON, "キャンセル")
        press(cancel, "キャンセル")
        poll("the progress dialog to close", lambda: self.station.progress_dialog() is None, 5)
        self.station.wait_no_dialog(3)
        # About as long as the rest of the send would have taken: no Save As may follow.
        stays_false("the Terminal opened a dialog after the send was cancelled",
                    lambda: [name(d) for d in self.terminal.dialogs() or []],
                    frames - now + 1.5)
        self.terminal.wait_lines('Terminal status "接続中"', lambda s, m: s == "接続中", 3)
        self.station.wait_lines('Station status "1人と接続中"', lambda s, m: s == "1人と接続中", 3)
        self.screenshot("send-cancelled")

    def history_with_two_terminals(self):
        """A second Terminal joins and sends a text: the Station's history keeps both
        Terminals' texts with slot and address, its table lists both, and each
        program's history is read through the accessibility bus."""
        env = dict(os.environ)
        second = Program("Terminal 2", self.options.terminal, self.out, env, "Tavrin-2")
        second.wait_ready()
        self.place(second, 640, 400, 640, 380)
        try:
            self.terminal_start("second-terminal-connected", terminal=second, connected=2)
            text = "Hello 局 from the second Terminal"
            self.terminal_sends_text(text, "second-terminal-send-dialog", terminal=second)
            first = re.compile(r"\d\d:\d\d:\d\d 端末 0 \(127\.0\.0\.1:\d+\) 受信: Hello 局 from the Terminal$")
            from_second = re.compile(r"\d\d:\d\d:\d\d 端末 1 \(127\.0\.0\.1:\d+\) 受信: " + re.escape(text) + "$")
            rows = self.station.wait_history(
                "the Station's history to hold both Terminals' texts",
                lambda rows: any(first.match(r) for r in rows) and any(from_second.match(r) for r in rows))
            for expected in ("RSコントロール 5A を回線に送信しました", "ファイル「station-to-terminal-source.bin」（4000 バイト）を送信しました",
                             "送信: Hello 端末 from the Station"):
                if not any(expected in row for row in rows):
                    raise StepFailed("the Station's history lacks %r: %r" % (expected, rows))
            table = poll("the table 接続中の端末 to list two Terminals",
                         lambda: (lambda cells: cells if cells and sum(c.startswith("127.0.0.1:") for c in cells) == 2
                                          else None)(self.station.rows(pyatspi.ROLE_TABLE, "接続中の端末")), 5)
            log("      Station history: %d entries, table cells %r" % (len(rows), table))
            self.terminal.wait_history("the Terminal's history to hold the text it received",
                                       lambda rows: any(r.endswith("受信: Hello 端末 from the Station") for r in rows))
            self.screenshot("history-station", self.station.windows[0])
            self.screenshot("history-terminal", self.terminal.windows[0])
            self.screenshot("history-two-terminals")
            self.text_to_all_terminals((self.terminal, second))
        finally:
            second.choose("終了")
            try:
                second.process.wait(10)
            except subprocess.TimeoutExpired:
                pass
            second.stop()
        self.station.wait_lines('Station status "1人と接続中"', lambda s, m: s == "1人と接続中")

    def text_to_all_terminals(self, terminals):
        """送信 with 全端末 chosen: every connected Terminal shows the text."""
        text = "Hello 全端末 from the Station"
        self.station.choose("送信")
        dialog = self.station.wait_dialog(DIALOG_CAPTION)
        radio = dialog_control(self.station, dialog, pyatspi.ROLE_RADIO_BUTTON, "全端末")
        press(radio, "radio button 全端末")
        poll("radio button 全端末 to be checked",
             lambda: safe(lambda: radio.getState().contains(pyatspi.STATE_CHECKED)), 3)
        set_text(input_field(self.station, dialog), text, "Station send field")
        self.screenshot("station-send-to-all")
        press(dialog_control(self.station, dialog, pyatspi.ROLE_PUSH_BUTTON, "OK"), "OK")
        self.station.wait_no_dialog()
        for terminal in terminals:
            terminal.wait_lines("%s message %r" % (terminal.label, text), lambda s, m: m == text)
        self.screenshot("terminals-received-text-to-all")

    def disconnect(self):
        self.terminal.choose("接続終了")
        self.terminal.wait_lines('Terminal status "接続待ち"', lambda s, m: s == "接続待ち")
        self.station.wait_lines('Station status "0人と接続中"', lambda s, m: s == "0人と接続中")
        self.screenshot("disconnected")

    def close_windows(self):
        """Closes both main windows as a window manager would, the Terminal's
        while it sends a file: the send ends with its program."""
        source = os.path.join(self.options.work, "closing-source.bin")
        with open(source, "wb") as stream:
            stream.write(os.urandom(10 * 2000))
        self.terminal.choose("ファイル送信")
        dialog = answer_file_dialog(self.terminal, source)
        accept_file_dialog(self.terminal, dialog, ("Open", "開く"))
        self.wait_progress(self.terminal, "closing-during-send")
        for program in (self.terminal, self.station):
            for window in program.windows:
                close_window(int(window))
            # A program asks first while a connection or a send would be lost;
            # the Station may have nothing left to lose once the Terminal is gone.
            PROGRAMS.remove(program)
            deadline = time.monotonic() + 10
            while program.process.poll() is None and time.monotonic() < deadline:
                question = next((d for d in (program.dialogs() or []) if yes_button(d) is not None), None)
                if question is not None:
                    press(yes_button(question), "%s はい" % program.label)
                    break
                time.sleep(0.1)
            try:
                code = program.process.wait(10)
            except subprocess.TimeoutExpired:
                raise StepFailed("%s still runs 10 s after its window was closed" % program.label)
            if code != 0:
                raise StepFailed("%s ended with exit code %d after its window was closed (see %s)"
                                 % (program.label, code, program.log_path))

    # -- COM1

    def open_peer(self):
        self.peer = os.open(self.options.peer, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.peer, termios.TCSANOW)

    def drain_peer(self):
        while self.read_peer(4096, 0.05):
            pass

    def read_peer(self, limit, timeout):
        ready, _, _ = select.select([self.peer], [], [], timeout)
        if not ready:
            return b""
        try:
            return os.read(self.peer, limit)
        except BlockingIOError:
            return b""

    # -- whole run

    def run(self):
        steps = [
            ("Launch the Station and the Terminal", self.launch, True),
            ("Station Start: 接続待ち", self.station_start, True),
            ("Terminal Start at %s typed over 127.0.0.1: 接続中 / 1人と接続中" % STATION_ADDRESS,
             self.terminal_first_start, True),
            ("Text Terminal -> Station shown as 0> text", self.terminal_to_station_text, False),
            ("Text Station -> Terminal shown", self.station_to_terminal_text, False),
            ("RS control: first byte on COM1", self.rs_control, False),
            ("COM1 device answers shown in the Station's history", self.device_answers, False),
            ("File Terminal -> Station (4500 bytes) saved identical", self.terminal_to_station_file, False),
            ("File Station -> Terminal (4000 bytes) saved identical", self.station_to_terminal_file, False),
            ("File Station -> Terminal (20500 bytes) cancelled from its progress dialog while a text arrives",
             self.cancelled_file_send, False),
            ("History at the Station with two Terminals, read through the accessibility bus; a text to 全端末 "
             "reaches both",
             self.history_with_two_terminals, False),
            ("Terminal Disconnect: 接続待ち / 0人と接続中", self.disconnect, False),
            ("Terminal Start again, the Station remembered: 接続中 / 1人と接続中", self.terminal_restart, False),
            ("Station restarted: the Terminal reconnects by itself (接続待ち, then 接続中)", self.station_restart, False),
            ("Close both windows, the Terminal's during a file send: the programs end with code 0",
             self.close_windows, False),
        ]
        self.open_peer()
        pyatspi.setTimeout(CALL_TIMEOUT_MS, CALL_TIMEOUT_MS)
        try:
            for title, function, critical in steps:
                self.step(title, function, critical)
        except Exception:  # a critical step failed; the rest cannot run
            done = {title for title, _ in self.results}
            for title, _, _ in steps:
                if title not in done:
                    self.results.append((title, False))
                    log("FAIL: %s: not run (an earlier step failed)" % title)
        finally:
            self.stop()
        return all(ok for _, ok in self.results)

    def stop(self):
        for program in (self.terminal, self.station):
            if program is not None:
                program.stop()
        if self.peer is not None:
            os.close(self.peer)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("station", "terminal", "com1", "peer", "work", "out"):
        parser.add_argument("--" + option, required=True)
    options = parser.parse_args()
    os.makedirs(options.out, exist_ok=True)

    def out_of_time(_signal, _frame):
        raise SystemExit("FAIL: the run took longer than %d s" % RUN_LIMIT_S)
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(RUN_LIMIT_S)

    started = time.monotonic()
    run = Run(options)
    passed = run.run()
    log("%s: %d of %d steps passed in %.0f s; screenshots and logs in %s" % (
        "PASS" if passed else "FAIL", sum(ok for _, ok in run.results), len(run.results),
        time.monotonic() - started, options.out))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
