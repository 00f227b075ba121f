#!/usr/bin/python3
"""Reads the main window through the accessibility bus, as a screen reader does.

    atspi_probe.py PID TASK EXPECTED

Prints one JSON object: "tree", every object of the application with PID (role, name,
description, showing), then "events", the accessible-name changes ("role: name") seen after
the probe typed TASK into the task description and pressed "Check task", up to the first
one whose name is EXPECTED (or 20 seconds).
"""
import json
import sys
import time

import pyatspi
from gi.repository import GLib


def application(pid):
    # The application registers with the bus on its own schedule: look until it is there.
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid:
                return app
        GLib.MainContext.default().iteration(False)
    sys.exit("the application never appeared on the accessibility bus")


def walk(node):
    yield node
    for child in node:
        if child is not None:
            yield from walk(child)


def main():
    pid, task, expected = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    nodes = list(walk(application(pid)))
    tree = [{"role": n.getRoleName(), "name": n.name or "", "description": n.description or "",
             "showing": n.getState().contains(pyatspi.STATE_SHOWING)} for n in nodes]

    events = []

    def on_name(event):
        source = event.source
        events.append(f"{source.getRoleName()}: {source.name or ''}")
        if source.name == expected:
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_name, "object:property-change:accessible-name")
    def find(role, name):
        return next((n for n in nodes if n.getRoleName() == role and n.name == name), None)

    editor, button = find("text", "Task description"), find("push button", "Check task")
    editor.queryEditableText().setTextContents(task)
    action = button.queryAction()
    press = [action.getName(i) for i in range(action.nActions)].index("Press")
    action.doAction(press)
    GLib.timeout_add_seconds(20, pyatspi.Registry.stop)
    pyatspi.Registry.start()

    print(json.dumps({"tree": tree, "events": events}))


if __name__ == "__main__":
    main()
