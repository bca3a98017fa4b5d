"""What the Python faces do on Windows, where torvak serve cannot run: the command says so
and clients look for no service. The wheels' check runs these under wine, where they are
real; elsewhere sys.platform is made Windows'."""
import sys

import pytest

from torvak_cli import main as cli
from torvak_common import served


@pytest.fixture
def windows(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "platform", "win32")
    # A run directory named is no reason to look there: no service runs on Windows.
    monkeypatch.setenv("TORVAK_RUN_DIR", str(tmp_path))


def test_serve_says_it_needs_linux_whatever_it_is_asked(windows, capsys):
    for argv in (["serve"], ["serve", "--device", "EMU0001", "--rfc2217-port", "4000"], ["serve", "--status"]):
        assert cli.main(argv) == cli.SERVE_NEEDS_LINUX
    assert "needs Linux" in cli.SERVE_NEEDS_LINUX and "torvak://SERIAL/N" in cli.SERVE_NEEDS_LINUX
    assert capsys.readouterr().out == ""


def test_no_service_is_looked_for(windows, tmp_path):
    assert served.run_directories() == []
    assert served.service_running(str(tmp_path)) is False
    assert served.find_served("EMU0001") is None
