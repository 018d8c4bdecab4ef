#!/usr/bin/python3
"""Presses keys at the program's window and checks what Orca says after each, as Orca's debug file
gives it: every string sent to speech is a "SPEECH OUTPUT:" line there. Plays a chat peer on the
namespace LAN where a case needs lines or participants.

Usage: orca_check.py DEBUG_FILE WINDOW PID OFFSET CASE...
OFFSET: where in the debug file the speech of interest begins. Prints what Orca said after each key,
"ok: ..." or "FAIL: ..." for each check; exits 1 on any failure. Every wait polls with a limit.
"""

import re
import socket
import subprocess
import sys
import time

ADDRESS = "198.18.0.1"
PEER = "198.18.0.9"
SPOKEN = re.compile(r"SPEECH OUTPUT: '(.*?)'(?: voice=\S+)? ?(?:\{.*)?$", re.S)
# A line of the debug file that begins an entry of its own: a time of day.
ENTRY = re.compile(r"^\d\d:\d\d:\d\d")
SELECTED = re.compile(r"(?<!un)selected", re.I)
# After the first string, a key's speech has ended once nothing more is said for this long: long
# enough for a loaded machine, where Orca's strings for one key can come a second apart.
QUIET = 1.5

failures = 0


class Speech:
    """The strings Orca sent to speech since a point of its debug file."""

    def __init__(self, path, offset):
        self.path, self.offset, self.partial = path, offset, ""
        self.open_entry = ""  # a string with line breaks, of which more lines are to come

    def read(self):
        with open(self.path, encoding="utf-8", errors="replace") as f:
            f.seek(self.offset)
            data = f.read()
            self.offset = f.tell()
        lines = (self.partial + data).split("\n")
        self.partial = lines.pop()
        said = []
        for line in lines:
            if self.open_entry and not ENTRY.match(line):
                # The debug file goes on with a spoken line break on a line of its own, indented.
                self.open_entry += "\n" + line.strip()
            elif "SPEECH OUTPUT: '" in line:
                self.open_entry = line
            else:
                continue
            m = SPOKEN.search(self.open_entry)
            if m:
                said.append(m.group(1))
                self.open_entry = ""
        return said

    def after(self, action, limit=4, drain=True, until=None):
        """Runs the action and gathers what is said until a pause (or until the condition on it
        holds); nothing said within the limit is an empty list."""
        if drain:
            self.read()
        action()
        said, deadline, last = [], time.monotonic() + limit, None
        while time.monotonic() < deadline:
            new = self.read()
            if new:
                said += new
                last = time.monotonic()
                if until and until(said):
                    break
            elif last and not until and time.monotonic() - last > QUIET:
                break
            time.sleep(0.05)
        return said


def check(condition, good, bad):
    global failures
    print(f"{'ok' if condition else 'FAIL'}: {good if condition else bad}", flush=True)
    failures += not condition
    return condition


def key(*keys):
    return lambda: subprocess.run(["xdotool", "key", "--clearmodifiers", *keys], check=True)


def press(keys, limit=5):
    said = SPEECH.after(key(*keys.split()), limit)
    print(f"  {keys} -> {said}", flush=True)
    return said


def heard(said, text):
    return any(text in s for s in said)


def send(port, text):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(text.encode("cp932"), (ADDRESS, port))


def activate():
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)


def qt_version():
    """The Qt version the program reports on the accessibility bus, as a tuple; () if unknown."""
    import pyatspi  # pylint: disable=import-outside-toplevel
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        try:
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == PID:
                return tuple(int(part) for part in app.toolkitVersion.split(".")[:2])
        except Exception:  # pylint: disable=broad-except
            pass  # an application that went away meanwhile
    return ()


# ---- the cases ----

def case_late():
    """Orca started after the window: the program joins the bus, and Tab reads its widgets."""
    import pyatspi  # pylint: disable=import-outside-toplevel

    def joined():
        try:
            desktop = pyatspi.Registry.getDesktop(0)
            return any(app is not None and app.get_process_id() == PID
                       for app in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)))
        except Exception:  # pylint: disable=broad-except
            return False  # an application that went away meanwhile
    deadline = time.monotonic() + 10
    while not joined() and time.monotonic() < deadline:
        time.sleep(0.1)
    check(joined(), "the program joins the accessibility bus", "the program stays off the accessibility bus")
    # Orca learns of the program's window some time after the program has joined the bus (longer on
    # a busy machine): a Tab before that is said by nobody, so it is tried again a few times.
    widgets = ("チャットログ", "入力欄", "参加者リスト", "Send")
    for _ in range(5):
        activate()
        said = press("Tab")
        if any(heard(said, n) for n in widgets):
            break
    check(any(heard(said, n) for n in widgets),
          "Tab reads a widget of the program", "Tab says nothing of the program's widgets")


