"""export_collection: exact text, URL splitting, JSON escaping, and validity as a Postman v2.1.0 collection."""

import json
import pathlib

import jsonschema
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import M, reference_text
from tolmek import Tolmek, TolmekCollection

METHODS = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"]
SCHEMA_FILE = pathlib.Path(__file__).parent / "data" / "postman-collection-v2.1.0.schema.json"
VALIDATOR = jsonschema.Draft4Validator(json.loads(SCHEMA_FILE.read_text("utf-8")))


def export_and_validate(collection):
    """Export, check the text is a Postman v2.1.0 collection, and return (text, parsed document)."""
    text = collection.export_collection()
    doc = json.loads(text)
    VALIDATOR.validate(doc)
    return text, doc


def make(requests):
    return TolmekCollection([Tolmek(u, h, getattr(M, m), b) for u, h, m, b in requests])


WORKED = ("https:///v1/items", [("Content-Type", "text/plain")], "POST", "x=1\ny=2")


@pytest.mark.parametrize(
    "requests, expected",
    [
        ([], '{"info":{"name":"Tolmek Collection","schema":"https://schema.getpostman.com/json/collection/v2.1.0/'
         'collection.json"},"item":[]}'),
        ([WORKED], '{"info":{"name":"Tolmek Collection","schema":"https://schema.getpostman.com/json/collection/v2.1.0/'
         'collection.json"},"item":[{"name":"https:///v1/items","request":{"body":{"mode":"raw","raw":"x=1\\ny=2"},'
         '"header":[{"key":"Content-Type","value":"text/plain"}],"method":"POST",'
         '"url":{"host":"","path":["v1","items"],"protocol":"https","raw":"https:///v1/items"}}}]}'),
    ],
)
def test_exact_text(requests, expected):
    assert export_and_validate(make(requests))[0] == expected


@pytest.mark.parametrize(
    "url, protocol, host, path",
    [
        ("http://localhost:8000/a", "http", "localhost:8000", ["a"]),
        ("/status", "https", "", ["status"]),
        ("a/b/c", "https", "a", ["b", "c"]),
        ("", "https", "", []),
        ("https://h", "https", "h", []),
        ("https://h/", "https", "h", [""]),
        ("https://h/a//b", "https", "h", ["a", "", "b"]),
        ("//cdn.example/x", "https", "cdn.example", ["x"]),
        ("HTTP://X/y", "HTTP", "X", ["y"]),
        ("git+ssh://h/p", "git+ssh", "h", ["p"]),
        ("a1.b-c://h", "a1.b-c", "h", []),
        # A scheme must start with a letter and use only letters, digits, + - . before "://".
        ("1http://h/p", "https", "1http:", ["", "h", "p"]),
        ("ht_tp://h", "https", "ht_tp:", ["", "h"]),
        ("://h/p", "https", ":", ["", "h", "p"]),
        ("mailto:x", "https", "mailto:x", []),
        ("///x", "https", "", ["x"]),
        ("http://h/a/b?q=1&r=/x#frag", "http", "h", ["a", "b?q=1&r=", "x#frag"]),
        # The host ends at "?" or "#"; the rest of its segment is the first path element.
        ("http://h?q=1", "http", "h", ["?q=1"]),
        ("http://127.0.0.1:8080?q=1", "http", "127.0.0.1:8080", ["?q=1"]),
        ("http://h:1?a#b", "http", "h:1", ["?a#b"]),
        ("http://h#f/x", "http", "h", ["#f", "x"]),
        ("http://h?q=a/b", "http", "h", ["?q=a", "b"]),
        ("http://?x", "http", "", ["?x"]),
        ("a?b/c", "https", "a", ["?b", "c"]),
    ],
)
def test_url_splitting(url, protocol, host, path):
    _, doc = export_and_validate(make([(url, [], "GET", None)]))
    item = doc["item"][0]
    assert item["name"] == url
    assert item["request"]["url"] == {"host": host, "path": path, "protocol": protocol, "raw": url}


