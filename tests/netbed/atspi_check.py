#!/usr/bin/python3
"""Reads the running program as a screen reader does, over the AT-SPI bus, while it plays a chat
peer: sends lines and joins to the program's own address and checks what reaches the reader.

Usage: atspi_check.py PID ADDRESS CASE...
Prints "ok: ..." for each check that held and "FAIL: ..." for each that did not; exits 1 on any
failure. Every wait polls with a limit; nothing sleeps for a fixed time.
"""

import socket
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

CHAT_PORT = 1000
PRESENCE_PORT = 50011
PEER = "198.18.0.9"

failures = 0
events = []


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def check(condition, good, bad):
    global failures
    if condition:
        print(f"ok: {good}", flush=True)
    else:
        print(f"FAIL: {bad}", flush=True)
        failures += 1
    return condition


def pump():
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


def wait_for(condition, limit):
    deadline = time.monotonic() + limit
    while True:
        pump()
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)


def on_event(event):
    # Read the parts at once: the object may be gone by the time a check looks at it.
    record = {"type": event.type, "detail1": event.detail1}
    for key, obj in (("source", event.source), ("child", event.any_data)):
        try:
            record[key + "_role"] = obj.getRole()
            record[key + "_name"] = obj.name or ""
            record[key + "_description"] = obj.description or ""
        except Exception:  # pylint: disable=broad-except
            pass
    events.append(record)


def send(port, text):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(text.encode("cp932"), (ADDRESS, port))


def chat_line(name, text):
    send(CHAT_PORT, f"{name}\t{text}\t{PEER}")


def find(root, predicate, depth=0):
    if root is None or depth > 12:
        return None
    try:
        if predicate(root):
            return root
        children = [root.getChildAtIndex(i) for i in range(root.childCount)]
    except Exception:  # pylint: disable=broad-except
        return None
    for child in children:
        found = find(child, predicate, depth + 1)
        if found is not None:
            return found
    return None


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        try:
            if app is not None and app.get_process_id() == PID:
                return app
        except Exception:  # pylint: disable=broad-except
            pass
    return None


def qt_version():
    """The Qt version the program reports, as a tuple."""
    app = application()
    return tuple(int(part) for part in app.toolkitVersion.split(".")[:2]) if app else ()


def named(role, name):
    return lambda a: a.getRole() == role and a.name == name


def since(start, kind):
    return [e for e in events[start:] if e["type"].startswith(kind)]


def added_to(start, list_name, text):
    return [e for e in since(start, "object:children-changed:add")
            if e.get("source_name") == list_name and text in e.get("child_name", "")]


def notifications(start, text=""):
    return [e for e in since(start, "object:state-changed:showing")
            if e["detail1"] == 1 and e.get("source_role") == pyatspi.ROLE_NOTIFICATION
            and text in e.get("source_name", "")]


# ---- the cases, in the order of one run ----

def case_rows():
    """New rows of both lists reach the reader, with texts free of raw TABs."""
    start = len(events)
    chat_line("佐藤", "こんにちは")
    found = wait_for(lambda: added_to(start, "チャットログ", "佐藤: こんにちは, "), 20)
    check(found, "a chat line adds a row to the log: " + (found[0]["child_name"] if found else ""),
          "no children-changed:add with \"佐藤: こんにちは, \" on the log")
    if found:
        check("\t" not in found[0]["child_name"], "the row's name holds no TAB", "the row's name holds a TAB")
    start = len(events)
    send(PRESENCE_PORT, f"1\t鈴木\t{PEER}")
    found = wait_for(lambda: added_to(start, "参加者リスト", "鈴木"), 20)
    check(found and found[0]["child_name"] == "鈴木" and found[0]["child_description"] == PEER,
          "a join adds the row \"鈴木\" with the address as description",
          f"the participant row was not \"鈴木\" / {PEER}: {found}")
    check(wait_for(lambda: added_to(start, "チャットログ", "鈴木さんが参加しました, "), 20),
          "the join's line is added to the log", "no log row for the join")


