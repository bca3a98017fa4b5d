#!/usr/bin/env python3
"""Writes a package index (PEP 503, "simple" repository API) over the wheels in a folder, so
that pip installs from it with no network and no web server:

    tools/simple_index.py DIR              writes DIR/simple/, then lists what it serves
    tools/simple_index.py DIR --missing    prints, one a line, the requirements of the
                                           wheels in DIR that no file in DIR serves

    pip install --index-url file://DIR/simple zeq_torvak

DIR/simple/index.html lists the projects, DIR/simple/PROJECT/index.html each project's
files, linked relative to DIR with their sha256 and Requires-Python. Wheels only: an sdist
beside them (for an upload) is left out, since pip would fall back to it on a Python that
no wheel is for and fail building it on a machine with no compiler; without it, pip says
at once that no distribution matches. A requirement of a
wheel (its Requires-Dist, extras left out) that no file in DIR serves is an error: pip
would fail on the machine the index is meant for, so it fails here. tools/build-wheels.sh
downloads those files first. Standard library only, Python 3.8 and later.
"""
import email.parser
import hashlib
import html
import os
import re
import shutil
import sys
import zipfile

# The project name at the start of a requirement ("pyserial>=3.5; python_version...").
REQUIREMENT_NAME = re.compile(r"^\s*([A-Za-z0-9][A-Za-z0-9._-]*)")


def normalize(name):
    """The project name as PEP 503 spells it in URLs."""
    return re.sub(r"[-_.]+", "-", name).lower()


def project_of(filename):
    return normalize(filename.split("-")[0])


def metadata_of(path):
    """The core metadata of a wheel (METADATA), or None."""
    text = None
    try:
        with zipfile.ZipFile(path) as wheel:
            inside = [n for n in wheel.namelist() if re.match(r"^[^/]+\.dist-info/METADATA$", n)]
            text = wheel.read(inside[0]).decode("utf-8") if inside else None
    except (OSError, zipfile.BadZipFile, UnicodeDecodeError):
        return None
    return email.parser.Parser().parsestr(text, headersonly=True) if text else None


def distributions(folder):
    """(project, filename, metadata) of each wheel in folder, sorted."""
    found = []
    for filename in sorted(os.listdir(folder)):
        path = os.path.join(folder, filename)
        if filename.endswith(".whl") and os.path.isfile(path):
            found.append((project_of(filename), filename, metadata_of(path)))
    return found


def requirements(found):
    """The requirements of the wheels found, extras left out, each once."""
    wanted = []
    for _, filename, metadata in found:
        if metadata is None:
            continue
        for requirement in metadata.get_all("Requires-Dist") or []:
            if re.search(r"\bextra\s*==", requirement) or requirement in wanted:
                continue
            wanted.append(requirement.strip())
    return wanted


def missing(found):
    served = {project for project, _, _ in found}
    return [r for r in requirements(found)
            if REQUIREMENT_NAME.match(r) and normalize(REQUIREMENT_NAME.match(r).group(1)) not in served]


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def page(title, links):
    return ('<!DOCTYPE html>\n<html>\n<head>\n<meta name="pypi:repository-version" content="1.0">\n'
            "<title>{}</title>\n</head>\n<body>\n{}</body>\n</html>\n").format(
        html.escape(title), "".join(link + "<br>\n" for link in links))


def write_index(folder, found):
    simple = os.path.join(folder, "simple")
    if os.path.isdir(simple):
        shutil.rmtree(simple)
    os.mkdir(simple)
    projects = sorted({project for project, _, _ in found})
    with open(os.path.join(simple, "index.html"), "w", encoding="utf-8") as index:
        index.write(page("Simple index", ['<a href="{0}/">{0}</a>'.format(p) for p in projects]))
    for project in projects:
        links = []
        for name, filename, metadata in found:
            if name != project:
                continue
            attributes = ""
            requires_python = metadata.get("Requires-Python") if metadata is not None else None
            if requires_python:
                attributes = ' data-requires-python="{}"'.format(html.escape(requires_python.strip()))
            href = "../../{}#sha256={}".format(filename, sha256(os.path.join(folder, filename)))
            links.append('<a href="{}"{}>{}</a>'.format(html.escape(href), attributes, html.escape(filename)))
        os.mkdir(os.path.join(simple, project))
        with open(os.path.join(simple, project, "index.html"), "w", encoding="utf-8") as index:
            index.write(page("Links for " + project, links))
    return projects


def main(argv):
    if argv[:1] in (["-h"], ["--help"]):
        sys.stdout.write(__doc__)
        return 0
    if len(argv) not in (1, 2) or argv[1:] not in ([], ["--missing"]):
        sys.stderr.write("usage: simple_index.py DIR [--missing]\n")
        return 2
    folder = argv[0]
    found = distributions(folder)
    unserved = missing(found)
    if argv[1:] == ["--missing"]:
        sys.stdout.write("".join(r + "\n" for r in unserved))
        return 0
    if not found:
        sys.stderr.write("simple_index: no wheel in {}\n".format(folder))
        return 1
    if unserved:
        sys.stderr.write("simple_index: nothing in {} serves {}, which the wheels require\n".format(
            folder, ", ".join(unserved)))
        return 1
    for project in write_index(folder, found):
        files = [f for p, f, _ in found if p == project]
        sys.stdout.write("{}/simple/{}/: {}\n".format(folder, project, ", ".join(files)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
