"""Write the seed inputs of fuzz/render_fuzzer.cpp into fuzz/corpus/ (run from anywhere).

Each seed is built from (url, headers, method index, body) tuples in the fuzzer's input layout:
a count byte, then fields separated by 0xFF; a request's first field is its control byte
(header count + 5 * body present + 10 * method) followed by the URL.
"""

import pathlib

GET, POST, PUT, DELETE, HEAD, OPTIONS, PATCH, TRACE, CONNECT = range(9)

SEEDS = {
    "worked-example": [("https://api.example.com/v1/items?page=2",
                        [("Content-Type", "application/json"), ("Authorization", "Bearer abc")],
                        POST, '{"name": "it\'s"}')],
    "quotes": [("http://h/a b'c", [("X-Cmd", '"$HOME" `id` !x'), ("Y", "it's")], PUT, "it's 'quoted'")],
    "control-chars": [("http://h/\t\n\x00\x1f\x7f", [("K", "\b\f\r"), ("\\", '"')], PATCH, "\\\"\x01")],
    "non-ascii": [("https://bücher.example/straße", [("Accept-Language", "中文, ÿ")], OPTIONS, "é")],
    "astral": [("//cdn/🎉/x", [("E", "😀")], CONNECT, "𝄞")],
    "empty": [("", [], GET, ""), ("", [("", "")], HEAD, None), ("/", [], TRACE, None)],
    "schemes": [("git+ssh://host//a//", [], DELETE, None), ("1http://x", [], GET, None),
                ("h:x//y://z", [], GET, None)],
    "dot-segments": [("http://h/%2e/a/.%2E/%2e%2e/./..?x=/../", [(" X", "1"), ("\tY", ""), ("Z ", "")], GET, None)],
    "option-like": [("-o~/.bashrc", [("-H", "@x")], GET, "@~/.ssh/id_rsa"), ("-", [], POST, "@")],
}


def encode(requests):
    fields = []
    for url, headers, method, body in requests:
        control = len(headers) + 5 * (body is not None) + 10 * method
        fields.append(bytes([control]) + url.encode())
        for name, value in headers:
            fields += [name.encode(), value.encode()]
        if body is not None:
            fields.append(body.encode())
    return bytes([len(requests) - 1]) + b"\xff".join(fields)


def main():
    out = pathlib.Path(__file__).resolve().parent / "corpus"
    out.mkdir(exist_ok=True)
    for name, requests in SEEDS.items():
        (out / name).write_bytes(encode(requests))
    # Bytes that are not UTF-8 (lone continuation, overlong, surrogate, past U+10FFFF): the
    # fuzzer reads each as a Latin-1 character.
    (out / "invalid-utf8").write_bytes(b"\x00\x05http://h/\x80\xc0\xaf\xed\xa0\x80\xf5\xff\xc3")


if __name__ == "__main__":
    main()
