"""A lab of devices: RFC 2217 ports pinned to a device's serial number, the labgrid exporter
configuration written from what the service serves, and labgrid itself (coordinator,
exporter, client, pytest plugin) reserving a channel of the emulated device and talking to
it. labgrid pins its own pyserial, so it lives in a venv of its own (tools/test.sh makes
.venv-labgrid); without it the labgrid test skips, saying so."""
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from test_serve import free_base
from torvak_emu import wait_until

from torvak_cli.serve.port_map import PortMap, PortMapError, parse_entry

HERE = os.path.dirname(os.path.abspath(__file__))
LABGRID_VENV = os.environ.get("TORVAK_LABGRID_VENV", os.path.join(HERE, "..", ".venv-labgrid"))
BLOCK = 16


class Lab:
    """torvak serve (every device) in a run directory of its own, and the torvak command
    beside it."""

    def __init__(self, env, tmp_path, options):
        self.dir = str(tmp_path / "run")
        self.env = dict(env, TORVAK_RUN_DIR=self.dir)
        self.log_path = str(tmp_path / "serve.log")
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "torvak_cli", "serve", "--pty-dir", self.dir, "-v"] + list(options),
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def serving(self, *serials):
        return all(os.path.exists(os.path.join(self.dir, serial, "1")) for serial in serials)

    def torvak(self, *args):
        return subprocess.run([sys.executable, "-m", "torvak_cli"] + list(args), env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, universal_newlines=True)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            assert self.process.wait(timeout=15) == 0, self.log()
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


def first_ports(config):
    """serial -> channel 1's port, read from the exporter configuration's text."""
    found, serial = {}, None
    for line in config.splitlines():
        if line.startswith('"'):
            serial = line.strip('":')
        elif line.strip().startswith("port:") and serial not in found:
            found[serial] = int(line.split(":")[1])
    return found


def test_the_port_map_refuses_what_it_cannot_keep(tmp_path):
    assert parse_entry("LAB0001=7000") == ("LAB0001", 7000)
    for text in ("LAB0001", "lab0001=7000", "LAB0001=seventy", "LAB0001=65530", "=7000"):
        with pytest.raises(PortMapError):
            parse_entry(text)
    with pytest.raises(PortMapError, match="overlap those of LAB0001"):
        PortMap([("LAB0001", 7000), ("LAB0002", 7015)])
    with pytest.raises(PortMapError, match="mapped twice"):
        PortMap([("LAB0001", 7000), ("LAB0001", 8000)])
    ports = PortMap([("LAB0001", 7000), ("LAB0002", 7016)])
    assert ports.first_port("LAB0002", 0, None) == 7016
    assert ports.first_port("OTHER", 3, None) is None  # no --rfc2217-port: only mapped devices
    assert ports.first_port("OTHER", 1, 6990) is None  # its slot's block would overlap LAB0001's
    assert ports.first_port("OTHER", 3, 6990) == 6990 + 48
    # The service says so at once, in the words of the entry that is wrong.
    listed = tmp_path / "ports"
    listed.write_text("# the lab's boards\nLAB0001=7000\n\nLAB0002 7010\n")
    done = subprocess.run([sys.executable, "-m", "torvak_cli", "serve", "--pty-dir", str(tmp_path / "run"),
                           "--port-map-file", str(listed)], stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=30)
    assert done.returncode == 2 and "the ports of LAB0002 (7010-7025) overlap those of LAB0001" in done.stderr
    assert not os.path.exists(str(tmp_path / "run"))


def test_a_stop_just_after_the_exporter_file_is_replaced_leaves_it_whole(tmp_path, monkeypatch):
    from torvak_cli import labgrid
    from torvak_cli.signals import Terminated

    replace = os.replace

    def replaced_then_stopped(source, target):
        replace(source, target)
        raise Terminated(signal.SIGTERM)  # as the handler raises it, one instruction later

    output = tmp_path / "exporter.yaml"
    monkeypatch.setattr(labgrid.os, "replace", replaced_then_stopped)
    with pytest.raises(Terminated):
        labgrid._replace(str(output), "{}\n")
    assert os.listdir(str(tmp_path)) == ["exporter.yaml"] and output.read_text() == "{}\n"


