#!/usr/bin/python3
"""Prints the status text of the installer's window in process PID, read from the accessibility
bus, as one line: its key in the string tables, the text and the text's English, tab-separated.

    scripts/window_text.py PID RESOURCES

RESOURCES is the folder of the string tables (resources/ in the repository): LANG.lproj/
Localizable.ts each. A text found in no table, even before a detail in brackets, has the key "?"
and no English.
"""
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def labels(node):
    """The texts of the labels below node, in the window's order."""
    found = [node.get_name()] if node.get_role() == Atspi.Role.LABEL else []
    for index in range(node.get_child_count()):
        found += labels(node.get_child_at_index(index))
    return found


def window_status(pid):
    desktop = Atspi.get_desktop(0)
    for index in range(desktop.get_child_count()):
        application = desktop.get_child_at_index(index)
        if application.get_process_id() == pid:
            # The product's name, the status, the percentage.
            texts = labels(application)
            return texts[1] if len(texts) > 1 else None
    return None


def tables(resources):
    """Each language's table: key to text."""
    result = {}
    for file in sorted(Path(resources).glob("*.lproj/Localizable.ts")):
        result[file.parent.stem] = {
            message.findtext("source"): message.findtext("translation")
            for message in ElementTree.parse(file).getroot().iter("message")
        }
    return result


def main():
    pid, resources = int(sys.argv[1]), sys.argv[2]
    status = window_status(pid)
    if status is None:
        sys.exit(f"no window of process {pid} on the accessibility bus")
    all_tables = tables(resources)
    # A tool's failure and a generic error add their detail after the text: " (codesign: 1)".
    key, detail = next(((key, status[len(text):]) for table in all_tables.values()
                        for key, text in table.items()
                        if text and (status == text or status.startswith(text + " ("))),
                       ("?", ""))
    english = all_tables.get("en", {}).get(key)
    print(f"{key}\t{status}\t{english + detail if english else ''}")


if __name__ == "__main__":
    main()
