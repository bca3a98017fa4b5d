"""The documentation's examples, run as written against emulated devices, and the stub's
docstrings.

Every fenced block of README.md and docs/*.md runs, in page order, in one scratch
directory per page, each as a child of tools/with-emulated-device (default device
EMU0001 with 4 looped-back channels):
- ``python``: a program, which must exit with status 0;
- ``pycon``: a doctest session, whose printed results must match;
- ``sh``: a shell script (``sh -e``); one that makes its own emulated bus
  (tools/with-emulated-device, umockdev-wrapper) runs as it is, with the emulator's build
  at build/emulator.
A comment line just above a block changes that: ``<!-- doc-test: skip (why) -->`` leaves
it out (it needs root, or changes the machine), ``<!-- doc-test: save NAME -->`` also
writes it to the file NAME for the blocks after it, and ``<!-- doc-test: --device ...
-->`` passes options to tools/with-emulated-device. Other blocks (``text``, ``ini``,
output) are shown, not run.
"""
import ast
import os
import re
import shlex
import subprocess
import sys

import pytest

from package_source import with_emulator_plugin

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["README.md"] + sorted(
    os.path.join("docs", name) for name in os.listdir(os.path.join(REPO, "docs")) if name.endswith(".md")
)
RUN = ("python", "pycon", "sh")
FENCE = re.compile(r"^(`{3,})(\S*)\s*$")
MARK = re.compile(r"^<!-- doc-test: (.*) -->$")


def blocks(path):
    """(line, language, text, mark) of each fenced block of a Markdown file."""
    found, mark, open_fence = [], None, None
    with open(os.path.join(REPO, path), encoding="utf-8") as page:
        lines = page.read().splitlines()
    for number, line in enumerate(lines, 1):
        if open_fence is None:
            fence = FENCE.match(line)
            if fence:
                open_fence, start, language, body = fence.group(1), number, fence.group(2), []
                block_mark = mark
            elif line.strip():
                match = MARK.match(line.strip())
                mark = match.group(1) if match else None
        elif line.strip() == open_fence:
            found.append((start, language, "\n".join(body) + "\n", block_mark))
            open_fence, mark = None, None
        else:
            body.append(line)
    assert open_fence is None, "{}: unclosed block".format(path)
    return found


def _environment():
    env = dict(os.environ)
    # The child makes its own testbed; the one of this test process must not leak into it.
    # A sanitizer's runtime stays preloaded (the sanitizer run's module needs it from the
    # process's start, as in a child that makes its testbed before it loads the module).
    env.pop("UMOCKDEV_DIR", None)
    kept = [entry for entry in env.pop("LD_PRELOAD", "").replace(" ", ":").split(":")
            if entry and "umockdev" not in entry and "uevent_socket" not in entry]
    if kept:
        env["LD_PRELOAD"] = ":".join(kept)
    # The interpreter's scripts (torvak-emu-wrapper with the emulator's wheel), else the
    # emulator build's wrapper.
    path = [os.path.dirname(sys.executable), os.environ.get("TORVAK_EMU_PATH", ""), env.get("PATH", "")]
    env["PATH"] = os.pathsep.join(p for p in path if p)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.join(REPO, "python"), env.get("PYTHONPATH")) if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    # The emulator's pytest plugin, as the torvak-emu wheel registers it, for the emulator
    # page's tests.
    return with_emulator_plugin(env)


def _emulated(options, command):
    return [sys.executable, os.path.join(REPO, "tools", "with-emulated-device"), "-q"] + options + ["--"] + command