def case_announce():
    """Lines, joins and leaves are announced through a notification that becomes showing."""
    start = len(events)
    chat_line("佐藤", "お知らせ")
    check(wait_for(lambda: notifications(start, "佐藤: お知らせ"), 20),
          "a chat line is announced as \"佐藤: お知らせ\"", "no notification for a chat line")
    # The next announcement may wait for the end of the second.
    start = len(events)
    send(PRESENCE_PORT, f"2\t鈴木\t{PEER}")
    check(wait_for(lambda: notifications(start, "鈴木さんが退場しました"), 20),
          "a leave is announced with its log line", "no notification for a leave")
    start = len(events)
    send(PRESENCE_PORT, f"1\t高橋\t198.18.0.8")
    check(wait_for(lambda: notifications(start, "高橋さんが参加しました"), 20),
          "a join is announced with its log line", "no notification for a join")


def case_burst():
    """A burst of lines is merged: at most one announcement a second, the count and the newest."""
    wait_for(lambda: False, 1.5)
    start = len(events)
    began = time.monotonic()
    for i in range(1, 41):
        chat_line("田中", f"連投 {i}")
    last = wait_for(lambda: notifications(start, "連投 40"), 20)
    took = time.monotonic() - began
    # Anything still coming would show within the next interval.
    wait_for(lambda: False, 1.5)
    spoken = notifications(start)
    check(last and "件の新着" in last[-1]["source_name"],
          "the burst ends in a merged announcement: " + (last[-1]["source_name"] if last else ""),
          f"no merged announcement with the newest line: {[e.get('source_name') for e in spoken]}")
    check(1 <= len(spoken) <= 2 + int(took),
          f"40 lines gave {len(spoken)} announcements in {took:.1f} s",
          f"40 lines gave {len(spoken)} announcements in {took:.1f} s")


def case_popup():
    """The popup for a line to me alone is a notification naming the sender and the line."""
    start = len(events)
    chat_line("佐藤", "内緒です-Only")
    check(wait_for(lambda: notifications(start, "佐藤さんから: 内緒です-Only"), 20),
          "the popup is a notification \"佐藤さんから: 内緒です-Only\"",
          f"no popup notification with sender and line: {since(start, 'object:state-changed:showing')}")


def case_quiet():
    """Not read back: the user's own line (from the program's own address), and a line to me
    alone as its log row besides the popup. The line after them is announced as usual."""
    # A popup still up from before would only change its text.
    wait_for(lambda: not [e for e in events if e["type"] == "object:state-changed:showing" and e["detail1"] == 1
                          and "さんから" in e.get("source_name", "")]
             or [e for e in events if e["type"] == "object:state-changed:showing" and e["detail1"] == 0
                 and "さんから" in e.get("source_name", "")], 20)
    start = len(events)
    send(CHAT_PORT, f"zz-alpha\t自分の行\t{ADDRESS}")
    chat_line("佐藤", "二度目なし-Only")
    check(wait_for(lambda: notifications(start, "佐藤さんから: 二度目なし-Only"), 20),
          "the popup is announced", "no popup notification")
    chat_line("佐藤", "その次")
    check(wait_for(lambda: notifications(start, "佐藤: その次"), 20),
          "the next line is announced", "the next line is not announced")
    check(not notifications(start, "自分の行"), "the own line is not read back",
          "the own line is read back")
    check(not notifications(start, "佐藤: 二度目なし"), "the popup's line is heard once",
          "the popup's line is announced again from the log")
    # With the popup still up, the next line to me alone only changes its text: the log row speaks.
    chat_line("佐藤", "続きの内緒-Only")
    check(wait_for(lambda: notifications(start, "佐藤: 続きの内緒"), 20),
          "a line to me alone while the popup is up is announced from the log",
          "a line to me alone while the popup is up is not heard")


