"""The Hurl and wget forms beyond the shared hard cases: what each client does of its own accord
(upper-case methods, dot segments, libcurl's Host and Connection, repeated headers), run on the
wire like those; and how each writes what its syntax would otherwise read (templates, comments,
shell words) or what has no room beside standard output."""

import pytest

import forms
import tolmek_forms
from tolmek_forms import Request


@pytest.fixture(scope="module")
def recorder():
    with forms.with_recorder() as r:
        yield r


def _requests(base):
    specs = [
        ("a lower-case method", "propfind", "/m", [("Depth", "0")], None),
        ("a method with a hyphen", "M-SEARCH", "/m", [], None),
        ("dot segments", "GET", "/a/./b/../c/%2e/d", [], None),
        ("a stray percent sign", "GET", "/x%zz%/y?q=%zz&r=%2e", [], None),
        ("HEAD with a body", "HEAD", "/h", [("Content-Type", "text/plain")], b"abc"),
        ("odd header values", "GET", "/v", [("X-Tab", "a\tb"), ("X-Hash", "a # b \\ c {{x}} {y}"),
                                            ("X-Bidi", "a\u202eb"), ("X-Esc", "a\x1bb"), ("X-Blank", "   "),
                                            ("X-Emoji", "\U0001F600")], None),
        ("odd header names", "GET", "/n", [("X!#$%&'*+.^_`|~z", "v"), ("x[1]", "w")], None),
        ("CR LF lines", "POST", "/b", [("Content-Type", "text/plain")], b"a\r\nb\r\n"),
        ("a fence in the body", "POST", "/b", [], b"```\ncode\n```\n"),
        ("a template in lines", "POST", "/b", [], b"{{a}}\nb\n"),
        ("a backtick and escapes", "POST", "/b", [], b"`x` \\n \\u{41} #"),
        ("a large binary body", "PUT", "/b", [], bytes(range(256)) * 400),
        ("a POST without a body", "POST", "/b", [], None),
        ("Host first", "GET", "/h", [("Host", "{host}"), ("Accept", "a")], None),
        ("lower-case names", "GET", "/l", [("host", "{host}"), ("user-agent", "u"), ("accept", "y"),
                                           ("connection", "close"), ("accept-encoding", "gzip")], None),
        ("Connection last", "GET", "/c", [("X-A", "1"), ("Connection", "close")], None),
        ("empty User-Agent and Accept", "GET", "/e", [("User-Agent", ""), ("Accept", "")], None),
        ("PATCH with an empty body", "PATCH", "/e", [], b""),
        ("a path of UTF-8", "GET", "/caf\u00e9/\u2713?q=\u00e9", [], None),
    ]
    host = base.partition("://")[2]
    return [Request(method, f"{base}/t{n}{path}", [(k, v.replace("{host}", host)) for k, v in headers], body,
                    label=name, index=n) for n, (name, method, path, headers, body) in enumerate(specs)]


# What each form cannot carry exactly: label -> a word of the loss it names (or of why it skips it).
NAMED = {
    "hurl": {"a lower-case method": "capital letters", "a method with a hyphen": "letters only",
             "dot segments": "upper case", "HEAD with a body": "without its body",
             "lower-case names": "Connection"},
    "wget": {"a lower-case method": "upper case", "dot segments": ". and ..", "a stray percent sign": "%25",
             "lower-case names": "wget's order"},
}
EXACT = {
    "hurl": {"a stray percent sign", "odd header values", "odd header names", "CR LF lines", "a fence in the body",
             "a template in lines", "a backtick and escapes", "a large binary body", "a POST without a body",
             "Host first", "Connection last", "empty User-Agent and Accept", "PATCH with an empty body",
             "a path of UTF-8"},
    "wget": set(),  # Accept, Accept-Encoding and Connection go with every request
}


@pytest.mark.parametrize("form", ["hurl", "wget"])
def test_what_the_client_does_itself_is_named(form, recorder, tmp_path):
    forms.require_runner(form)
    requests = _requests(recorder.base)
    saved = {name: counts.copy() for name, counts in forms.TALLY.items()}
    try:
        tally, problems, written = forms.prove(form, requests, tmp_path, recorder)
    finally:  # the summary's tally is of the shared hard cases alone
        forms.TALLY.clear()
        forms.TALLY.update(saved)
    assert not problems, "\n".join(problems)
    reasons = {r.label: "; ".join(r.losses) for r in requests} | {r.label: why for r, why in written.skipped}
    for label, word in NAMED[form].items():
        assert word in reasons[label], (label, reasons[label])
    assert {r.label for r in requests if not r.losses and r not in dict(written.skipped)} >= EXACT[form]
    assert tally["exact"] >= len(EXACT[form])


def test_hurl_writes_no_template_comment_or_hidden_character():
    request = Request("POST", "http://h/x", [("X-T", "{{a}} # b"), ("X-B", "a\u202eb")], b"{{c}} \x1b `d`")
    text = tolmek_forms.write("hurl", [request]).files["requests.hurl"].decode()
    assert "X-T: \\u{7b}{a}} \\# b\n" in text
    assert "X-B: a\\u{202e}b\n" in text
    assert "`\\u{7b}{c}} \\u{1b} \\`d\\``\n" in text
    assert "{{" not in text and "\u202e" not in text and "\x1b" not in text


def test_hurl_inlines_a_long_body_without_room_for_files():
    request = Request("PUT", "http://h/x", [], bytes(range(256)) * 400)
    assert "bodies/001.bin" in tolmek_forms.write("hurl", [request]).files
    written = tolmek_forms.write("hurl", [request], files=False)
    assert list(written.files) == ["requests.hurl"] and written.converted == 1
    assert "base64," in written.files["requests.hurl"].decode()


def test_wget_quotes_every_word_and_skips_a_file_body_without_room():
    text = Request("GET", "http://h/x?a=$HOME", [("X-A", "`id` $(id)")], None)
    binary = Request("PUT", "http://h/y", [], b"\0\xff", index=1)
    written = tolmek_forms.write("wget", [text, binary], files=False)
    script = written.files["requests_wget.sh"].decode()
    assert "send 1 '--method=GET' '--header=X-A: `id` $(id)' 'http://h/x?a=$HOME'\n" in script
    assert [r for r, _ in written.skipped] == [binary]
    method = Request("M$X", "http://h/", [], None)
    assert "'--method=M$X'" in tolmek_forms.write("wget", [method]).files["requests_wget.sh"].decode()
