"""Postman request bodies: raw, urlencoded, graphql and formdata as the bytes and Content-Type Postman sends."""

import os

from .fields import Pattern, a_or_an, escape, expected, join, shown

# The Content-Type Postman gives a raw body, by the language the editor was set to.
_RAW_TYPES = {"json": "application/json", "javascript": "application/javascript", "xml": "application/xml",
              "html": "text/html", "text": "text/plain"}
# Methods whose body Postman drops unless protocolProfileBehavior.disableBodyPruning is set.
PRUNED = frozenset({"GET", "HEAD"})


class Body:
    """A body as sent: its text and the Content-Type Postman adds when the request has none.
    `early`: newman adds that Content-Type before an auth header (for a raw body marked JSON),
    not after it as for every other body. `keeps(value)`: whether the request's own Content-Type
    stays; a form's is replaced where it stands by one the body can be read with."""

    __slots__ = ("text", "content_type", "early", "keeps", "curl")

    def __init__(self, text, content_type, early=False, keeps=lambda value: True, curl=None):
        self.text = text
        self.content_type = content_type
        self.early = early
        self.keeps = keeps
        # A body curl reads from files itself: the module's command -> the command sending it.
        # `text` is then None.
        self.curl = curl


# A file's type as newman's form writer names it (by the name's extension, else bytes); made when
# a collection first has a file.
_TYPES = []
# A part type curl's -F option takes as written: type/subtype, no parameters.
_PLAIN_TYPE = Pattern(r"[A-Za-z0-9!#$%&'*+.^_`|~-]+/[A-Za-z0-9!#$%&'*+.^_`|~-]+")


def _type_of(path):
    if not _TYPES:
        import mimetypes

        _TYPES.append(mimetypes.MimeTypes(filenames=()))
    return _TYPES[0].guess_type(path)[0] or "application/octet-stream"


class Files:
    """Where a collection's files may come from: curl reads them when the command runs, so a
    collection handed over could name the reader's own files (~/.ssh/id_rsa) and send them away.
    Only `--working-dir` gives a directory; files outside it (links followed) need `outside`."""

    __slots__ = ("directory", "outside")

    def __init__(self, directory=None, outside=False):
        self.directory = os.path.realpath(directory) if directory else None
        self.outside = outside


def _located(src, where, resolve, files):
    """(the file's absolute path, None) or (None, why it cannot be sent): a relative path is taken
    from the working directory, as newman's --working-dir does."""
    if type(src) is list and len(src) == 1:
        src = src[0]
    if type(src) is not str or not src:
        return None, f"{where} names no single file"
    src = resolve(src)
    if files is None or files.directory is None:
        return None, (f"{where}: curl would read the file {shown(src)} on this machine, which only --working-dir "
                      "allows (the directory files may come from)")
    path = os.path.normpath(os.path.join(files.directory, src))
    if any(c in path for c in "\r\n\x00"):
        return None, f"{where}: the path {shown(path)} has a line break or NUL, which curl's options cannot hold"
    if not files.outside and os.path.commonpath([os.path.realpath(path), files.directory]) != files.directory:
        return None, f"{where}: the file {shown(path)} is outside the working directory (--insecure-file-read allows it)"
    if not os.path.isfile(path):
        return None, f"{where}: the file {shown(path)} does not exist"
    return path, None