def main_frame(app):
    return find(app, lambda a: a.getRole() == pyatspi.ROLE_FRAME)


def case_title():
    """The window's name is the plain title while the marquee runs in the visible title."""
    app = application()
    chat_line("佐藤", "タイトル")
    names, titles = set(), set()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        pump()
        frame = main_frame(app)
        names.add(frame.name if frame else None)
        titles.add(subprocess.run(["xdotool", "getwindowname", WINDOW], capture_output=True,
                                  text=True, check=False).stdout.rstrip("\n"))
        time.sleep(0.1)
    check(len(titles) > 2, f"the visible title runs as a marquee ({len(titles)} frames)",
          f"the visible title did not run: {titles}")
    check(names == {"Zumzumちゃっと"}, "the window's name stays \"Zumzumちゃっと\" meanwhile",
          f"the window's names were {names}")


def case_bottom():
    """The chat log and its newest row end inside the window."""
    app = application()
    frame = main_frame(app)
    log_list = find(app, named(pyatspi.ROLE_TABLE, "チャットログ"))
    if not check(frame and log_list, "the window and the log are found", "the window or the log is missing"):
        return
    fx, fy, fw, fh = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    lx, ly, lw, lh = log_list.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    check(ly + lh <= fy + fh, f"the log ends at {ly + lh}, inside the window ({fy + fh})",
          f"the log ends at {ly + lh}, below the window's bottom {fy + fh}")
    # More lines than the log shows: the view scrolls to the newest.
    table = log_list.queryTable()
    for i in range(30):
        chat_line("佐藤", f"行 {i}")
    wait_for(lambda: table.nRows >= 30, 20)
    newest = table.getAccessibleAt(table.nRows - 1, 0)
    nx, ny, nw, nh = newest.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    check(table.nRows >= 30 and ny + nh <= min(ly + lh, fy + fh),
          f"the newest of {table.nRows} rows ends at {ny + nh}, inside the log and the window",
          f"the newest of {table.nRows} rows ends at {ny + nh}, the log at {ly + lh}, the window at {fy + fh}")


def relation_targets(obj, kind):
    targets = []
    for relation in obj.getRelationSet():
        if relation.getRelationType() == kind:
            targets += [relation.getTarget(i) for i in range(relation.getNTargets())]
    return targets


def case_dialog():
    """The settings dialog's fields are labelled by their captions; the hint describes the mask.
    The values filled in before the dialog shows are not reported as text inserted: Orca 48 would
    read the focused field's value again, as if completed after the key S."""
    app = application()
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    start = len(events)
    subprocess.run(["xdotool", "key", "F10"], check=False)
    # S: the mnemonic of "Set".
    subprocess.run(["xdotool", "key", "s"], check=False)
    dialog = wait_for(lambda: find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20)
    if not check(dialog, "F10 and S open the settings dialog", "the settings dialog did not open"):
        return
    # Reports sent before the dialog was found are in by the time its first field has the focus.
    name_field = find(dialog, named(pyatspi.ROLE_TEXT, "参加名"))
    wait_for(lambda: name_field and name_field.getState().contains(pyatspi.STATE_FOCUSED), 10)
    wait_for(lambda: False, 1)
    filled = [(e["type"], e.get("source_name")) for e in since(start, "object:text-changed")
              if e.get("source_name") in ("参加名", "ポート番号", "サブネットマスク")]
    check(not filled, "no text reported inserted into the fields as the dialog opens",
          f"text changes reported as the dialog opens: {filled}")
    expected = {"参加名": "参加名設定", "ポート番号": "ポート番号(標準10000)",
                "サブネットマスク": "サブネットマスク(例）：255.255.255.0"}
    for field_name, caption in expected.items():
        field = find(dialog, named(pyatspi.ROLE_TEXT, field_name))
        labels = [t.name for t in relation_targets(field, pyatspi.RELATION_LABELLED_BY)] if field else []
        check(caption in labels, f"\"{field_name}\" is labelled by \"{caption}\"",
              f"\"{field_name}\" is labelled by {labels}")
    mask = find(dialog, named(pyatspi.ROLE_TEXT, "サブネットマスク"))
    check(mask and mask.description.startswith("もし送受信できない場合は"),
          "the red hint is the mask field's description",
          f"the mask field's description is {mask.description if mask else None!r}")
    no = find(dialog, named(pyatspi.ROLE_PUSH_BUTTON, "No"))
    if no:
        no.queryAction().doAction(0)
    check(wait_for(lambda: not find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20),
          "No closes the dialog", "the dialog stayed open")


