"""The parsers being timed, each behind one interface.

``prepare(name, doc)`` returns a no-argument callable that does one unit of
work on ``doc`` (a str) and returns its result.  Everything that is not part
of the work being compared (imports, encoding the input for a peer that
needs bytes, building the marshal blob) happens in ``prepare``, outside the
timed calls.  ``Unavailable`` means the implementation cannot run here (a
peer that is not installed) and is reported as "n/a".

The "shape" builders produce what quillet.parse returns: a list of str
(text runs) and dict (one per element, with "tag", "id", "classes", "style",
"is_self_closing", the other attributes as str, and "children" built the
same way).  They are what a user would write to get that tree from a peer.
"""

IMPLS = ("quillet", "lxml_bytes", "lxml", "lxml_shape", "html_parser", "selectolax", "marshal",
         "marshal_nogc")

LABELS = {
    "quillet": "quillet",
    "lxml_bytes": "lxml (bytes)",
    "lxml": "lxml.html",
    "lxml_shape": "lxml+walk",
    "html_parser": "html.parser",
    "selectolax": "selectolax",
    "marshal": "marshal.loads",
    "marshal_nogc": "loads, gc off",
}

DESCRIPTIONS = {
    "quillet": "quillet.parse(text)",
    "lxml_bytes": "lxml.html.fromstring(text.encode()), a C tree from UTF-8 bytes, lxml's fastest input",
    "lxml": "lxml.html.fromstring(text), a C tree only (bytes where lxml refuses the str)",
    "lxml_shape": "lxml.html.fromstring + iterative walk building quillet's lists/dicts",
    "html_parser": "html.parser.HTMLParser subclass building quillet's lists/dicts",
    "selectolax": "selectolax.lexbor.LexborHTMLParser(text), parse only",
    "marshal": "marshal.loads(marshal.dumps(quillet.parse(text))), the loads part",
    "marshal_nogc": "the same loads with the collector off, as parse keeps it during its build",
}


class Unavailable(Exception):
    pass


# HTML elements that never have content; a user building a tree with
# html.parser has to know them, or every <br> would swallow the rest of its
# parent.
_VOID = frozenset("area base br col embed hr img input link meta param "
                  "source track wbr".split())


def _node(tag, attrs, self_closing):
    node = {"tag": tag, "id": "", "classes": None, "style": "",
            "is_self_closing": self_closing}
    cls = ""
    for key, value in attrs:
        if value is None:
            value = ""
        if key == "class":
            cls = value
        else:
            node[key] = value
    node["classes"] = cls.split(" ")
    children = node["children"] = []
    return node, children


def _lxml_shape(fromstring):
    def build(doc):
        root = fromstring(doc)
        node, children = _node(root.tag, root.attrib.items(), False)
        if root.text:
            children.append(root.text)
        # One iterator per open element: no recursion, so deep documents
        # cannot overflow the stack.
        stack = [(iter(root), children)]
        while stack:
            it, parent = stack[-1]
            for el in it:
                if isinstance(el.tag, str):
                    child, kids = _node(el.tag, el.attrib.items(), False)
                    parent.append(child)
                    if el.text:
                        kids.append(el.text)
                    if el.tail:
                        parent.append(el.tail)
                    if len(el):
                        stack.append((iter(el), kids))
                        break
                elif el.tail:
                    # A comment or processing instruction: no node, but its
                    # tail text belongs to the parent.
                    parent.append(el.tail)
            else:
                stack.pop()
        return [node]
    return build


def _html_parser_shape():
    from html.parser import HTMLParser

    class ShapeBuilder(HTMLParser):
        def __init__(self):
            super().__init__()
            self.root = []
            self.tags = [None]
            self.lists = [self.root]

        def handle_starttag(self, tag, attrs):
            node, children = _node(tag, attrs, False)
            self.lists[-1].append(node)
            if tag not in _VOID:
                self.tags.append(tag)
                self.lists.append(children)

        def handle_startendtag(self, tag, attrs):
            self.lists[-1].append(_node(tag, attrs, True)[0])

        def handle_endtag(self, tag):
            # Close up to the nearest open element of that name; a closing
            # tag with no open element is dropped.
            tags = self.tags
            for i in range(len(tags) - 1, 0, -1):
                if tags[i] == tag:
                    del tags[i:]
                    del self.lists[i:]
                    return

        def handle_data(self, data):
            self.lists[-1].append(data)

    def build(doc):
        builder = ShapeBuilder()
        builder.feed(doc)
        builder.close()
        return builder.root
    return build


def _lxml_input(fromstring, doc):
    # lxml refuses a str that starts with an XML declaration naming an
    # encoding; such documents go in as their UTF-8 bytes, as a user would
    # have to pass them.
    try:
        fromstring(doc)
        return doc
    except ValueError:
        data = doc.encode("utf-8")
        fromstring(data)
        return data


def prepare(name, doc):
    if name == "quillet":
        try:
            import quillet
        except ImportError as exc:
            raise Unavailable(str(exc))
        parse = quillet.parse
        return lambda: parse(doc)

    if name in ("marshal", "marshal_nogc"):
        import gc
        import marshal
        try:
            import quillet
        except ImportError as exc:
            raise Unavailable(str(exc))
        blob = marshal.dumps(quillet.parse(doc))
        loads = marshal.loads

        if name == "marshal":
            def call():
                return loads(blob)
        else:
            def call():
                was = gc.isenabled()
                gc.disable()
                try:
                    return loads(blob)
                finally:
                    if was:
                        gc.enable()
        call.blob_bytes = len(blob)
        return call

    if name == "lxml_bytes":
        try:
            from lxml import html
        except ImportError as exc:
            raise Unavailable(str(exc))
        fromstring = html.fromstring
        data = doc.encode("utf-8")
        return lambda: fromstring(data)

    if name in ("lxml", "lxml_shape"):
        try:
            from lxml import html
        except ImportError as exc:
            raise Unavailable(str(exc))
        fromstring = html.fromstring
        data = _lxml_input(fromstring, doc)
        if name == "lxml":
            return lambda: fromstring(data)
        build = _lxml_shape(fromstring)
        return lambda: build(data)

    if name == "html_parser":
        build = _html_parser_shape()
        return lambda: build(doc)

    if name == "selectolax":
        try:
            from selectolax.lexbor import LexborHTMLParser
        except ImportError as exc:
            raise Unavailable(str(exc))
        return lambda: LexborHTMLParser(doc)

    raise ValueError("unknown implementation %r" % name)