def test_a_mapped_device_keeps_its_ports_whatever_is_plugged_first(testbed, child_env, tmp_path):
    """Across a restart with another device plugged first, the mapped device's channels stay
    on its ports, and the exporter configuration says where each is and at what rate."""
    mapped = free_base(BLOCK)
    base = free_base(2 * BLOCK, avoid=[mapped])
    options = ["--rfc2217-port", str(base), "--port-map", "LAB0001={}".format(mapped)]
    first = testbed.plug(serial="LAB0001", channels=2)
    first.set_loopback(True)
    lab = Lab(child_env, tmp_path, options + ["--device", "LAB0001"])
    try:
        assert wait_until(lambda: lab.serving("LAB0001"), timeout=10), lab.log()
        shown = lab.torvak("labgrid-exporter-config")
        assert shown.returncode == 0, shown.stderr
        assert first_ports(shown.stdout) == {"LAB0001": mapped}, shown.stdout
        assert 'cls: "NetworkSerialPort"' in shown.stdout and '"channel2"' not in shown.stdout
        with socket.create_connection(("127.0.0.1", mapped + 1), timeout=5):
            pass  # channel 2 listens where the map says
    finally:
        lab.stop()
    # A board added to the lab ahead of it takes slot 0, where LAB0001 was.
    second = testbed.plug(serial="LAB0002", channels=2)
    lab = Lab(child_env, tmp_path, options + ["--device", "LAB0002", "--device", "LAB0001"])
    output = str(tmp_path / "exporter.yaml")
    writer = subprocess.Popen([sys.executable, "-m", "torvak_cli", "labgrid-exporter-config", "--output", output,
                               "--interval", "0.2"], env=lab.env, stderr=subprocess.PIPE, universal_newlines=True)
    try:
        assert wait_until(lambda: lab.serving("LAB0001", "LAB0002"), timeout=10), lab.log()

        def written():
            with open(output) as f:
                return first_ports(f.read())

        assert wait_until(lambda: os.path.exists(output) and written() == {"LAB0001": mapped, "LAB0002": base},
                          timeout=10), lab.log()
        second.unplug()  # the file follows: the unplugged device's group goes
        assert wait_until(lambda: written() == {"LAB0001": mapped}, timeout=10)
    finally:
        writer.send_signal(signal.SIGTERM)
        try:
            assert writer.wait(timeout=10) == 0, writer.stderr.read()
        finally:
            lab.stop()  # a failed check above leaves no service behind
    said = writer.stderr.read()
    assert "wrote {}: LAB0001, LAB0002".format(output) in said and "wrote {}: LAB0001\n".format(output) in said, said


def labgrid(name):
    return os.path.join(LABGRID_VENV, "bin", name)


@pytest.mark.timeout(180)
def test_labgrid_reserves_a_channel_and_its_test_talks_to_the_device(testbed, child_env, tmp_path):
    """labgrid's coordinator and exporter on the generated configuration; a place matching
    the device's group; its pytest plugin's SerialDriver echoing through a looped-back
    channel; a second user refused while the first holds the place; a clear failure, no
    hang, once the service is gone."""
    if not os.access(labgrid("labgrid-exporter"), os.X_OK):
        why = "labgrid is not installed in {} (tools/setup-labgrid.sh installs it there)".format(LABGRID_VENV)
        if os.environ.get("TORVAK_REQUIRE_LABGRID") == "1":
            pytest.fail(why)
        pytest.skip(why)
    board = testbed.plug(serial="LAB0003", channels=2)
    board.set_loopback(True)
    mapped, coordinator_port = free_base(BLOCK), free_base(1)
    coordinator = "127.0.0.1:{}".format(coordinator_port)
    lab = Lab(child_env, tmp_path, ["--port-map", "LAB0003={}".format(mapped)])
    work = tmp_path / "lab"
    work.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    env.update(LG_COORDINATOR=coordinator, LG_HOSTNAME="lab-test", LG_USERNAME="alice")
    started = []

    def start(*command):
        log = open(str(work / (os.path.basename(command[0]) + ".log")), "wb")
        started.append(subprocess.Popen(command, cwd=str(work), env=env, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT))

    def client(*args, user="alice"):
        return subprocess.run([labgrid("labgrid-client"), "-p", "torvak-board"] + list(args), cwd=str(work),
                              env=dict(env, LG_USERNAME=user), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=60)

    def board_test():
        return subprocess.run([labgrid("python"), "-m", "pytest", "-q", "-p", "no:cacheprovider", "--lg-env",
                               "env.yaml", "test_board.py"], cwd=str(work), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True, timeout=90)

    try:
        assert wait_until(lambda: lab.serving("LAB0003"), timeout=10), lab.log()
        config = lab.torvak("labgrid-exporter-config")
        assert config.returncode == 0, config.stderr
        (work / "exporter.yaml").write_text(config.stdout)
        (work / "env.yaml").write_text(textwrap.dedent("""\
            targets:
              main:
                resources:
                  RemotePlace:
                    name: torvak-board
                drivers:
                  SerialDriver:
                    bindings:
                      port: channel1
            """))
        (work / "test_board.py").write_text(textwrap.dedent("""\
            def test_the_console_echoes(target):
                console = target.get_driver("SerialDriver")
                console.write(b"hello from labgrid\\n")
                console.expect("hello from labgrid", timeout=10)
            """))
        start(labgrid("labgrid-coordinator"), "-l", coordinator)
        time.sleep(1)
        start(labgrid("labgrid-exporter"), "-n", "lab-host", "--hostname", "127.0.0.1", "exporter.yaml")
        assert wait_until(lambda: "LAB0003" in client("resources").stdout, timeout=30), client("resources").stdout
        shown = client("-v", "resources")
        assert "lab-host/LAB0003/NetworkSerialPort" in shown.stdout, shown.stdout
        for args in (("create",), ("add-match", "lab-host/LAB0003/*"), ("acquire",)):
            done = client(*args)
            assert done.returncode == 0, (args, done.stdout)
        refused = client("acquire", user="bob")
        assert refused.returncode != 0 and "alice" in refused.stdout, refused.stdout
        ran = board_test()
        assert ran.returncode == 0 and "1 passed" in ran.stdout, ran.stdout
        lab.stop()
        began = time.monotonic()
        ran = board_test()
        assert ran.returncode != 0 and "refused" in ran.stdout.lower(), ran.stdout
        assert time.monotonic() - began < 60
        assert client("release").returncode == 0
        taken = client("acquire", user="bob")
        assert taken.returncode == 0, taken.stdout
    finally:
        for process in reversed(started):
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if lab.process.poll() is None:
            lab.stop()
