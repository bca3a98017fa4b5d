"""``torvak miniterm PORT [BAUD] [options]``: pyserial's own Miniterm on a channel.

The torvak:// scheme is registered and PORT may also be given as a port name
(Torvak:SERIAL:Sn) or with its serial number in any letter case. One thing differs from
``python -m serial.tools.miniterm``: a setting that the device refuses from the menu (byte
size, parity, stop bits, flow control, baud rate) is printed and miniterm goes on, where
the stock one would end with a traceback.
"""
import contextlib
import sys
import types
from typing import Sequence, Union

from torvak_common import make_url, match_serial_number, parse_port


def _as_url(text: str) -> str:
    """PORT as a torvak:// URL, its serial number spelt as the device reports it; left as
    given when it names no channel, for miniterm to report."""
    try:
        serial_number, channel = parse_port(text)
    except ValueError:
        return text
    if serial_number.upper() != "ANY":
        import zeq_torvak

        with contextlib.suppress(OSError, AssertionError):
            serial_number = match_serial_number(serial_number, zeq_torvak.list_serial_numbers()) or serial_number
    return make_url(serial_number, channel)


def make_importable() -> None:
    """Makes pyserial's miniterm importable. It imports pyserial's port listing, which on
    Windows asks cfgmgr32 for CM_MapCrToWin32Err, missing before Windows 8 and under wine:
    there the listing is this package's (the channels of the attached devices), which
    miniterm uses only to offer ports when none is named."""
    try:
        import serial.tools.list_ports  # noqa: F401
    except AttributeError:
        if sys.platform != "win32":
            raise
        import torvak_serial

        listing = types.ModuleType("serial.tools.list_ports")
        setattr(listing, "comports", lambda include_links=False: torvak_serial.comports())
        sys.modules["serial.tools.list_ports"] = listing


def run_miniterm(argv: Sequence[str], own_help: str = "") -> Union[int, str, None]:
    """Runs pyserial's miniterm with these arguments; for --help, own_help comes first and
    then pyserial's list of its options."""
    import serial

    import torvak_serial  # noqa: F401  (registers torvak:// with pyserial)

    make_importable()
    import serial.tools.miniterm as miniterm

    class Miniterm(miniterm.Miniterm):
        def handle_menu_key(self, c: str) -> None:
            try:
                super().handle_menu_key(c)
            except (ValueError, serial.SerialException) as error:
                sys.stderr.write("--- {} ---\n".format(error))

    arguments = list(argv)
    first = next((i for i, a in enumerate(arguments) if not a.startswith("-")), None)
    if first is not None:
        arguments[first] = _as_url(arguments[first])
    saved = sys.argv, miniterm.Miniterm
    sys.argv, miniterm.Miniterm = ["torvak miniterm"] + arguments, Miniterm  # type: ignore[misc]
    if own_help and ("-h" in arguments or "--help" in arguments):
        sys.stdout.write(own_help + "\n")
        sys.stdout.flush()
    try:
        miniterm.main()
    except SystemExit as stop:  # --help, or an argument error
        return stop.code
    finally:
        sys.argv, miniterm.Miniterm = saved  # type: ignore[misc]
    return 0