TRICKY = "a\nb\tc\x00\x1f\x7f/é✓\U0001f600\"q\"\\ \\u0041 \r\b\f'"


def test_string_escaping_matches_json_dumps():
    """Only " \\ and U+0000-U+001F are escaped (\\u00xx lower case); / U+007F and non-ASCII are written raw."""
    c = make([(TRICKY, [(TRICKY, TRICKY)], "PUT", TRICKY)])
    text, doc = export_and_validate(c)
    dumped = json.dumps(TRICKY, ensure_ascii=False)
    assert text.count(dumped) == 5  # name, url.raw, key, value, body
    assert "\\u001f" in dumped and "\\u007f" not in text and "\\/" not in text
    assert doc["item"][0]["request"]["body"]["raw"] == TRICKY
    assert text == reference_text([(TRICKY, [(TRICKY, TRICKY)], "PUT", TRICKY)])


def test_body_headers_and_order():
    reqs = [("http://b/", [("X", "1"), ("X", "2"), ("Y", "")], "DELETE", None), ("http://a/", [], "PATCH", "")]
    _, doc = export_and_validate(make(reqs))
    b, a = (item["request"] for item in doc["item"])
    assert [item["name"] for item in doc["item"]] == ["http://b/", "http://a/"]
    assert b["header"] == [{"key": "X", "value": "1"}, {"key": "X", "value": "2"}, {"key": "Y", "value": ""}]
    assert a["header"] == []
    assert a["body"] == b["body"] == {"mode": "raw", "raw": ""}
    assert (b["method"], a["method"]) == ("DELETE", "PATCH")


SPECIAL = ["\x00", "\x1f", "\x7f", "\U0001f600", '"', "'", "\\", "/", "é", ":", "?", "#"]
TEXT = st.text(st.characters(codec="utf-8") | st.sampled_from(SPECIAL), max_size=20)
PREFIX = st.sampled_from(["", "http://", "https://", "//", "HTTP://", "a+b.c-d://", "1x://", "/"])
HEADERS = st.lists(st.tuples(TEXT, TEXT), max_size=3)
REQUEST = st.tuples(st.builds(str.__add__, PREFIX, TEXT), HEADERS, st.sampled_from(METHODS), st.none() | TEXT)


@settings(max_examples=200, deadline=None)
@given(st.lists(REQUEST, max_size=4))
def test_export_matches_reference(requests):
    assert export_and_validate(make(requests))[0] == reference_text(requests)


# Export sizes the document from what each request noted when it was stored and writes it in one
# pass, sixteen bytes at a time: texts made of runs put escapes, multi-byte characters and "/"
# at every offset of those chunks, in documents of each character width.
PIECES = {
    "ascii": ["a", "Bc", "/", "?", "#", '"', "\\", "\n", "\x01", "\x1f", "://", "0123456789abcdef"],
    "latin1": ["é", "\xff", "a", '"', "/", "\x00"],
    "bmp": ["✓", "—", "a", "\\", "/", "\t"],
    "astral": ["\U0001f600", "a", '"', "/", "é"],
}


def runs(pieces):
    return st.lists(st.tuples(st.sampled_from(pieces), st.integers(1, 40)), max_size=6).map(
        lambda parts: "".join(piece * count for piece, count in parts))


@st.composite
def wide_requests(draw):
    pieces = draw(st.sampled_from(sorted(PIECES)))
    text = runs(PIECES["ascii"] + PIECES[pieces])
    request = st.tuples(st.builds(str.__add__, PREFIX, text), st.lists(st.tuples(text, text), max_size=3),
                        st.sampled_from(METHODS), st.none() | text)
    return draw(st.lists(request, min_size=1, max_size=3))


@settings(max_examples=300, deadline=None)
@given(wide_requests())
def test_export_of_long_runs_matches_reference(requests):
    assert make(requests).export_collection() == reference_text(requests)