def case_space():
    """Space on the check box "選択のみ" ticks it and leaves the focus there."""
    app = application()
    box = find(app, named(pyatspi.ROLE_CHECK_BOX, "選択のみ"))
    if not check(box, "the check box is found", "no check box \"選択のみ\""):
        return
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    box.queryComponent().grabFocus()
    if not check(wait_for(lambda: box.getState().contains(pyatspi.STATE_FOCUSED), 20),
                 "the check box takes the focus", "the check box does not take the focus"):
        return
    subprocess.run(["xdotool", "key", "space"], check=False)
    checked = wait_for(lambda: box.getState().contains(pyatspi.STATE_CHECKED), 20)
    check(checked and box.getState().contains(pyatspi.STATE_FOCUSED),
          "Space ticks the box and the focus stays on it",
          f"after Space: checked {bool(checked)}, focused {box.getState().contains(pyatspi.STATE_FOCUSED)}")
    subprocess.run(["xdotool", "key", "space"], check=False)


def states(obj):
    return {pyatspi.stateToString(s) for s in obj.getState().getStates()}


def open_option_menu():
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    subprocess.run(["xdotool", "key", "F10"], check=False)
    return wait_for(lambda: find(application(), lambda a: a.name in ("Top", "No Top")
                                 and a.getRole() != pyatspi.ROLE_MENU
                                 and "showing" in states(a)), 20)


def case_top():
    """The Top item is a menu item named "Top" with its checked state; toggling it is told.
    (Qt 6.4 passes no checkable state, Qt 6.8 does; neither has a check menu item role.)"""
    item = open_option_menu()
    if not check(item, "the Top item is found", "no Top item in the open Option menu"):
        return
    log(f"Top item: role {item.getRoleName()!r}, name {item.name!r}, states {sorted(states(item))}")
    check(item.getRole() in (pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_CHECK_MENU_ITEM) and item.name == "Top",
          "the item is a menu item named \"Top\"", f"the item is a {item.getRoleName()} named {item.name!r}")
    check("checked" not in states(item), "it is not checked before", "it is checked before")
    if qt_version() >= (6, 8):
        check("checkable" in states(item), "Qt 6.8: it is checkable", "Qt 6.8: it is not checkable")
    start = len(events)
    # T: the item's mnemonic; the window goes on top.
    subprocess.run(["xdotool", "key", "t"], check=False)
    told = wait_for(lambda: [e for e in since(start, "object:state-changed:checked")
                             if e["detail1"] == 1 and e.get("source_name") == "Top"], 20)
    check(told, "toggling it reports checked on \"Top\"",
          f"no state-changed:checked on \"Top\": {since(start, 'object:state-changed')}")
    item = open_option_menu()
    if item:
        log(f"Top item after: role {item.getRoleName()!r}, name {item.name!r}, states {sorted(states(item))}")
        check(item.name == "Top" and "checked" in states(item), "ticked, its name stays \"Top\"",
              f"ticked, it reads {item.name!r} {sorted(states(item))}")
        subprocess.run(["xdotool", "key", "t"], check=False)
        wait_for(lambda: [e for e in since(start, "object:state-changed:checked") if e["detail1"] == 0], 5)


