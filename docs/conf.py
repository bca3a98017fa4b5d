"""Sphinx configuration of the zeq_torvak documentation (tools/docs.sh builds it)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The project's directives, and its pure-Python packages (the CLI reference reads the parsers).
sys.path[:0] = [os.path.join(HERE, "_ext"), os.path.join(HERE, "..", "python")]

project = "zeq_torvak"
author = "the zeq_torvak developers"
copyright = "the zeq_torvak developers"

extensions = ["myst_parser", "torvak_docs"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
myst_enable_extensions = ["deflist"]

html_theme = "furo"
html_title = "zeq_torvak"
# The module's texts are quoted exactly, straight quotes included.
smartquotes = False