def case_early():
    """Orca started before the window: the window's name is said when it comes up."""
    said = SPEECH.after(lambda: None, 10, drain=False)
    print(f"  window up -> {said}", flush=True)
    check(heard(said, "Zumzumちゃっと"), "the window's name is said", "the window's name is not said")


def tab_to(name, limit=8):
    """Tabs until the widget's name is said; returns what was said then."""
    for _ in range(limit):
        said = press("Tab")
        if heard(said, name):
            return said
    check(False, "", f"Tab never reaches {name}")
    return None


def row_said(said, rows):
    """The index of the row that was said, the last one if several."""
    found = [i for i, row in enumerate(rows) if heard(said, row)]
    return found[-1] if found else None


LOG_ROWS = ["佐藤: 行1", "佐藤: 行2", "佐藤: 行3", "鈴木さんが参加しました", "高橋さんが参加しました",
            "田中さんが参加しました"]
# In the order they join, from ascending addresses: the list's order either way.
PEOPLE = ["鈴木", "高橋", "田中"]


def walk_list(name, rows, space=False):
    """Tab into the list says its current row; Down the next; End and Home the last and first."""
    said = tab_to(name)
    if said is None:
        return
    row = row_said(said, rows)
    if not check(row is not None, f"Tab into {name} says the row \"{rows[row]}\"" if row is not None else "",
                 f"Tab into {name} says no row"):
        row = 0  # where the focus is all the same
    if space:
        check(SELECTED.search(" ".join(press("space"))), "Space right after Tab says selected",
              "Space right after Tab does not say selected")
    # The chat log starts at its newest row, the participant list at its first.
    if row + 1 < len(rows):
        check(row_said(press("Down"), rows) == row + 1, "Down says the next row", "Down does not say the next row")
    else:
        check(row_said(press("Up"), rows) == row - 1, "Up says the row before", "Up does not say the row before")
    check(row_said(press("Home"), rows) == 0, "Home says the first row", "Home does not say the first row")
    check(row_said(press("End"), rows) == len(rows) - 1, "End says the last row", "End does not say the last row")


def case_lists():
    """Tab into a list says the current row; Down, Home and End say the row moved to."""
    activate()
    # One after the other, in the log's order; each announcement says that its lines have arrived.
    SPEECH.after(lambda: [send(1000, f"佐藤\t行{i}\t{PEER}") for i in (1, 2, 3)], 10,
                 until=lambda s: heard(s, "行3"))
    for i, name in enumerate(PEOPLE):
        SPEECH.after(lambda: send(50011, f"1\t{name}\t198.18.0.{7 + i}"), 10,
                     until=lambda s, n=name: heard(s, f"{n}さんが参加しました"))
    walk_list("チャットログ", LOG_ROWS)
    walk_list("参加者リスト", PEOPLE, space=True)


NOT_CHECKED = re.compile(r"not checked|unchecked", re.I)


def check_role(item):
    """Whether the item is read with a check role, its state aside."""
    return re.search(r"\bcheck\b", re.sub(r"(not |un)?checked", "", item, flags=re.I), re.I)


def open_top_item():
    """Opens the Option menu and moves to its Top item; returns what was said of it."""
    press("F10")
    for _ in range(3):
        said = press("Down")
        if heard(said, "Top"):
            return said
    press("Escape")
    check(False, "", "Down never reaches the item Top in the Option menu")
    return None