def attribute_runs(field):
    text = field.queryText()
    n = text.characterCount
    runs = []
    for offset in sorted({0, max(n - 1, 0), n}):
        _attrs, first, last = text.getAttributeRun(offset, False)
        runs.append((offset, first, last))
    return text.getText(0, -1), n, runs


def case_fields():
    """The settings dialog's fields give one attribute run over their whole text."""
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    subprocess.run(["xdotool", "key", "F10"], check=False)
    subprocess.run(["xdotool", "key", "s"], check=False)
    dialog = wait_for(lambda: find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20)
    if not check(dialog, "the settings dialog opens", "the settings dialog did not open"):
        return
    for field_name in ("参加名", "ポート番号", "サブネットマスク"):
        field = find(dialog, named(pyatspi.ROLE_TEXT, field_name))
        if not check(field, f"\"{field_name}\" is found", f"no field \"{field_name}\""):
            continue
        value, n, runs = attribute_runs(field)
        log(f"{field_name}: text {value!r}, {n} characters, runs (offset, start, end) {runs}")
        check(all(first == 0 and last == n for _offset, first, last in runs),
              f"\"{field_name}\" has the one run [0, {n})", f"\"{field_name}\" has the runs {runs}")
    no = find(dialog, named(pyatspi.ROLE_PUSH_BUTTON, "No"))
    if no:
        no.queryAction().doAction(0)
    wait_for(lambda: not find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20)


def focused_since(start):
    return [e for e in since(start, "object:state-changed:focused") if e["detail1"] == 1]


def case_listfocus():
    """Focusing the log tells its current row; Home and End move to the oldest and newest row."""
    app = application()
    log_list = find(app, named(pyatspi.ROLE_TABLE, "チャットログ"))
    if not check(log_list, "the log is found", "no chat log"):
        return
    table = log_list.queryTable()
    newest = table.getAccessibleAt(table.nRows - 1, 0).name
    oldest = table.getAccessibleAt(0, 0).name
    entry = find(app, named(pyatspi.ROLE_TEXT, "入力欄"))
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    entry.queryComponent().grabFocus()
    wait_for(lambda: entry.getState().contains(pyatspi.STATE_FOCUSED), 10)
    start = len(events)
    subprocess.run(["xdotool", "key", "Tab"], check=False)
    wait_for(lambda: False, 1)
    told = focused_since(start)
    log(f"focus events on entering the log: {[(e.get('source_role'), e.get('source_name')) for e in told]}")
    check(told and told[-1].get("source_role") == pyatspi.ROLE_TABLE_CELL and told[-1]["source_name"] == newest,
          f"the last focus is the newest row {newest!r}", f"the last focus was {told[-1] if told else None}")
    for key, name in (("Home", oldest), ("End", newest)):
        start = len(events)
        subprocess.run(["xdotool", "key", key], check=False)
        told = wait_for(lambda: [e for e in focused_since(start) if e.get("source_name") == name], 10)
        check(told, f"{key} tells the row {name!r}", f"{key} told {focused_since(start)}")


