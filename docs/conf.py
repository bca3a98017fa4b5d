"""Sphinx configuration of the zeq_torvak documentation (tools/docs.sh builds it)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The project's directives, and its pure-Python packages (the CLI reference reads the parsers).
sys.path[:0] = [os.path.join(HERE, "_ext"), os.path.join(HERE, "..", "python")]

project = "zeq_torvak"
author = "the zeq_torvak developers"
copyright = "the zeq_torvak developers"

extensions = ["myst_parser", "sphinx.ext.autodoc", "torvak_docs"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
myst_enable_extensions = ["deflist"]

html_theme = "furo"
html_title = "zeq_torvak"
# The module's texts are quoted exactly, straight quotes included.
smartquotes = False

# The reference of torvak_serial, torvak_common and torvak_discovery (reference.md) is read from their
# docstrings; the native modules they import are stood in for, the site needing no build.
autodoc_mock_imports = ["zeq_torvak", "_torvak_readiness"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"


def _no_type_docstring(app, what, name, obj, options, lines):
    """A constant has no docstring of its own: autodoc would show its type's (str's, int's);
    a named tuple's fields have only the generated "Alias for field number N"."""
    if what == "data" and lines and type(obj).__doc__ and lines[0] == type(obj).__doc__.splitlines()[0]:
        lines.clear()
    elif what in ("attribute", "property") and lines and lines[0].startswith("Alias for field number "):
        lines.clear()


def setup(app):
    app.connect("autodoc-process-docstring", _no_type_docstring)
