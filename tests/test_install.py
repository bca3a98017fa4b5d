"""What an installed torvak offers before any device is touched: its help for every
command, its version, debug logging, machine-readable answers when nothing is there, and
the shipped systemd unit."""
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest

from package_source import REPO, search_path
from test_cli import run_cli

COMMANDS = ["list", "info", "status", "term", "miniterm", "send", "receive", "serve"]
UNIT = os.path.join(REPO, "deploy", "torvak-serve.service")


def torvak(*args, env=None):
    env = dict(os.environ if env is None else env)
    env["PYTHONPATH"] = search_path(env.get("PYTHONPATH"))
    return subprocess.run([sys.executable, "-m", "torvak_cli"] + list(args), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, universal_newlines=True)


def test_help_lists_every_command_and_each_command_has_its_own():
    alone = torvak()
    described = dict(re.findall(r"^    (\w+) +(\S.*)$", alone.stdout, re.MULTILINE))
    assert sorted(described) == sorted(COMMANDS), alone.stdout
    for name in COMMANDS:
        result = torvak(name, "--help")
        assert result.returncode == 0 and result.stdout.startswith("usage: torvak " + name), (name, result.stderr)
        assert described[name].split(":")[0] in result.stdout
    # miniterm: ours first, then pyserial's options.
    miniterm = torvak("miniterm", "--help").stdout
    assert 0 < miniterm.index("Torvak:SERIAL:Sn") < miniterm.index("--parity")
    for name, fields in (("list", '"firmware"'), ("status", '"from_device"')):
        assert fields in torvak(name, "--help").stdout


def test_version_is_the_installed_distribution_s():
    from importlib import metadata

    result = torvak("--version")
    assert result.stdout.split() == ["torvak", metadata.version("zeq_torvak")], result.stderr


def test_json_answers_with_nothing_there_and_v_logs_for_every_command(testbed, tmp_path):
    for args in (["list", "--json"], ["-v", "list", "--json"], ["list", "--json", "-v"]):
        result = run_cli(testbed, *args)
        assert (result.returncode, json.loads(result.stdout)) == (0, []), result.stderr
        assert (b"DEBUG" in result.stderr) == ("-v" in args), result.stderr
    env = dict(os.environ, TORVAK_RUN_DIR=str(tmp_path))
    result = torvak("status", "--json", "-v", env=env)
    assert (result.returncode, json.loads(result.stdout)) == (0, []) and "DEBUG" in result.stderr, result.stderr


def test_the_shipped_unit_runs_torvak_from_its_venv_with_valid_options(tmp_path):
    with open(UNIT) as unit:
        text = unit.read()
    settings = dict(re.findall(r"^(\w+)=(.*)$", text, re.MULTILINE))
    command = shlex.split(settings["ExecStart"])
    assert command[:2] == ["/opt/torvak/bin/torvak", "serve"] and settings["RuntimeDirectory"] == "torvak"
    # The options parse: --status makes torvak serve answer at once instead of serving.
    result = torvak(*command[1:], "--status", env=dict(os.environ, TORVAK_RUN_DIR=str(tmp_path)))
    assert result.returncode == 1 and result.stderr.startswith("torvak: no torvak serve is running"), result.stderr
    analyze = shutil.which("systemd-analyze")
    here = os.path.join(os.path.dirname(sys.executable), "torvak")
    if analyze is None or not os.path.exists(here):
        pytest.skip("no systemd-analyze, or no installed torvak command to stand in for /opt/torvak's")
    # The same unit, its command taken from this environment, as /opt/torvak is not installed here.
    copy = tmp_path / "torvak-serve.service"
    copy.write_text(text.replace(command[0], here))
    verify = subprocess.run([analyze, "verify", "--man=no", str(copy)], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True, timeout=60)
    assert (verify.returncode, verify.stdout) == (0, "")
