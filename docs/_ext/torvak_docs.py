"""The project's own Sphinx directives: pages generated from the sources, so they cannot
drift from them.

``torvak-stub NAME``  the class or function NAME of python/zeq_torvak.pyi, with the
                      signatures and docstrings of the stub (what editors show).
``torvak-cli``        the ``torvak`` command's reference, read from its argparse parsers.
"""
import argparse
import ast
import os
import textwrap

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(REPO, "python", "zeq_torvak.pyi")


def _parse(directive, lines):
    container = nodes.section()
    container.document = directive.state.document
    nested_parse_with_titles(directive.state, StringList(lines, source=directive.get_source_info()[0]), container)
    return container.children


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
            lines = [".. py:class:: " + name + (_signature(init) if init else ""), "   :module: zeq_torvak", ""]
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
    return ["::", ""] + ["   " + line for line in text.rstrip("\n").splitlines()] + [""]


def _text(text):
    return [line for line in textwrap.dedent(text).strip().splitlines()] + [""] if text else []


def _arguments(parser):
    formatter = parser._get_formatter()
    lines = []
    for action in parser._actions:
        if action.help == argparse.SUPPRESS or isinstance(action, argparse._SubParsersAction):
            continue
        invocation = formatter._format_action_invocation(action)
        lines += ["``{}``".format(invocation), "   " + (formatter._expand_help(action) if action.help else ""), ""]
    return lines


def cli_lines(parser, level_marks="=-"):
    """reST for the command `parser` and its subcommands, one section each."""
    # Usage lines wrapped the same way on every machine.
    os.environ["COLUMNS"] = "100"
    lines = _text(parser.description) + _literal(parser.format_usage()) + _arguments(parser) + _text(parser.epilog)
    for name, sub, summary in _subcommands(parser):
        title = "{} {}".format(parser.prog, name)
        lines += [title, level_marks[0] * len(title), ""]
        if summary:
            lines += _text(summary)
        if sub.description and sub.description != summary:
            lines += _text(sub.description)
        lines += _literal(sub.format_usage()) + _arguments(sub) + _text(sub.epilog)
    return lines


class CliDirective(SphinxDirective):
    def run(self):
        from torvak_cli.main import build_parser

        for module in ("main.py", "serve/__init__.py"):
            self.env.note_dependency(os.path.join(REPO, "python", "torvak_cli", module))
        return _parse(self, cli_lines(build_parser()))


def setup(app):
    app.add_directive("torvak-stub", StubDirective)
    app.add_directive("torvak-cli", CliDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
