"""The Bruno form's files as Bruno's own parser reads them: each loss in the request's docs, the label its name."""

import json
import shutil
import subprocess

import forms
from conftest import missing

import tolmek_forms
from tolmek_forms import Request
from tolmek_forms.literals import comment_text

_PARSE = """
const { parseRequest } = require('@usebruno/filestore');
const texts = JSON.parse(require('fs').readFileSync(0, 'utf8'));
process.stdout.write(JSON.stringify(texts.map((text) => parseRequest(text, { format: 'bru' }))));
"""


def test_losses_are_in_the_docs_bruno_shows():
    if not ((forms.NODE_BIN / "bru").exists() and shutil.which("node")):
        missing(f"node and the Bruno CLI ({forms.NODE_BIN / 'bru'}) are required")
    label = "get\n}\ndocs {\n  {{?token}} '''"
    requests = [Request("propfind", "http://Example.COM:80/a/%2e%2e/b?q='", [("X-Dup", "1"), ("Accept", "x"),
                                                                             ("x-dup", "2\x01"), ("9", "n")],
                        None, label=label, index=0),
                Request("POST", "http://127.0.0.1:9/", [("Content-Type", "application/json")], b" {} ", index=1)]
    out = tolmek_forms.write("bruno", requests)
    texts = [out.files[f"{i + 1:03d}.bru"].decode() for i in range(len(requests))]
    run = subprocess.run(["node", "-e", _PARSE], input=json.dumps(texts), capture_output=True, text=True,
                         cwd=forms.NODE_BIN.parent.parent, timeout=60)
    assert run.returncode == 0, run.stderr
    for request, parsed in zip(requests, json.loads(run.stdout)):
        assert parsed["request"]["url"] == request.url
        docs = parsed["request"]["docs"]
        assert [line.removeprefix("not exact: ") for line in docs.splitlines() if line.startswith("not exact: ")] \
            == [comment_text(loss) for loss in request.losses]
    first = json.loads(run.stdout)[0]
    assert first["name"] == comment_text(label).replace("{{", "{ {").replace("'''", "'' '")
