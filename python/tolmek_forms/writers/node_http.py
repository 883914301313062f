"""A Node.js script sending each request with node:http or node:https, exactly: the headers in order with
their case and none of Node's own, the method and the target as written, the body as bytes."""

from __future__ import annotations

import base64
import re

from tolmek_http.methods import is_token

from ..literals import heading, js_str
from ..variables import node_head
from ..output import Unfit

FORM = "node"
MAIN = "requests_node.js"
FOLDER = False
VARIABLES = True  # fill() puts each variable's value in at run time

_HEAD = '''\
#!/usr/bin/env node
// Requests written by tolmek; run with Node.js 18 or later (node requests_node.js), no packages needed.
// Each goes out exactly: the headers listed are all that is sent (Host first where they list none,
// Content-Length for a body they give no length for; not Node's own Connection, Content-Length or
// Transfer-Encoding), the method and the target as written, the body as bytes. What Node cannot
// carry is said above the request. They run one after another; the first that fails ends the run
// with exit status 1.
'use strict';
const http = require('node:http');
const https = require('node:https');

const agents = { 'http:': new http.Agent({ keepAlive: true }), 'https:': new https.Agent({ keepAlive: true }) };

// Node writes a header value one byte for each character: this gives the value's UTF-8 bytes so.
function utf8(text) {
  return Buffer.from(text, 'utf8').toString('latin1');
}

{fill}function send(method, origin, target, headers, body) {
{filled}  const url = new URL(origin);
  const req = (url.protocol === 'https:' ? https : http).request({
    hostname: url.hostname.replace(/^\\[(.*)\\]$/, '$1'),
    port: url.port || undefined,
    method,
    path: target,
    setHost: false, // Host goes where the headers place it
    agent: agents[url.protocol],
  });
  req.method = method; // Node has upper-cased it; the request line is written later, from this
  const names = headers.map(([name]) => name.toLowerCase());
  const lines = names.includes('host') ? headers : [['Host', origin.slice(origin.indexOf('//') + 2)], ...headers];
  // A repeated header is set once with all its values: Node keeps one entry for each name.
  const byName = new Map();
  for (const [name, value] of lines) {
    const entry = byName.get(name.toLowerCase());
    if (entry) entry[1].push(value);
    else byName.set(name.toLowerCase(), [name, [value]]);
  }
  for (const [name, values] of byName.values()) req.setHeader(name, values.length === 1 ? values[0] : values);
  if (body !== null && !names.includes('content-length') && !names.includes('transfer-encoding')) {
    req.setHeader('Content-Length', String(body.length));
  }
  for (const name of ['Connection', 'Content-Length', 'Transfer-Encoding']) {
    if (!req.hasHeader(name)) req.removeHeader(name);
  }
  return new Promise((resolve, reject) => {
    const fail = (err) => reject(new Error(`${method} ${origin}${target}: ${err.message}`));
    req.setTimeout(30000, () => req.destroy(new Error('no response within 30 seconds')));
    req.on('error', fail);
    req.on('response', (res) => {
      res.on('error', fail);
      res.on('end', () => {
        console.log(method, origin, target, '->', res.statusCode);
        resolve(res);
      });
      res.resume();
    });
    // Written before end(): end(body) would have Node re-encode a Content-Disposition value.
    if (body !== null && body.length) req.write(body);
    req.end();
  });
}

async function main() {
'''

_TAIL = '''\
}

main().catch((err) => {
  console.error('request failed:', err.message);
  process.exitCode = 1;
}).finally(() => {
  for (const agent of Object.values(agents)) agent.destroy();
});
'''

# The bytes Node refuses in a header value.
_REFUSED = re.compile(rb"[\x00-\x08\x0a-\x1f\x7f]")
# A header name that is an array index: a JavaScript object (Node's header store) lists it first.
_INDEX = re.compile(r"0|[1-9][0-9]{0,9}")


def head(out):
    return node_head(_HEAD, out.holders)


def one(request, out):
    scheme = request.origin.partition("://")[0]
    if scheme not in ("http", "https"):
        raise Unfit(f"node:http sends only http and https, not {scheme}")
    if not is_token(request.method):
        raise Unfit(f"its method {request.method!r} is not an HTTP token")
    for name, value in request.headers:
        if not is_token(name):
            raise Unfit(f"its header name {name!r} is not an HTTP token")
        if _REFUSED.search(_utf8(value)):
            raise Unfit(f"its header {name} holds a control character, which Node refuses")
    _losses(request, out)
    lines = [heading(request, "//", "  ")]
    headers = ", ".join(f"[{js_str(n)}, {_value(v)}]" for n, v in request.headers)
    lines.append(f"  await send({js_str(request.method)}, {js_str(request.origin)}, {js_str(request.target)}, "
                 f"[{headers}], {_body(request.body)});\n")
    return "".join(lines)


def tail(out):
    return _TAIL


def _losses(request, out):
    listed = request.headers if request.has("Host") else [("Host", request.host)] + request.headers
    groups = {}
    for k, (name, value) in enumerate(listed):
        groups.setdefault(name.lower(), []).append(k)
    for key, places in groups.items():
        if len(places) < 2:
            continue
        name = listed[places[0]][0]
        if key == "cookie":
            out.lose(request, f"Node joins the {len(places)} {name} lines into one, with '; '")
        elif places[-1] - places[0] != len(places) - 1 or any(listed[k][0] != name for k in places):
            out.lose(request, f"Node sends the lines of the repeated header {name} together, at its first "
                              f"place and spelt as there")
    indexed = [key for key in groups if _is_index(key)]
    if indexed != sorted(indexed, key=int) or any(not _is_index(key) for key in list(groups)[:len(indexed)]):
        out.lose(request, f"Node sends the headers named {', '.join(sorted(indexed, key=int))} before the others")
    # Node 18 to 24 re-encode a Content-Disposition value once a length is known (a Content-Length
    # before it): the UTF-8 bytes of a value that is not ASCII go out as Latin-1.
    for k, (name, value) in enumerate(listed):
        if (name.lower() == "content-disposition" and not _utf8(value).isascii()
                and any(n.lower() == "content-length" for n, _ in listed[:k])):
            out.lose(request, f"Node writes the {name} value that follows a Content-Length in Latin-1, not as "
                              f"its UTF-8 bytes")
            break


def _is_index(name):
    return _INDEX.fullmatch(name) is not None and int(name) < 2**32 - 1


def _utf8(text):
    return text.encode("utf-8", "surrogateescape")


def _value(value):
    data = _utf8(value)
    if data.isascii():
        return js_str(value)
    try:
        return f"utf8({js_str(data.decode('utf-8'))})"
    except UnicodeDecodeError:
        return js_str(data.decode("latin-1"))  # already one character for each byte


def _body(body):
    if body is None:
        return "null"
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    # Text a person can read stays text (escaped as need be); anything else goes as base64.
    if text is not None and not re.search(r"[^\t\n\r\x20-\x7e\u00a0-\U0010ffff]", text):
        return f'Buffer.from({js_str(text)}, "utf8")'
    return f'Buffer.from({js_str(base64.b64encode(body).decode("ascii"))}, "base64")'
