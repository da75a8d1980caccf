#!/usr/bin/python3
"""Logs what the installer's window in process PID tells assistive technology, read from the
accessibility bus, one event a line until it is stopped: the event's type, its first detail, the
role and name of the object it comes from and the text it carries ("" when none), tab-separated.
Prints "listening" on standard error once the bus delivers the events to it.

    scripts/window_events.py PID          the events, as they come
    scripts/window_events.py --tree PID   the window's objects: role, name, states, value
"""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

EVENTS = ["object:text-changed:insert", "object:property-change:accessible-name",
          "object:state-changed:focused", "object:state-changed:showing", "window:activate"]


def application(pid):
    desktop = Atspi.get_desktop(0)
    for index in range(desktop.get_child_count()):
        child = desktop.get_child_at_index(index)
        if child.get_process_id() == pid:
            return child
    sys.exit(f"no window of process {pid} on the accessibility bus")


def tree(node, depth=0):
    states = node.get_state_set()
    shown = [name for name in ("focused", "busy", "showing")
             if states.contains(getattr(Atspi.StateType, name.upper()))]
    value = node.get_value_iface()
    said = f"value {value.get_current_value():g}" if value else "no value"
    print(f"{'  ' * depth}{node.get_role_name()}\t{node.get_name()}\t{','.join(shown)}\t{said}")
    for index in range(node.get_child_count()):
        tree(node.get_child_at_index(index), depth + 1)


def log(pid):
    def heard(event):
        try:
            if event.source.get_process_id() != pid:
                return
            role, name = event.source.get_role_name(), event.source.get_name()
        except GLib.Error:
            return
        data = event.any_data if isinstance(event.any_data, str) else ""
        print(f"{event.type}\t{event.detail1}\t{role}\t{name}\t{data}", flush=True)

    listener = Atspi.EventListener.new(heard)
    for event in EVENTS:
        listener.register(event)
    print("listening", file=sys.stderr, flush=True)
    Atspi.event_main()


def main():
    if sys.argv[1] == "--tree":
        tree(application(int(sys.argv[2])))
    else:
        log(int(sys.argv[1]))


if __name__ == "__main__":
    main()
