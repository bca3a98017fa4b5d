"""The project's own Sphinx directives: pages generated from the sources, so they cannot
drift from them.

``torvak-stub NAME``  the class or function NAME of python/zeq_torvak.pyi, with the
                      signatures and docstrings of the stub (what editors show).
``torvak-cli``        the ``torvak`` command's reference, read from its argparse parsers.
"""
import argparse
import ast
import os
import re
import textwrap

from docutils import nodes
from docutils.parsers.rst import Parser as RstParser
from docutils.utils import new_document
from sphinx.util.docutils import SphinxDirective

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(REPO, "python", "zeq_torvak.pyi")


def _parse(directive, lines):
    """The nodes of `lines` read as reStructuredText, whatever the page's own markup (the
    directives stand in MyST pages, whose nested parsing would read Markdown)."""
    document = new_document(directive.get_source_info()[0], directive.state.document.settings)
    RstParser().parse("\n".join(lines), document)
    return list(document.children)


def _signature(function):
    args = function.args
    positional = args.posonlyargs + args.args
    if positional and positional[0].arg in ("self", "cls") and not _decorated(function, "staticmethod"):
        positional = positional[1:]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = []
    for arg, default in zip(positional, defaults):
        text = arg.arg
        if arg.annotation is not None:
            text += ": " + ast.unparse(arg.annotation)
        if default is not None:
            text += " = " + ast.unparse(default)
        parts.append(text)
    result = "({})".format(", ".join(parts))
    if function.returns is not None:
        result += " -> " + ast.unparse(function.returns)
    return result


def _decorated(function, name):
    return any(ast.unparse(d) == name or ast.unparse(d).endswith("." + name) for d in function.decorator_list)


def _docstring(node, indent):
    text = ast.get_docstring(node) or ""
    return [indent + line if line else "" for line in text.splitlines()] + [""]


def _member_lines(member, indent):
    if _decorated(member, "setter"):
        return []
    if _decorated(member, "property"):
        lines = [indent + ".. py:property:: " + member.name]
        if member.returns is not None:
            lines.append(indent + "   :type: " + ast.unparse(member.returns))
    else:
        lines = [indent + ".. py:method:: " + member.name + _signature(member)]
        if _decorated(member, "staticmethod"):
            lines.append(indent + "   :staticmethod:")
    return lines + [""] + _docstring(member, indent + "   ")


def stub_lines(name, stub_path=STUB):
    """reST for the object `name` of the stub."""
    with open(stub_path, encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            return [".. py:function:: " + name + _signature(node), "   :module: zeq_torvak", ""] + _docstring(node, "   ")
        if isinstance(node, ast.ClassDef) and node.name == name:
            init = next((m for m in node.body if isinstance(m, ast.FunctionDef) and m.name == "__init__"), None)
            signature = _signature(init).rsplit(" -> ", 1)[0] if init else ""
            lines = [".. py:class:: " + name + signature, "   :module: zeq_torvak", ""]
            lines += _docstring(node, "   ")
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and member.name != "__init__":
                    lines += _member_lines(member, "   ")
            return lines
    raise ValueError("{} has no class or function {}".format(stub_path, name))


class StubDirective(SphinxDirective):
    required_arguments = 1

    def run(self):
        self.env.note_dependency(STUB)
        return _parse(self, stub_lines(self.arguments[0]))


def _subcommands(parser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {choice.dest: choice.help for choice in action._choices_actions}
            return [(name, sub, helps.get(name)) for name, sub in action.choices.items()]
    return []


def _literal(text):
    return [".. code-block:: text", ""] + ["   " + line for line in text.rstrip("\n").splitlines()] + [""]


def _escaped(text):
    return re.sub(r"([\\`*_|])", r"\\\1", text)


def _text(text, parser=None):
    """A parser's description or epilog as argparse shows it: reflowed into one paragraph,
    or kept as written (a literal block) under a raw formatter."""
    if not text:
        return []
    if parser is not None and issubclass(parser.formatter_class, argparse.RawDescriptionHelpFormatter):
        return _literal(textwrap.dedent(text).strip("\n"))
    return [_escaped(" ".join(text.split())), ""]


def _arguments(parser):
    formatter = parser._get_formatter()
    lines = []
    for action in parser._actions:
        if action.help == argparse.SUPPRESS or isinstance(action, (argparse._SubParsersAction, argparse._HelpAction)):
            continue
        invocation = formatter._format_action_invocation(action)
        help_text = " ".join(formatter._expand_help(action).split()) if action.help else ""
        lines += ["``{}``".format(invocation), "   " + _escaped(help_text), ""]
    return lines


def _command_lines(parser, summary=None):
    lines = _text(summary) if summary else []
    if parser.description and parser.description != summary:
        lines += _text(parser.description, parser)
    return lines + _literal(parser.format_usage()) + _arguments(parser) + _text(parser.epilog, parser)


class CliDirective(SphinxDirective):
    """The command's own description, usage and arguments, then a subsection for each
    subcommand, nested in the section where the directive stands."""

    def run(self):
        from torvak_cli.main import build_parser

        for module in ("main.py", "serve/__init__.py"):
            self.env.note_dependency(os.path.join(REPO, "python", "torvak_cli", module))
        # Usage lines wrapped the same way on every machine.
        os.environ["COLUMNS"] = "100"
        parser = build_parser()
        result = _parse(self, _command_lines(parser))
        for name, sub, summary in _subcommands(parser):
            title = "{} {}".format(parser.prog, name)
            section = nodes.section(ids=[nodes.make_id(title)], names=[nodes.fully_normalize_name(title)])
            section += nodes.title(title, "", nodes.literal(title, title))
            section.extend(_parse(self, _command_lines(sub, summary)))
            self.state.document.note_explicit_target(section, section)
            result.append(section)
        return result


def setup(app):
    app.add_directive("torvak-stub", StubDirective)
    app.add_directive("torvak-cli", CliDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