@pytest.mark.parametrize("piece", ['"', "\x01", "\n", "/", "é✓", "\U0001f600\\"])
def test_export_of_texts_longer_than_a_count_lap(piece):
    """Texts of thousands of escaped characters, slashes or multi-byte ones (counts are folded
    every 4,080 bytes), as URL, header value and body, also in a collection stored twice."""
    long = piece * 9000
    requests = [("http://h/" + long, [("X", long)], "POST", long), ("//" + long, [], "GET", None)]
    c = make(requests)
    c.add_request(Tolmek("x", [], M.GET))
    assert c.export_collection() == reference_text(requests + [("x", [], "GET", None)])
    assert TolmekCollection(c.get_collection()).export_collection() == c.export_collection()


@pytest.mark.parametrize("wide", ["", "é", "✓", "\U0001f600"], ids=["ascii", "latin1", "bmp", "astral"])
def test_each_escape_at_each_offset_of_a_text(wide):
    """Every escaped byte, "/" and a multi-byte character at each offset of texts of 1 to 34
    characters (so in the first, a middle and the last, partial chunk of sixteen bytes): in the
    URL, in header names and values and the body of a request curl can carry, and of one it
    refuses (the sizes are then counted apart), in documents where items are written with room
    to spare and at the document's end."""
    specials = ["\x00", "\x01", "\x0e", "\x1f", "\n", '"', "\\", "/", "?", "#", wide or "~"]
    requests = []
    for size in range(1, 35):
        for at in range(size):
            special = specials[(size + at) % len(specials)]
            text = "a" * at + special + "b" * (size - at - 1)
            clean = text.replace("\x00", "z").replace("\n", "n")
            requests += [("http://h/" + text, [], "GET", None),
                         ("http://h/p", [(clean, clean), ("X", clean)], "POST", clean),
                         ("http://h/p", [(clean, clean)], "PUT", text + "\x00")]
    for reqs in (requests, requests[::-1], requests[:3], requests[-3:]):
        assert make(reqs).export_collection() == reference_text(reqs)


@pytest.mark.parametrize("wide", ["", "é", "✓", "\U0001f600"], ids=["ascii", "latin1", "bmp", "astral"])
def test_documents_of_megabytes(wide):
    """Large documents have their pages mapped in a window at a time as the items are written:
    items of every length around the windows' edges, and one item larger than a window."""
    requests = [(f"http://h/{i}/" + wide, [("X", "v" * (i % 700))], "POST", "b\n" * (i % 1300) + wide)
                for i in range(3000)]
    requests.append(("http://h/big", [], "PUT", ("x" * 99 + wide) * 8000))
    assert make(requests).export_collection() == reference_text(requests)


def test_records_of_every_size_around_the_collections_blocks():
    """A collection copies its records one after another into blocks of its own (4 KiB, doubling
    to 1 MiB): records that end near a block's end, outgrow the block in use or are larger than
    any block keep their texts and order, whether added one by one, given as a list, or handed
    back by get_collection and stored again (the copy of a copy keeps its notes)."""
    bodies = [None, "", "é" * 2000, "b" * 4000, "✓" * 30000, "x" * (3 << 20), "\x00" * 9000, "q\"" * 600000]
    requests = [(f"http://h/{i}", [("N", "v" * (i % 97))], "POST", bodies[i % len(bodies)]) for i in range(64)]
    expected = reference_text(requests)
    one_by_one = TolmekCollection()
    for u, h, m, b in requests:
        one_by_one.add_request(Tolmek(u, h, getattr(M, m), b))
    for c in (one_by_one, make(requests)):
        assert c.export_collection() == expected
        again = TolmekCollection()
        for t in c.get_collection():
            again.add_request(t)
        assert again.export_collection() == expected == TolmekCollection(c.get_collection()).export_collection()
