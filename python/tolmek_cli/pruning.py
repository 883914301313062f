"""The collection document with GET and HEAD items that carry a body marked so that newman sends it."""

import re

# newman leaves out the body of a GET or HEAD unless the item says otherwise.
_KEEP = ',"protocolProfileBehavior":{"disableBodyPruning":true}'
# Strings passed over whole; only brackets outside them count.
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[][{}]')


def keep_bodies(document, positions):
    """`document` (the module's export, items in one flat array) with the member added to the items at
    `positions` (ascending indices into that array)."""
    if not positions:
        return document
    start = document.index('"item":[') + len('"item":[')
    wanted = iter(positions)
    target = next(wanted)
    out = []
    done = 0
    depth = index = 0
    for m in _TOKEN.finditer(document, start):
        c = m.group()
        if c in "{[":
            depth += 1
        elif c in "}]":
            if depth == 0:  # the end of the item array
                break
            depth -= 1
            if depth == 0:
                if index == target:
                    out.append(document[done:m.start()])
                    out.append(_KEEP)
                    done = m.start()
                    target = next(wanted, None)
                    if target is None:
                        break
                index += 1
    out.append(document[done:])
    return "".join(out)
