"""Where the tests and their child processes take the packages from: the source tree's
python/ first, or, with TORVAK_TEST_INSTALLED=1 (the wheel check), only the installed ones."""
import os

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON_DIR = os.path.join(REPO, "python")
INSTALLED_ONLY = os.environ.get("TORVAK_TEST_INSTALLED") == "1"


def search_path(*more):
    """A PYTHONPATH value: the source tree's python/ (unless INSTALLED_ONLY), then `more`
    (entries that may be empty or joined with os.pathsep)."""
    entries = [] if INSTALLED_ONLY else [PYTHON_DIR]
    for entry in more:
        entries.extend(part for part in (entry or "").split(os.pathsep) if part)
    return os.pathsep.join(entries)


def with_emulator_plugin(env):
    """env, naming the emulator's pytest plugin in PYTEST_PLUGINS for child pytest runs
    when the emulator is a build on PYTHONPATH rather than the installed torvak-emu wheel
    (whose entry point registers it; naming it twice would be an error)."""
    from importlib import metadata

    try:
        metadata.distribution("torvak-emu")
    except metadata.PackageNotFoundError:
        env = dict(env, PYTEST_PLUGINS="torvak_emu.pytest_plugin")
    return env
