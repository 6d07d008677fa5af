#!/usr/bin/python3
"""The updater's window as a screen reader sees it, over the AT-SPI bus.

    atspi-window.py wait SECONDS          until the window is on the bus
    atspi-window.py check-names           the controls carry their names
    atspi-window.py press NAME            presses the enabled button NAME
    atspi-window.py focused NAME          whether the keyboard focus is on NAME
    atspi-window.py selected NAME ROW     whether row ROW of the list NAME is selected
    atspi-window.py rows NAME             prints each row of the list NAME, one a line
    atspi-window.py text NAME             prints the text of the field NAME
    atspi-window.py label-with TEXT       prints the first label whose text holds TEXT
    atspi-window.py box-text              prints the message box's text
    atspi-window.py box-press NAME        presses the message box's button NAME

Controls are found by accessible name and role, never by position, so that a
changed layout cannot make the driver press the wrong control. Exits 0 on
success, 1 when what was asked for is not there (or not enabled), 2 on misuse.
Needs the updater to run with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 on the same
session bus.
"""

import sys
import time

import pyatspi

APPLICATION = "Orvik16_update"
TITLE = "Orvik16(KX/LX) Update"

# What a screen-reader user must hear for each control, by role.
NAMED_CONTROLS = [
    (pyatspi.ROLE_LIST, "MIDI IN port"),
    (pyatspi.ROLE_LIST, "MIDI OUT port"),
    (pyatspi.ROLE_TEXT, "Serial number"),
    (pyatspi.ROLE_TEXT, "Firmware version"),
    (pyatspi.ROLE_PUSH_BUTTON, "Connect"),
    (pyatspi.ROLE_PUSH_BUTTON, "Update"),
]
PICTURE_ROLES = (pyatspi.ROLE_LABEL, pyatspi.ROLE_IMAGE)
# A group box carries its title as its name too; these are what takes keys.
FOCUSABLE_ROLES = (pyatspi.ROLE_LIST, pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TEXT)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name == APPLICATION:
            return app
    return None


def windows(role):
    app = application()
    if app is None:
        return []
    return [w for w in app if w is not None and w.getRole() == role]


def main_window():
    frames = [w for w in windows(pyatspi.ROLE_FRAME) if w.name == TITLE]
    return frames[0] if frames else None


def showing(accessible):
    try:
        return accessible.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        # Gone while we looked.
        return False


def message_box():
    # A box closed earlier (the question before closing) may still be listed
    # for a while, dead or hidden: only one that shows is the box.
    boxes = windows(pyatspi.ROLE_DIALOG) + windows(pyatspi.ROLE_ALERT)
    showing_boxes = [b for b in boxes if showing(b)]
    return showing_boxes[0] if showing_boxes else None


def find(root, name, roles=None):
    if root is None:
        return None
    return pyatspi.findDescendant(
        root, lambda a: a.name == name and (roles is None or a.getRole() in roles)
    )


def showing_and_enabled(accessible):
    states = accessible.getState()
    return states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_ENABLED)


def press(root, name):
    button = find(root, name, (pyatspi.ROLE_PUSH_BUTTON,))
    if button is None or not showing_and_enabled(button):
        return 1
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return 0
    return 1


def text_of(accessible):
    try:
        text = accessible.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        return accessible.name


def check_names(window):
    missing = [name for role, name in NAMED_CONTROLS if find(window, name, (role,)) is None]
    # The picture has a name of its own, not the form's placeholder.
    pictures = pyatspi.findAllDescendants(
        window, lambda a: a.getRole() in PICTURE_ROLES and "firmware update" in a.name
    )
    if not pictures:
        missing.append("the picture")
    # A group box's title must not stand in for a field's name.
    unnamed = pyatspi.findAllDescendants(
        window, lambda a: a.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_LIST)
        and a.name in ("", "Information")
    )
    for accessible in unnamed:
        missing.append(f"a {accessible.getRoleName()} named '{accessible.name}'")
    for what in missing:
        print(f"atspi-window: not found on the bus: {what}", file=sys.stderr)
    return 1 if missing else 0


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command, args = argv[1], argv[2:]
    if command == "wait":
        end = time.monotonic() + float(args[0])
        while time.monotonic() < end:
            if main_window() is not None:
                return 0
            time.sleep(0.2)
        return 1
    if command == "box-text":
        box = message_box()
        if box is None:
            return 1
        labels = pyatspi.findAllDescendants(box, lambda a: a.getRole() == pyatspi.ROLE_LABEL)
        texts = [t for t in (text_of(a) for a in labels) if t]
        if not texts:
            return 1
        print("\n".join(texts))
        return 0
    if command == "box-press" and len(args) == 1:
        return press(message_box(), args[0])

    window = main_window()
    if window is None:
        print("atspi-window: the updater's window is not on the bus", file=sys.stderr)
        return 1
    if command == "check-names":
        return check_names(window)
    if command == "press" and len(args) == 1:
        return press(window, args[0])
    if command == "focused" and len(args) == 1:
        control = find(window, args[0], FOCUSABLE_ROLES)
        return 0 if control is not None and control.getState().contains(pyatspi.STATE_FOCUSED) else 1
    if command == "selected" and len(args) == 2:
        listing = find(window, args[0], (pyatspi.ROLE_LIST,))
        if listing is None:
            return 1
        return 0 if listing.queryTable().isRowSelected(int(args[1])) else 1
    if command == "rows" and len(args) == 1:
        listing = find(window, args[0], (pyatspi.ROLE_LIST,))
        if listing is None:
            return 1
        # What a screen reader says for each row: its accessible name.
        rows = [
            row.name
            for row in listing
            if row is not None and row.getRole() == pyatspi.ROLE_LIST_ITEM
        ]
        if not rows:
            return 1
        print("\n".join(rows))
        return 0
    if command == "text" and len(args) == 1:
        field = find(window, args[0], (pyatspi.ROLE_TEXT,))
        if field is None:
            return 1
        print(text_of(field))
        return 0
    if command == "label-with" and len(args) == 1:
        labels = pyatspi.findAllDescendants(
            window, lambda a: a.getRole() == pyatspi.ROLE_LABEL and args[0] in text_of(a)
        )
        if not labels:
            return 1
        print(text_of(labels[0]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
