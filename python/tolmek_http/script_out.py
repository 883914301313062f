"""The recording as a POSIX sh script of curl commands, secrets read from shell variables."""

from __future__ import annotations

import re
import secrets as _random

from tolmek_forms.literals import comment_text

from .compose import _quoted, _target_as_written, argument_reason, command, is_text, printf_pipe
from .postman_out import absolute, origin_of
from .redact import Ref, Vault, request_parts

__all__ = ["script", "comment", "line", "redacted"]

def comment(text: str) -> str:
    """`text` as one comment line: whatever could end the line or hide text is written as an escape."""
    return "# " + comment_text(text)


def _sh(chunks: list[str]) -> str:
    """Chunks for a comment: a secret shows as its variable's name."""
    return "".join(f"${{{c}}}" if type(c) is Ref else c for c in chunks)


def _splice(out: str, holders: dict[str, str]) -> str:
    """The command with each placeholder replaced by its variable, quoted for where it stands: inside
    single quotes the quotes are left and taken up again, inside double quotes `${NAME}` is enough,
    outside any it goes in double quotes; the shell hands the value on as it is in every case."""
    if not holders:
        return out
    found = re.compile("|".join(map(re.escape, holders)))
    parts, state, i, last = [], "", 0, 0
    n = len(out)
    while i < n:
        c = out[i]
        if state == "'":
            if c == "'":
                state = ""
        elif state == '"':
            if c == "\\":
                i += 1
            elif c == '"':
                state = ""
        elif c == "\\":
            i += 1
        elif c in "'\"":
            state = c
        m = found.match(out, i) if c in "TZ" else None
        if m:
            name = holders[m.group()]
            parts.append(out[last:i])
            parts.append({"'": f"'\"${{{name}}}\"'", '"': f"${{{name}}}"}.get(state, f"\"${{{name}}}\""))
            i = last = m.end()
            continue
        i += 1
    parts.append(out[last:])
    return "".join(parts)


def _printf(chunks: list[str]) -> str:
    """Shell text writing the body's bytes, its secrets from their variables."""
    calls = [f"printf '%s' \"${{{c}}}\"" if type(c) is Ref else printf_pipe(c.encode("utf-8", "surrogateescape"))
             for c in chunks if c]
    if len(calls) == 1:
        return calls[0]
    return "{ " + "; ".join(calls or ["printf ''"]) + "; }"


def _command(parts, request, vault: Vault, exact: bool = True, file: str | None = None) -> str:
    """The exact curl command, secrets as `${NAME}`: rendered with a placeholder for each, which
    the composer quotes like any word, then spliced."""
    used = {c for c in parts.target if type(c) is Ref}
    for chunks in [c for _, c in parts.headers] + parts.names:
        used.update(c for c in chunks if type(c) is Ref)
    if parts.body is not None:
        used.update(c for c in parts.body if type(c) is Ref)
    nonce = _random.token_hex(4).upper()
    holders: dict[str, str] = {f"TZ{nonce}{i}ZT": name for i, name in enumerate(sorted(used))}
    by_name = {v: k for k, v in holders.items()}
    put = lambda chunks: "".join(by_name[c] if type(c) is Ref else c for c in chunks)  # noqa: E731
    origin, _ = origin_of(request)
    target = put(parts.target)
    split = absolute(target)
    # User information in a target written for a proxy: curl would take it out of the URL and send
    # it as Basic credentials instead, so the URL goes without it and the target as written.
    with_userinfo = split is not None and split[2]
    url = origin + (split[1] if split is not None else target)
    headers = [(put(n), put(c)) for n, (_, c) in zip(parts.names, parts.headers)]
    # curl is handed the secrets, not the placeholders the composer counts (which it checks itself).
    whole = lambda chunks: "".join(vault.values[c] if type(c) is Ref else c for c in chunks)  # noqa: E731
    if used:
        real = whole(parts.target)
        real = real if real.startswith(("http://", "https://")) else origin + real
        if reason := argument_reason(real, [(whole(n), whole(c)) for n, (_, c) in zip(parts.names, parts.headers)]):
            raise ValueError(reason)
    for n, v in headers:
        try:
            v.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"no curl command can carry this request: header {n!r} is not UTF-8 text") from None
    secret_body = parts.body is not None and any(type(c) is Ref for c in parts.body)
    body = None if parts.body is None else put(parts.body).encode("utf-8", "surrogateescape")
    if file is not None:
        # Made as for a body piped in (a NUL takes that way), then reading the file instead.
        out = _from_file(command(url, headers, request.method, b"\x00", exact=exact, proxy=request.proxy), file)
    elif secret_body and (not parts.text or not is_text(body)
                        or not is_text(whole(parts.body).encode("utf-8", "surrogateescape"))):
        # Bytes with secrets in them go through printf, the secrets as its arguments: the command
        # is made for a body that surely takes that way (a NUL), and its printf then replaced.
        out = command(url, headers, request.method, b"\x00", exact=exact, proxy=request.proxy)
        out = _printf(parts.body) + out[len(printf_pipe(b"\x00")):]
    else:
        out = command(url, headers, request.method, request.body if not parts.text else body, exact=exact,
                      proxy=request.proxy)
    if with_userinfo:
        written = _target_as_written(url, True) if "%" in url else None
        own = " --request-target " + _quoted(target)
        out = out.replace(" --request-target " + _quoted(written), own, 1) if written is not None else out + own
    elif "%" in request.url and _target_as_written(request.url, request.proxy is not None) is not None \
            and " --request-target " not in out:
        # curl 8 would write the real target's lower-case escapes in upper case: the composer
        # would keep them as written, had it seen them.
        out += " --request-target " + _quoted(target)
    out = _splice(out, holders)
    # Options the composer adds for what a value holds ([ ] { } globbing, dot segments) are
    # decided on the real texts.
    start, flags = _options(request.curl)
    at, have = _options(out)
    for flag in flags - have:
        end = out.index(" ", at + len("curl -X "))
        out = out[:end] + " " + flag + out[end:]
    return out


