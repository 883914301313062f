"""The collection document with GET and HEAD items that carry a body marked so that newman sends it, and
items whose URL newman is to send as written."""

import re

# newman leaves out the body of a GET or HEAD unless the item says otherwise, and encodes characters
# of a URL (< > { } ` " in its path) unless told not to.
_BEHAVIOUR = ',"protocolProfileBehavior":{%s}'
_KEEP = '"disableBodyPruning":true'
_AS_WRITTEN = '"disableUrlEncoding":true'
# Strings passed over whole; only brackets outside them count.
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[][{}]')


def keep_bodies(document, positions, as_written=()):
    """`document` (the module's export, items in one flat array) with the member added to the items at
    `positions`, and to those at `as_written` the URL sent as written (ascending indices into that array)."""
    members = {i: [_KEEP] for i in positions}
    for i in as_written:
        members.setdefault(i, []).append(_AS_WRITTEN)
    if not members:
        return document
    start = document.index('"item":[') + len('"item":[')
    wanted = iter(sorted(members))
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
                    out.append(_BEHAVIOUR % ",".join(members[target]))
                    done = m.start()
                    target = next(wanted, None)
                    if target is None:
                        break
                index += 1
    out.append(document[done:])
    return "".join(out)