def _string(obj, key, path, resolve):
    value = obj.get(key)
    if value is None:
        return ""
    if type(value) is str:
        return resolve(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    raise expected(join(path, key), "a string", value)


def _fields(params, path):
    """The enabled objects of a urlencoded or formdata list ("" and null read as an empty list)."""
    if params is None or params == "":
        return []
    if type(params) is not list:
        raise expected(path, "an array", params)
    out = []
    for i, p in enumerate(params):
        if type(p) is not dict:
            raise expected(f"{path}[{i}]", "an object", p)
        if p.get("disabled") is not True:
            out.append((f"{path}[{i}]", p))
    return out


def read(body, resolve, files=None):
    """(Body or None, None), or (None, why the body cannot be carried); files are looked for as
    `files` (a Files) allows."""
    if body is None:
        return None, None
    if type(body) is not dict:
        raise expected("body", "an object", body)
    if body.get("disabled") is True:
        return None, None
    mode = body.get("mode")
    if mode is None:
        return None, None
    if type(mode) is not str:
        raise expected("body.mode", "a string", mode)
    if mode == "raw":
        text = _string(body, "raw", "body", resolve)
        if not text:
            # An empty raw body and none are the same document; Postman sends no Content-Type for either.
            return None, None
        options = body.get("options")
        language = None
        if type(options) is dict and type(options.get("raw")) is dict:
            language = options["raw"].get("language")
        if type(language) is not str:
            language = None  # Postman's editor knows no other kind of language: plain text
        return Body(text, _RAW_TYPES.get(language, "text/plain"), language == "json"), None
    if mode == "urlencoded":
        pairs = [(_string(p, "key", path, resolve), _string(p, "value", path, resolve))
                 for path, p in _fields(body.get("urlencoded"), "body.urlencoded")]
        if not pairs:
            return None, None
        text = "&".join(f"{escape(k)}={escape(v)}" for k, v in pairs)
        return Body(text, "application/x-www-form-urlencoded",
                    keeps=lambda value: value.lower().startswith("application/x-www-form-urlencoded")), None
    if mode == "graphql":
        return _graphql(body.get("graphql"), resolve), None
    if mode == "formdata":
        return _formdata(body.get("formdata"), resolve, files)
    if mode == "file":
        given = body.get("file")
        path, reason = _located(given.get("src") if type(given) is dict else None, "the file body", resolve,
                                files)
        if reason is not None:
            return None, reason
        from tolmek_http.compose import with_file_body

        return Body(None, _type_of(path), curl=lambda out: with_file_body(out, path)), None
    return None, f"{a_or_an(mode)} {shown(mode)} body cannot be carried (raw, urlencoded, graphql and formdata bodies are)"


def _graphql(graphql, resolve):
    import json

    from . import deep

    if graphql is None:
        graphql = {}
    if type(graphql) is not dict:
        raise expected("body.graphql", "an object", graphql)
    query = _string(graphql, "query", "body.graphql", resolve)
    text = '{"query":' + json.dumps(query, ensure_ascii=False)
    variables = graphql.get("variables")
    if type(variables) is str:
        variables = resolve(variables)
    elif variables is not None:
        variables = deep.encode(variables)
    if variables:
        # Postman puts the variables text in as written, without reading it as JSON.
        text += ',"variables":' + variables
    return Body(text + "}", "application/json")


def _formdata(params, resolve, files):
    fields = _fields(params, "body.formdata")
    if any(p.get("type") == "file" or "src" in p and p.get("type") != "text" for _, p in fields):
        return _form_with_files(fields, resolve, files)
    parts = []
    for path, p in fields:
        key = _string(p, "key", path, resolve)
        # As browsers write a field name: its quote and line breaks would end the header.
        name = key.replace('"', "%22").replace("\r", "%0D").replace("\n", "%0A")
        head = f'Content-Disposition: form-data; name="{name}"\r\n'
        content_type = p.get("contentType")
        if type(content_type) is str and content_type:
            content_type = resolve(content_type)
            if "\r" in content_type or "\n" in content_type:
                return None, (f"the formdata field {shown(key)} has a line break in its contentType, "
                              "which would add part headers")
            head += f"Content-Type: {content_type}\r\n"
        parts.append(head + "\r\n" + _string(p, "value", path, resolve))
    if not parts:
        return None, None
    boundary = _boundary(parts)
    text = "".join(f"--{boundary}\r\n{part}\r\n" for part in parts) + f"--{boundary}--\r\n"
    # Only the boundary written here can part the body.
    return Body(text, f"multipart/form-data; boundary={boundary}", keeps=lambda value: False), None


def _boundary(parts):
    """A boundary of the shape Postman's uses (26 dashes, 24 digits), the same for the same fields
    so that output is reproducible, and found in none of them."""
    import hashlib  # only a formdata body needs it, and its OpenSSL binding is slow to load

    seed = hashlib.sha256("\0".join(parts).encode("utf-8", "surrogatepass")).digest()
    while True:
        digits = str(int.from_bytes(seed[:12], "big")).zfill(24)[-24:]
        boundary = "-" * 26 + digits
        if not any(boundary in part for part in parts):
            return boundary
        seed = hashlib.sha256(seed).digest()


def _form_with_files(fields, resolve, files):
    """A form with file fields, written by curl as it reads the files: (name, text, None) and
    (name, path, type) per field, or the reason one of them cannot go."""
    from tolmek_http.compose import form_name_reason, with_form

    out = []
    for path, p in fields:
        key = _string(p, "key", path, resolve)
        reason = form_name_reason(key)
        content_type = p.get("contentType")
        content_type = resolve(content_type) if type(content_type) is str and content_type else None
        if p.get("type") == "file" or "src" in p and p.get("type") != "text":
            where = f"the formdata field {shown(key)}"
            file, reason = (None, reason) if reason else _located(p.get("src"), where, resolve, files)
            if reason is not None:
                return None, reason
            if '"' in os.path.basename(file):
                # newman writes the quote as it is; curl writes it as %22.
                return None, f"{where}: the file name {shown(os.path.basename(file))} has a double quote"
            content_type = content_type or _type_of(file)
            if not _PLAIN_TYPE.fullmatch(content_type):
                return None, f"{where}: the type {shown(content_type)} cannot be written in curl's -F option"
            out.append((key, file, content_type))
        else:
            if reason is None and content_type is not None:
                reason = f"the formdata field {shown(key)} has its own contentType beside file fields"
            if reason is not None:
                return None, reason
            out.append((key, _string(p, "value", path, resolve), None))
    return Body(None, None, keeps=lambda value: False, curl=lambda command: with_form(command, out)), None
