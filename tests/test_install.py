"""What an installed torvak offers before any device is touched: its help for every
command, its version, debug logging, machine-readable answers when nothing is there, and
the shipped systemd unit; and how it gets installed: the package index pip installs from
offline, the build's progress report, build-wheels.sh's help."""
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys

import pytest

from package_source import REPO, search_path
from test_cli import run_cli

COMMANDS = ["list", "info", "status", "term", "miniterm", "send", "receive", "serve", "capture", "tap"]
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


def _wheel(folder, name, version, requires=(), requires_python=None):
    """A minimal pure-Python wheel of one module named after the project."""
    import zipfile

    module = name.lower().replace("-", "_").replace(".", "_")
    info = "{}-{}.dist-info".format(module, version)
    metadata = "Metadata-Version: 2.1\nName: {}\nVersion: {}\n".format(name, version)
    metadata += "".join("Requires-Dist: {}\n".format(r) for r in requires)
    metadata += "Requires-Python: {}\n".format(requires_python) if requires_python else ""
    files = {module + ".py": "WHERE = 'index'\n", info + "/METADATA": metadata,
             info + "/WHEEL": "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n"}
    files[info + "/RECORD"] = "".join(path + ",,\n" for path in list(files) + [info + "/RECORD"])
    path = folder / "{}-{}-py3-none-any.whl".format(module, version)
    with zipfile.ZipFile(str(path), "w") as wheel:
        for inside, text in files.items():
            wheel.writestr(inside, text)
    return path


@pytest.mark.timeout(300)
def test_the_package_index_serves_the_wheels_and_refuses_to_leave_out_a_requirement(tmp_path):
    dist = tmp_path / "dist"
    dist.mkdir()
    _wheel(dist, "zeq_torvak", "9.0.1", ["Probe.Dep>=1.0", 'pytest>=7; extra == "test"'], ">=3.8")
    index = [sys.executable, os.path.join(REPO, "tools", "simple_index.py"), str(dist)]
    run = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=240)
    # The requirement nothing here serves is named, the extra's is not, and no index is left.
    assert subprocess.run(index + ["--missing"], **run).stdout == "Probe.Dep>=1.0\n"
    refused = subprocess.run(index, **run)
    assert refused.returncode == 1 and "Probe.Dep" in refused.stderr and not (dist / "simple").exists()
    _wheel(dist, "Probe.Dep", "1.2")
    (dist / "zeq_torvak-9.0.1.tar.gz").write_bytes(b"")  # an sdist for the upload: never served
    written = subprocess.run(index, **run)
    assert written.returncode == 0, written.stderr
    assert ".tar.gz" not in (dist / "simple" / "zeq-torvak" / "index.html").read_text()
    # pip, with no configuration, no other index and no source build, installs both from it.
    target = tmp_path / "site"
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "--isolated", "--disable-pip-version-check",
                          "--no-cache-dir", "--only-binary", ":all:", "--target", str(target),
                          "--index-url", (dist / "simple").as_uri(), "zeq_torvak"], **run)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    assert (target / "zeq_torvak.py").exists() and (target / "probe_dep.py").exists()


def test_a_silent_build_still_reports_and_a_failed_one_keeps_its_status_and_log(tmp_path):
    build = ("import sys, time\n"
             "print('*** Building project with Ninja...', flush=True)\n"
             "for n in (1, 2, 3):\n"
             "    print('[%d/4] Building CXX object unit%d.o' % (n, n), flush=True)\n"
             "time.sleep(2)\n"
             "print('error: unit4.cpp', flush=True)\n"
             "sys.exit(3)\n")
    log = tmp_path / "build.log"
    result = subprocess.run([sys.executable, os.path.join(REPO, "tools", "build_progress.py"), str(log), "setup:",
                             "--", sys.executable, "-c", build],
                            env=dict(os.environ, TORVAK_PROGRESS_INTERVAL="0.3"), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    said = result.stdout.splitlines()
    assert all(line.startswith("setup: ") for line in said), said

    def first(start):
        return next(n for n, line in enumerate(said) if line.startswith(start))

    # (A loaded machine may show "still building" before the child has printed anything.)
    assert first("setup: compiling") < first("setup: 3/4 compiled") < first("setup: still compiling"), said
    assert result.returncode == 3 and "error: unit4.cpp" in result.stderr
    assert "[2/4] Building CXX object unit2.o" in log.read_text() and "error: unit4.cpp" in log.read_text()


def test_build_wheels_help_names_its_variables_and_builds_nothing():
    script = os.path.join(REPO, "tools", "build-wheels.sh")
    run = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    shown = subprocess.run(["bash", script, "--help"], **run)
    assert shown.returncode == 0 and shown.stderr == "", shown.stderr
    assert "TORVAK_WHEEL_PYTHONS" in shown.stdout and "--index-url file://" in shown.stdout
    assert subprocess.run(["bash", script, "--wrong"], **run).returncode == 2


BACKGROUND_RUN = '''
import signal, subprocess, sys, time
from child_process import default_signals

def test_hangs():
    time.sleep(600)

def test_a_child_still_ends_on_sigint():
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"], preexec_fn=default_signals())
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    assert child.wait(timeout=10) == -signal.SIGINT
'''


def test_a_run_started_in_the_background_ends_each_hung_test_alone_and_its_children_still_take_signals(tmp_path):
    # As `tools/test.sh &` (SIGINT and SIGQUIT ignored) and nohup (SIGHUP) start it, with the
    # project's pytest settings: the hung test fails at its time-out and the run goes on to
    # its summary; the child of the other one is ended by SIGINT all the same.
    (tmp_path / "test_background.py").write_text(BACKGROUND_RUN)

    def as_background_job():
        for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)

    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-c", os.path.join(REPO, "pyproject.toml"), "--rootdir", str(tmp_path),
         "-p", "no:cacheprovider", "-o", "timeout=3", str(tmp_path / "test_background.py")],
        env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "tests")), cwd=str(tmp_path), preexec_fn=as_background_job,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=90)
    assert "1 failed, 1 passed" in run.stdout and "Timeout" in run.stdout, run.stdout