_FLAGS = ("-I", "-g", "--path-as-is")


def _options(cmd: str) -> tuple[int, set[str]]:
    """Where the module's `curl -X METHOD` starts in a command, and the flags that follow it."""
    at = 0 if cmd.startswith("curl -X ") else cmd.index(" | curl -X ") + 3
    words = cmd[at:].split(" ", 8)[3:8]
    flags = set()
    for w in words:
        if w not in _FLAGS:
            break
        flags.add(w)
    return at, flags


def redacted(request, vault: Vault, exact: bool = True) -> str:
    """The request's curl command with its secrets as `${NAME}`; ValueError, its text with the
    secrets as variables too, for a request no such command carries."""
    parts = request_parts(vault, request, is_text)
    if parts.withheld:
        raise ValueError(f"its body is withheld: it is {parts.withheld}")
    try:
        return _command(parts, request, vault, exact)
    except ValueError as e:
        raise ValueError(_sh(vault.chunks(str(e)))) from None


def line(request, vault: Vault) -> str:
    """The request's exact curl command with its secrets as `${NAME}`, or a comment naming why no
    command carries it."""
    try:
        return redacted(request, vault)
    except ValueError as e:
        return comment(f"{request.method} request left out: {e}")


# A body larger than this that the collection holds in a file as sent is read from that file: as
# printf escapes it would be four times its size in the script, which the shell then holds whole.
FILE_BODY = 1 << 20


def _from_file(out: str, src: str) -> str:
    """A command made for a body piped in (made for a NUL) reading the file `src` instead."""
    pipe = printf_pipe(b"\x00") + " | "
    assert out.startswith(pipe)
    out = out[len(pipe):]
    at = out.index(" --data-binary @-")
    return out[:at] + " --data-binary " + _quoted("@" + src) + out[at + len(" --data-binary @-"):]


def script(exchanges, vault: Vault, name: str, is_text, warn, with_secrets: bool,
           sources: dict[int, str] | None = None) -> str:
    """The script's text; `sources`: the body files holding requests' bodies as sent (by id of the
    exchange), read by the commands of bodies past FILE_BODY, from the directory the script is in."""
    ordered = sorted(exchanges, key=lambda e: e.order)
    lines = ["#!/bin/sh", comment(_sh(vault.chunks(name))),
             "# Each test's requests as exact curl commands, in the order they were sent."]
    names = list(vault.values)
    if names:
        lines.append("# The secrets are shell variables, set by secrets.sh"
                     + ("" if with_secrets else " (not written: make it yourself, NAME='value' lines)") + ". Run:")
        lines.append("#   sh -c '. ./secrets.sh && . ./requests.sh'")
        lines.append("# (or export the variables some other way, then: sh requests.sh)")
        lines += [f': "${{{n}?is not set: source secrets.sh first}}"' for n in names]
    else:
        lines.append("# Run: sh requests.sh")
    current = object()
    for index, ex in enumerate(ordered, 1):
        if ex.test != current:
            current = ex.test
            lines.append("")
            lines.append(comment(_sh(vault.chunks(f"test {ex.test}"))) if ex.test is not None
                         else comment("outside any test"))
        parts = request_parts(vault, ex.request, is_text)
        if parts.withheld:
            # Named in the collection's warning: the command would have to carry the body as it is.
            lines.append(comment(f"request {index} left out: its body is withheld: it is {parts.withheld}"))
            continue
        try:
            src = (sources or {}).get(id(ex))
            lines.append(_command(parts, ex.request, vault,
                                  file=src if src is not None and len(ex.request.body) > FILE_BODY else None))
        except ValueError as e:
            reason = _sh(vault.chunks(str(e)))
            warn(f"request {index}: not in the script: {reason}")
            lines.append(comment(f"request {index} left out: {reason}"))
    return "\n".join(lines) + "\n"