def run_block(language, text, mark, directory, env):
    options = shlex.split(mark) if mark and mark.startswith("--") else []
    if language == "python":
        with open(os.path.join(directory, "example.py"), "w", encoding="utf-8") as script:
            script.write(text)
        command = _emulated(options, ["python", "example.py"])
    elif language == "pycon":
        with open(os.path.join(directory, "example.txt"), "w", encoding="utf-8") as session:
            session.write(text)
        command = _emulated(options, ["python", "-m", "doctest", "example.txt"])
    elif "tools/with-emulated-device" in text or "umockdev-wrapper" in text or "torvak-emu-wrapper" in text:
        command = ["sh", "-e", "-c", text]
    else:
        command = _emulated(options, ["sh", "-e", "-c", text])
    return subprocess.run(command, cwd=directory, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=60, universal_newlines=True)


@pytest.mark.timeout(600)
@pytest.mark.parametrize("page", PAGES)
def test_examples_of_the_page_run_on_the_emulated_device(page, tmp_path, testbed):
    # The scratch directory sees the checkout's tools and packages where examples name them.
    for name in ("tools", "python", "udev", "bench", "examples"):
        os.symlink(os.path.join(REPO, name), str(tmp_path / name))
    (tmp_path / "build").mkdir()
    emulator = os.environ.get("TORVAK_EMU_PATH") or os.path.join(REPO, "build", "emulator")
    os.symlink(os.path.abspath(emulator), str(tmp_path / "build" / "emulator"))
    # The checkout's .venv, which the quick start activates, is the environment running the tests.
    if sys.prefix != sys.base_prefix:
        os.symlink(sys.prefix, str(tmp_path / ".venv"))
    else:
        (tmp_path / ".venv" / "bin").mkdir(parents=True)
        (tmp_path / ".venv" / "bin" / "activate").write_text('PATH="{}:$PATH"\n'.format(os.path.dirname(sys.executable)))
    env = _environment()
    ran = 0
    for line, language, text, mark in blocks(page):
        if language not in RUN or (mark or "").startswith("skip"):
            continue
        if mark and mark.startswith("save "):
            (tmp_path / mark.split()[1]).write_text(text, encoding="utf-8")
        result = run_block(language, text, mark, str(tmp_path), env)
        assert result.returncode == 0, "{}:{}: the {} block failed:\n{}".format(page, line, language, result.stdout)
        ran += 1
    skipped = [b for b in blocks(page) if b[1] in RUN and (b[3] or "").startswith("skip")]
    assert len(skipped) <= 3, "{}: keep examples that cannot run few".format(page)


def test_every_public_name_of_the_stub_has_a_docstring():
    with open(os.path.join(REPO, "python", "zeq_torvak.pyi"), encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    missing = []

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                if ast.get_docstring(node) is None:
                    missing.append(prefix + node.name)
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                private = node.name.startswith("_") and not node.name.endswith("__")
                setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
                if not private and not setter and ast.get_docstring(node) is None:
                    missing.append(prefix + node.name)

    visit(tree.body, "")
    assert not missing, "stub members without a docstring: " + ", ".join(missing)


def test_the_chinese_texts_quoted_in_the_docs_are_the_modules():
    import zeq_torvak

    with open(zeq_torvak.__file__, "rb") as module:
        binary = module.read()
    quoted = re.compile(r'[`"]([^`"\n]*[\u3000-\u9fff\uff00-\uffef][^`"\n]*)[`"]')
    # The parts a text is built from; the placeholders of the docs stand between them.
    placeholder = re.compile(r"SERIAL|PORT|RATE|GOT|MESSAGE|REPLY|COMMAND|Torvak:|:Sn|\bN\b|\bn\b|\d+|\.\.\.")
    texts = []
    for path in ("docs/api.md", "docs/troubleshooting.md", "python/zeq_torvak.pyi"):
        with open(os.path.join(REPO, path), encoding="utf-8") as source:
            texts += quoted.findall(source.read())
    assert len(texts) >= 10
    wrong = [
        text for text in texts
        for piece in placeholder.split(text)
        if re.search(r"[\u3000-\u9fff\uff00-\uffef]", piece) and piece.encode("utf-8") not in binary
    ]
    assert not wrong, "texts the module does not have: {}".format(wrong)
