"""A vcrpy cassette's YAML, loaded safely: plain data and the few tags vcrpy writes, nothing that makes other objects."""

try:
    import yaml
except ImportError:  # an optional dependency: the reader names how to install it
    yaml = None

from .cassettes import Chunks
from .source import InputError

INSTALL = "reading a vcrpy cassette in YAML needs PyYAML, which is not installed: pip install 'tolmek[yaml]'"


def _args(loader, node):
    """The arguments of a `!!python/object/apply:` node: its sequence, or its mapping's "args"."""
    if isinstance(node, yaml.SequenceNode):
        return loader.construct_sequence(node, deep=True)
    mapping = loader.construct_mapping(node, deep=True)
    args = mapping.get("args", [])
    if type(args) is not list:
        raise yaml.constructor.ConstructorError(None, None, "expected the arguments as a sequence", node.start_mark)
    return args


def _python_str(loader, node):
    return loader.construct_scalar(node)


def _tuple(loader, node):
    return loader.construct_sequence(node, deep=True)


def _iterator(loader, node):
    args = _args(loader, node)
    chunks = args[0] if args else []
    if type(chunks) is not list:
        raise yaml.constructor.ConstructorError(None, None, "expected the iterator's chunks as a sequence",
                                                node.start_mark)
    return Chunks(chunks)


def _bytes_io(loader, node):
    # Only the buffer's content is taken from the recorded state; no object of the class is made.
    state = loader.construct_mapping(node, deep=True).get("state") if isinstance(node, yaml.MappingNode) else None
    data = state[0] if type(state) is list and state else b""
    if type(data) is str:
        data = data.encode("utf-8")
    if type(data) is not bytes:
        raise yaml.constructor.ConstructorError(None, None, "expected the BytesIO's content as bytes", node.start_mark)
    return data


def _istr(loader, node):
    # aiohttp's case-insensitive header names; a cassette that holds them was recorded with a
    # serializer told to keep them. Only the text is taken.
    args = _args(loader, node)
    if len(args) != 1 or type(args[0]) is not str:
        raise yaml.constructor.ConstructorError(None, None, "expected the name as one string", node.start_mark)
    return args[0]


_TAGS = {"python/str": _python_str, "python/unicode": _python_str, "python/tuple": _tuple,
         "python/object/apply:builtins.iter": _iterator, "python/object/new:_io.BytesIO": _bytes_io,
         "python/object/apply:multidict._multidict.istr": _istr}

_Loader = None


def _loader():
    """The loader class: PyYAML's safe loader (libyaml's when there) with vcrpy's tags; every
    other tag that names a Python type is refused by the safe loader as unknown."""
    global _Loader
    if _Loader is None:
        base = getattr(yaml, "CSafeLoader", None) or yaml.SafeLoader
        _Loader = type("CassetteLoader", (base,), {})
        for tag, constructor in _TAGS.items():
            _Loader.add_constructor("tag:yaml.org,2002:" + tag, constructor)
    return _Loader


class _Places:
    """Absolute offsets of YAML marks (line and column, counted from 0) in a text starting at `base`."""

    def __init__(self, text, base):
        self.text, self.base = text, base
        self.starts = [0]  # the index of each line's start found so far

    def offset(self, mark):
        if mark is None:
            return self.base
        while len(self.starts) <= mark.line:
            i = self.text.find("\n", self.starts[-1])
            if i < 0:
                break
            self.starts.append(i + 1)
        line = min(mark.line, len(self.starts) - 1)
        return self.base + min(self.starts[line] + mark.column, len(self.text))


def _message(error):
    """One line saying what is wrong with the YAML text."""
    problem = getattr(error, "problem", None)
    if problem is None:  # a ReaderError: a character YAML does not allow
        reason, char = getattr(error, "reason", None), getattr(error, "character", None)
        if reason is None:
            return str(error).split("\n")[0]
        code = ord(char) if type(char) is str and len(char) == 1 else char
        return f"{reason} (found U+{code:04X})" if type(code) is int else str(reason)
    context = getattr(error, "context", None)
    return f"{context} {problem}" if context else problem


