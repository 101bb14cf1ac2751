#!/usr/bin/python3
"""Drives an application through the accessibility bus, as a screen reader
or a switch device would: no mouse, no keyboard, only accessible actions.

    atspi_drive.py APP_NAME TIMEOUT STEP...

Each step waits (up to TIMEOUT seconds) for its object in the application
whose accessible name is APP_NAME, then acts:

    find:ROLE:TEXT      an object of that role whose name contains TEXT
    press:NAME          the object named NAME that can be pressed: Press (or Click)
    toggle:NAME         the object named NAME that can be toggled: Toggle
    checked:NAME        an object named NAME that is checked (or selected)
    inside:ROLE:NAME    an object named NAME that has an ancestor of that role
    focused:NAME        an object named NAME that has the keyboard focus
    dump                the tree, to standard output

Exit status 0 when every step was done, 1 otherwise (with the reason and the
application's tree on standard error)."""

import sys
import time

import pyatspi

PRESS_ACTIONS = ("Press", "press", "Click", "click", "activate")
TOGGLE_ACTIONS = ("Toggle", "toggle")


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            return app
    return None


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    for i in range(node.childCount):
        yield from walk(node.getChildAtIndex(i), depth + 1)


def showing(node):
    states = node.getState()
    return states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_VISIBLE)


def checked(node):
    states = node.getState()
    return states.contains(pyatspi.STATE_CHECKED) or states.contains(pyatspi.STATE_SELECTED)


def has_ancestor(node, role):
    parent = node.parent
    for _ in range(40):
        if parent is None:
            return False
        if parent.getRoleName() == role:
            return True
        parent = parent.parent
    return False


def find(app, match):
    for node in walk(app):
        try:
            if showing(node) and match(node):
                return node
        except Exception:  # an object that went away while we looked
            continue
    return None


def actions(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return None, []
    return action, [action.getName(i) for i in range(action.nActions)]


def do_action(node, wanted):
    action, names = actions(node)
    for i, name in enumerate(names):
        if name in wanted:
            return action.doAction(i)
    raise RuntimeError(f"{node.getRoleName()} {node.name!r} has no action of {wanted}: {names}")


def dump(app, out):
    for node in walk(app):
        depth = 0
        parent = node.parent
        while parent is not None and depth < 40 and parent != app:
            depth += 1
            parent = parent.parent
        try:
            states = [pyatspi.stateToString(s) for s in node.getState().getStates()]
            _, names = actions(node)
            out.write("%s%s %r %r %s %s\n" % ("  " * depth, node.getRoleName(), node.name,
                                             node.description, names,
                                             [s for s in states if s in ("checked", "selected", "focused")]))
        except Exception as e:  # noqa: BLE001
            out.write("%s(gone: %s)\n" % ("  " * depth, e))


def step(app_name, deadline, text):
    kind, _, arg = text.partition(":")
    while True:
        app = application(app_name)
        node = None
        if app is not None:
            if kind == "dump":
                dump(app, sys.stdout)
                return
            if kind == "find":
                role, _, part = arg.partition(":")
                node = find(app, lambda n: n.getRoleName() == role and part in n.name)
            elif kind == "inside":
                role, _, name = arg.partition(":")
                node = find(app, lambda n: n.name == name and has_ancestor(n, role))
            elif kind == "focused":
                node = find(app, lambda n: n.name == arg and n.getState().contains(pyatspi.STATE_FOCUSED))
            elif kind in ("press", "toggle"):
                wanted = PRESS_ACTIONS if kind == "press" else TOGGLE_ACTIONS
                node = find(app, lambda n: n.name == arg and any(a in wanted for a in actions(n)[1]))
            else:
                node = find(app, lambda n: n.name == arg and checked(n))
        if node is not None:
            if kind == "press":
                do_action(node, PRESS_ACTIONS)
            elif kind == "toggle":
                do_action(node, TOGGLE_ACTIONS)
            if node is not None:
                try:
                    print("%s: %s %r" % (text, node.getRoleName(), node.name), flush=True)
                except Exception:  # pressed away: the object is gone, as a dismissed alert's buttons are
                    print("%s: done" % text, flush=True)
                return
        if time.monotonic() > deadline:
            sys.stderr.write("step %r: not found in %r\n" % (text, app_name))
            if app is not None:
                dump(app, sys.stderr)
            else:
                names = [pyatspi.Registry.getDesktop(0).getChildAtIndex(i).name
                         for i in range(pyatspi.Registry.getDesktop(0).childCount)]
                sys.stderr.write("applications on the bus: %r\n" % names)
            sys.exit(1)
        time.sleep(0.1)


def main():
    if len(sys.argv) < 4:
        sys.stderr.write(__doc__)
        sys.exit(2)
    app_name, timeout = sys.argv[1], float(sys.argv[2])
    deadline = time.monotonic() + timeout
    for text in sys.argv[3:]:
        step(app_name, deadline, text)
        # Each action's effect reaches the application's own thread first.
        time.sleep(0.2)


if __name__ == "__main__":
    main()