def case_top():
    """The Option menu's Top item: named Top whatever its caption, read with its checked state:
    unticked as "Top not checked" from Qt 6.8 on (Qt 6.4 cannot tell that an unticked item could
    be ticked, and it is read as "Top"), each change said."""
    activate()
    said = open_top_item()
    if said is None:
        return
    item = " ".join(said)
    check("No Top" not in item and not re.search(r"(?<!not )checked", item),
          "Top is read as Top, not ticked", "Top is not read as an unticked Top")
    if qt_version() >= (6, 8):
        check(NOT_CHECKED.search(item), "Qt 6.8: unticked, Top is read as not checked",
              "Qt 6.8: unticked, Top is not read as not checked")
    said = " ".join(press("Return"))
    check(re.search(r"Top.*オン", said), "Return on Top says the change", "Return on Top does not say the change")
    said = open_top_item()
    if said is None:
        return
    item = " ".join(said)
    check("No Top" not in item and re.search(r"(?<!not )checked", item) and not NOT_CHECKED.search(item),
          "Top is read as Top, checked", "Top is not read as a checked Top")
    said = " ".join(press("Return"))
    check(re.search(r"Top.*オフ", said), "Return again says the change back", "Return again does not say the change")


def said_once(said, value):
    """Whether the value is said exactly once and never one character short."""
    edge = r"(?<![0-9A-Za-z]){}(?![0-9A-Za-z])"
    whole = sum(len(re.findall(edge.format(re.escape(value)), s)) for s in said)
    short = sum(len(re.findall(edge.format(re.escape(value[:-1])), s)) for s in said)
    return check(whole == 1 and short == 0, f"\"{value}\" is said once",
                 f"\"{value}\" is said {whole} times, one character short {short} times")


def heard_once(said, text):
    """Whether the text is heard exactly once, within whatever else is said."""
    count = sum(s.count(text) for s in said)
    return check(count == 1, f"\"{text}\" is heard once", f"\"{text}\" is heard {count} times")


def case_settings():
    """The settings dialog: its name first, then each field's value once and complete; nothing
    about the selection of a field left."""
    activate()
    press("F10")
    said = press("s")
    for _ in range(5):
        said += press("Tab")
    name = next((i for i, s in enumerate(said) if "設定" in s), None)
    field = next((i for i, s in enumerate(said) if "zz-alpha" in s), None)
    check(name is not None and field is not None and name < field, "the dialog's name comes before the first field",
          "the dialog's name does not come before the first field")
    for value in ("zz-alpha", "255.255.254.0", "1000"):
        said_once(said, value)
    check(not heard(said, "unselected"), "nothing is said to be unselected",
          "a field left is said to be unselected")
    press("alt+F4")


def case_keep():
    """The history window's keep period: its value is said, a longer one when chosen, and a
    shorter one is asked first; "No" keeps the period."""
    activate()
    press("ctrl+f")
    said = tab_to("保存期間")
    if said is None:
        return
    check(heard(said, "1年"), "the keep period's value is said", "the keep period's value is not said")
    check(heard(press("Down"), "無期限"), "Down says the new value 無期限", "Down does not say the new value")
    said = press("Up")
    check("消去" in " ".join(said) and heard(said, "1年"), "Up to a shorter period asks first",
          "Up to a shorter period does not ask")
    heard_once(said, "1年より前の行を消去します")
    # No is the default button.
    check(heard(press("Return"), "無期限"), "No keeps 無期限 and says it", "No does not say the period kept")
    press("alt+F4")


def case_portbox():
    """A message box of the program is read with its text: the one after a port change, which
    then ends the program."""
    activate()
    press("F10")
    press("s")
    # Tab order of the dialog: name, Ok, No, mask, the check box, port.
    if tab_to("ポート番号") is None:
        return
    press("1 0 0 1")
    press("Tab")
    said = press("Tab")
    if not check(heard(said, "Ok"), "Tab reaches Ok", "Tab does not reach Ok"):
        return
    said = press("space")
    check(heard(said, "ポート変更"), "the box is read with its title", "the box's title is not read")
    # The second line of the message too.
    heard_once(said, "ツール再起動の必要があります")
    heard_once(said, "再度起動お願いします")
    press("Return")


CASES = {"late": case_late, "early": case_early, "lists": case_lists, "top": case_top,
         "settings": case_settings, "keep": case_keep, "portbox": case_portbox}


def main():
    global SPEECH, WINDOW, PID
    SPEECH = Speech(sys.argv[1], int(sys.argv[4]))
    WINDOW, PID = sys.argv[2], int(sys.argv[3])
    for name in sys.argv[5:]:
        print(f"case {name}: {CASES[name].__doc__}", flush=True)
        CASES[name]()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