def case_pick():
    """The first Space on a participant after entering the list is told as a selected row."""
    app = application()
    people = find(app, named(pyatspi.ROLE_TABLE, "参加者リスト"))
    if not check(people, "the participant list is found", "no participant list"):
        return
    # From the log (where the case before leaves the focus): past the send button.
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    subprocess.run(["xdotool", "key", "Tab", "Tab"], check=False)
    entered = len(events)
    check(wait_for(lambda: people.getState().contains(pyatspi.STATE_FOCUSED), 10),
          "Tab reaches the participant list", "Tab does not reach the participant list")
    wait_for(lambda: False, 1)
    start = len(events)
    focus = focused_since(entered)
    subprocess.run(["xdotool", "key", "space"], check=False)
    told = wait_for(lambda: [e for e in since(start, "object:state-changed:selected")
                             if e["detail1"] == 1 and e.get("source_role") == pyatspi.ROLE_TABLE_CELL], 10)
    log(f"events after Space: {[(e['type'], e['detail1'], e.get('source_name')) for e in since(start, 'object:')]}")
    # A screen reader speaks a row's selection only on the row it has as focused.
    check(told and focus and focus[-1].get("source_role") == pyatspi.ROLE_TABLE_CELL
          and focus[-1].get("source_name") == told[0]["source_name"],
          f"Space tells the focused row {told[0]['source_name']!r} as selected" if told else "",
          f"Space: selected {[e.get('source_name') for e in told or []]}, focus was on "
          f"{[(e.get('source_role'), e.get('source_name')) for e in focus[-1:]]}")
    subprocess.run(["xdotool", "key", "space"], check=False)


def case_box():
    """A message box is an alert named by its title and its message, which Orca 43 and 48 both
    read once: a refused subnet mask in the settings dialog."""
    subprocess.run(["xdotool", "windowactivate", "--sync", WINDOW], check=False)
    subprocess.run(["xdotool", "key", "F10"], check=False)
    subprocess.run(["xdotool", "key", "s"], check=False)
    dialog = wait_for(lambda: find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20)
    if not check(dialog, "the settings dialog opens", "the settings dialog did not open"):
        return
    mask = find(dialog, named(pyatspi.ROLE_TEXT, "サブネットマスク"))
    mask.queryEditableText().setTextContents("300.1.2.3")
    find(dialog, named(pyatspi.ROLE_PUSH_BUTTON, "Ok")).queryAction().doAction(0)
    alert = lambda: find(application(), lambda a: a.getRole() == pyatspi.ROLE_ALERT)  # noqa: E731
    box = wait_for(alert, 20)
    if check(box, "Ok with the mask 300.1.2.3 shows an alert", "no alert"):
        check(box.name.startswith("設定: サブネットマスク「300.1.2.3」は使えません。\n0 から 255 まで"),
              "the alert is named by its title and its message", f"the alert is named {box.name!r}")
        find(box, lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
        check(wait_for(lambda: not alert(), 20), "its button closes the alert", "the alert stayed open")
    no = find(application(), named(pyatspi.ROLE_PUSH_BUTTON, "No"))
    if no:
        no.queryAction().doAction(0)
    wait_for(lambda: not find(application(), named(pyatspi.ROLE_DIALOG, "設定")), 20)


CASES = {"rows": case_rows, "announce": case_announce, "burst": case_burst, "popup": case_popup, "quiet": case_quiet,
         "title": case_title, "bottom": case_bottom, "dialog": case_dialog, "space": case_space,
         "top": case_top, "fields": case_fields, "listfocus": case_listfocus, "pick": case_pick,
         "box": case_box}


def main():
    global PID, ADDRESS, WINDOW
    PID, ADDRESS, WINDOW = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    cases = sys.argv[4:]
    if not wait_for(application, 60):
        print("FAIL: the program does not appear on the AT-SPI bus", flush=True)
        return 1
    log("the program is on the AT-SPI bus")
    for kind in ("object:state-changed:showing", "object:children-changed:add", "object:state-changed:focused",
                 "object:state-changed:checked", "object:state-changed:selected", "object:text-changed"):
        pyatspi.Registry.registerEventListener(on_event, kind)
    # The program learns of the listeners through the registry: lines until the first event is
    # seen, so that nothing later is missed.
    ready = False
    for i in range(30):
        start = len(events)
        chat_line("準備", f"{i}")
        if wait_for(lambda: since(start, "object:children-changed:add"), 2):
            ready = True
            break
    if not check(ready, "the program sends events to the listeners", "no event reaches the listeners"):
        return 1
    for name in cases:
        log(f"case {name}: {CASES[name].__doc__}")
        CASES[name]()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