class Cassette:
    """A cassette's YAML text composed into nodes; each interaction is made into data only when it
    is read, so a tag refused in one costs that interaction alone."""

    def __init__(self, src, text, base):
        if yaml is None:
            raise InputError(f"{src.place(base)}: {INSTALL}")
        self.src = src
        self.places = _Places(text, base)
        self.loader = _loader()(text)
        self._made = {}  # id of a node -> the size of what it makes, every alias expanded
        try:
            self.root = self.loader.get_single_node()
        except yaml.YAMLError as e:
            raise self.error(f"not valid YAML: {_message(e)}", self._mark(e)) from None
        except RecursionError:
            raise self.error("not valid YAML here: nested deeper than the reader goes") from None

    @staticmethod
    def _mark(error):
        mark = getattr(error, "problem_mark", None) or getattr(error, "context_mark", None)
        if mark is None and type(getattr(error, "position", None)) is int:
            mark = _Position(error.position)
        return mark

    def error(self, message, mark=None):
        return InputError(f"{self.src.place(self.offset(mark))}: {message}")

    def offset(self, mark):
        if type(mark) is _Position:
            return self.places.base + min(mark.index, len(self.places.text))
        return self.places.offset(mark)

    def top(self):
        """(the "interactions" node, the "version" text or None); an error when the document is
        not a mapping holding a sequence of interactions."""
        root = self.root
        if root is None:
            raise self.error("the input is empty")
        if not isinstance(root, yaml.MappingNode):
            raise self.error(f"expected a mapping at the top of a vcrpy cassette, got a {root.id}", root.start_mark)
        interactions = version = None
        for key, value in root.value:
            if not isinstance(key, yaml.ScalarNode):
                continue
            if key.value == "interactions":
                interactions = value  # a repeated key: the last one counts, as PyYAML loads it
            elif key.value == "version":
                version = value.value if isinstance(value, yaml.ScalarNode) else f"a {value.id}"
        if interactions is None:
            raise self.error('"interactions" is missing: not a vcrpy cassette', root.start_mark)
        if not isinstance(interactions, yaml.SequenceNode):
            raise self.error(f"interactions: expected a sequence, got a {interactions.id}", interactions.start_mark)
        return interactions, version

    def expansion(self, node):
        """(the size of what the node makes, every alias in it expanded (merge keys too); the size of
        what of it is counted here for the first time in the cassette), in characters of its scalars
        and one a node. Each node is looked at once over the cassette, whatever names it again."""
        made, new = self._made, 0
        stack = [(node, False)]
        while stack:
            n, done = stack.pop()
            if done:
                made[id(n)] = 1 + sum(made[id(c)] for c in _children(n))
            elif id(n) not in made:
                # A node met for the first time in the cassette: its own size is new.
                if type(n.value) is str:
                    made[id(n)] = len(n.value) + 1
                    new += len(n.value) + 1
                    continue
                made[id(n)] = 1  # while its children are counted: a node holding itself counts once there
                new += 1
                stack.append((n, True))
                stack.extend((c, False) for c in _children(n) if id(c) not in made)
        return made[id(node)], new

    def make(self, node):
        """The data of one node (lists, dicts, str, bytes, numbers); yaml's error or RecursionError
        for what cannot be made."""
        return self.loader.construct_document(node)

    def close(self):
        self.loader.dispose()


def _children(node):
    if type(node.value) is str:
        return ()
    if isinstance(node, yaml.MappingNode):
        return [n for pair in node.value for n in pair]
    return node.value


class _Position:
    """The place of a ReaderError, given as a character index."""

    __slots__ = ("index",)

    def __init__(self, index):
        self.index = index


def refused(error):
    """Whether `error` is PyYAML's (a tag refused, a value it cannot make)."""
    return yaml is not None and isinstance(error, yaml.YAMLError)


def reason(error):
    """Why an interaction cannot be made into data, from PyYAML's error."""
    message = _message(error)
    if "could not determine a constructor" in message:
        return f"{message}: tolmek makes plain data and vcrpy's own tags only"
    return f"not valid YAML: {message}"
