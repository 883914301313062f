"""Texts and bytes as the literals of each source language, and comment lines, all safe to show in a terminal."""

from __future__ import annotations

import json
import re

__all__ = ["heading", "py_str", "py_bytes", "js_str", "comment_text", "sh_word", "sh_printf"]

# What a comment shows as an escape: whatever could end the line, other controls, and the characters
# that reorder or hide text in a terminal or an editor.
_HIDDEN = re.compile(r"[^\x20-\x7e\u00a0-\u2027\u202a-\uffff]|[\u061c\u200b-\u200f\u202a-\u202e\u2066-\u2069\ufeff]")


def comment_text(text: str) -> str:
    """`text` for one comment line: nothing in it ends the line or hides what follows."""
    return _HIDDEN.sub(lambda m: f"\\u{ord(m.group()):04x}" if ord(m.group()) < 0x10000
                       else f"\\U{ord(m.group()):08x}", str(text))


def heading(request, mark: str = "#", indent: str = "") -> str:
    """The comment lines above a request in an output: its name, then each of its losses."""
    return "".join([f"{indent}{mark} {comment_text(request.name)}\n",
                    *(f"{indent}{mark} not exact: {comment_text(loss)}\n" for loss in request.losses)])


def py_str(text: str) -> str:
    """A Python str literal of `text`, ASCII only (every other character escaped)."""
    return ascii(text)


def py_bytes(data: bytes) -> str:
    """A Python bytes literal: printable ASCII as itself, every other byte escaped."""
    return repr(data)


def js_str(text: str) -> str:
    """A JavaScript string literal, ASCII only (JSON's escapes, which JavaScript reads the same)."""
    return json.dumps(text, ensure_ascii=True)


def sh_word(text: str, what: str = "a word") -> str:
    """`text` as one POSIX shell word, quoted as tolmek's curl commands quote theirs: terminal-safe,
    the same in bash, dash and zsh. ValueError for a text no argument can hold (NUL, too long)."""
    from tolmek_http.compose import _quoted

    return _quoted(text, what)


def sh_printf(data: bytes) -> str:
    """Shell text writing exactly `data` to standard output with the builtin printf."""
    from tolmek_http.compose import printf_pipe

    return printf_pipe(data)
