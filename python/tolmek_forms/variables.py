"""Values a request holds as variables (a recording's secrets, a cassette's placeholders): each stands in
the request as a token, and the output asks for the variable's value when it runs."""

from __future__ import annotations

from .literals import js_str, py_bytes, py_str

__all__ = ["all_holders", "python_fill", "node_fill", "without_holders", "python_head", "node_head"]


def all_holders(requests) -> dict[str, str]:
    """token -> variable name, of every request that holds some."""
    found: dict[str, str] = {}
    for request in requests:
        found.update(request.holders or ())
    return found


def without_holders(form: str, request) -> str | None:
    """The reason a form that cannot ask for variables gives for a request holding some, or None."""
    if not request.holders:
        return None
    names = ", ".join(sorted(set(request.holders.values())))
    return f"its values {names} are variables (secrets or placeholders), which the {form} form cannot ask for"


_PY = '''\
import os
import sys

# Values the requests hold as variables: the placeholder in the requests -> the environment variable
# holding the value (a recording's secrets.sh sets them: . ./secrets.sh; export NAME...).
VARIABLES = [{pairs}]
_unset = sorted({{name for _, name in VARIABLES if name not in os.environ}})
if _unset:
    sys.exit("set these environment variables first: " + ", ".join(_unset))


def fill(data):
    """The text or bytes with each placeholder replaced by its variable's value."""
    if data is None:
        return None
    text = isinstance(data, str)
    raw = data.encode("utf-8", "surrogateescape") if text else data
    for token, name in VARIABLES:
        raw = raw.replace(token, os.environb[name.encode()])
    return raw.decode("utf-8", "surrogateescape") if text else raw


'''


def python_fill(holders: dict[str, str]) -> str:
    """The Python lines defining VARIABLES and fill(data), to go after the imports."""
    pairs = ", ".join(f"({py_bytes(t.encode())}, {py_str(n)})" for t, n in holders.items())
    return _PY.format(pairs=pairs)


_JS = '''\
// Values the requests hold as variables: the placeholder in the requests -> the environment variable
// holding the value (a recording's secrets.sh sets them: . ./secrets.sh; export NAME...).
const VARIABLES = [{pairs}];
const unset = VARIABLES.map(([, name]) => name).filter((name) => !(name in process.env));
if (unset.length) {{
  console.error('set these environment variables first: ' + [...new Set(unset)].join(', '));
  process.exit(1);
}}

// The text (one character a byte, as Node writes header values) or Buffer with each placeholder
// replaced by its variable's value in UTF-8.
function fill(data) {{
  if (data === null) return null;
  const buffer = Buffer.isBuffer(data);
  let text = buffer ? data.toString('latin1') : data;
  for (const [token, name] of VARIABLES) {{
    text = text.split(token).join(Buffer.from(process.env[name], 'utf8').toString('latin1'));
  }}
  return buffer ? Buffer.from(text, 'latin1') : text;
}}

'''


def node_fill(holders: dict[str, str]) -> str:
    pairs = ", ".join(f"[{js_str(t)}, {js_str(n)}]" for t, n in holders.items())
    return _JS.format(pairs=pairs)


def sh_checks(holders: dict[str, str]) -> str:
    """Lines stopping a shell script where a variable it reads is not set."""
    names = sorted(set(holders.values()))
    return "".join(f': "${{{name}?is not set: export it first (a recording\'s secrets.sh sets it)}}"\n'
                   for name in names)


def sh_splice(text: str, holders: dict[str, str] | None) -> str:
    """Shell text with each token replaced by its variable, quoted for where it stands."""
    if not holders:
        return text
    from tolmek_http.script_out import _splice

    return _splice(text, holders)


_PY_FILLED = "    target, headers, body = fill(target), [(n, fill(v)) for n, v in headers], fill(body)\n"
_JS_FILLED = "  target = fill(target); headers = headers.map(([n, v]) => [n, fill(v)]); body = fill(body);\n"


def _headed(template: str, prelude: str, filled: str) -> str:
    """A head template with its {fill} place (the definitions) and {filled} place (the first line of
    send(), filling its arguments) given, or taken out when the requests hold no variables."""
    if not prelude:
        return template.replace("{fill}\n", "").replace("{fill}", "").replace("{filled}", "")
    return template.replace("{fill}", prelude).replace("{filled}", filled)


def python_head(template: str, holders: dict[str, str]) -> str:
    return _headed(template, python_fill(holders) if holders else "", _PY_FILLED)


def node_head(template: str, holders: dict[str, str]) -> str:
    return _headed(template, node_fill(holders) if holders else "", _JS_FILLED)
