"""What a Torvak channel cannot change, as a pyserial port shows it: the device sets nothing on
a channel but its baud rate, and a channel has no modem lines."""
from __future__ import annotations

import logging
from typing import TYPE_CHECKING, Any, Optional

import serial
from serial.serialutil import SerialBase

if TYPE_CHECKING:
    from serial.rs485 import RS485Settings

_FIXED_BY_DEVICE = "a Torvak channel sets only its baud rate"
_log = logging.getLogger("torvak_serial")


def _unsupported(setting: str, value: object, supported: str) -> ValueError:
    return ValueError(
        "{} {!r} is not supported: {}; only {} is available".format(
            setting, value, _FIXED_BY_DEVICE, supported
        )
    )


class FixedLineSettings(SerialBase):
    """The settings of a port whose device fixes them: anything but their defaults is
    refused, since the data would be corrupted; RTS, DTR and break are accepted and
    ignored, CTS, DSR and CD read True and RI False (as on pyserial's socket:// and loop://
    ports). The port class supplies _open_channel()."""

    _bytesize: int
    _parity: str
    _stopbits: float
    _write_timeout: Optional[float]
    _xonxoff: bool
    _rtscts: bool
    _dsrdtr: bool
    _rs485_mode: Optional[RS485Settings]

    def _open_channel(self) -> Any:
        """The open channel; PortNotOpenError otherwise."""
        raise NotImplementedError

    @property
    def bytesize(self) -> int:
        return self._bytesize

    @bytesize.setter
    def bytesize(self, bytesize: int) -> None:
        if bytesize != serial.EIGHTBITS:
            raise _unsupported("bytesize", bytesize, "EIGHTBITS (8)")
        self._bytesize = bytesize

    @property
    def parity(self) -> str:
        return self._parity

    @parity.setter
    def parity(self, parity: str) -> None:
        if parity != serial.PARITY_NONE:
            raise _unsupported("parity", parity, "PARITY_NONE ('N')")
        self._parity = parity

    @property
    def stopbits(self) -> float:
        return self._stopbits

    @stopbits.setter
    def stopbits(self, stopbits: float) -> None:
        if stopbits != serial.STOPBITS_ONE:
            raise _unsupported("stopbits", stopbits, "STOPBITS_ONE (1)")
        self._stopbits = stopbits

    @property
    def xonxoff(self) -> bool:
        return self._xonxoff

    @xonxoff.setter
    def xonxoff(self, xonxoff: bool) -> None:
        if xonxoff:
            raise _unsupported("xonxoff", xonxoff, "False (no software flow control)")
        self._xonxoff = False

    @property
    def rtscts(self) -> bool:
        return self._rtscts

    @rtscts.setter
    def rtscts(self, rtscts: bool) -> None:
        if rtscts:
            raise _unsupported("rtscts", rtscts, "False (no hardware flow control)")
        self._rtscts = False

    @property
    def dsrdtr(self) -> bool:
        return self._dsrdtr

    @dsrdtr.setter
    def dsrdtr(self, dsrdtr: Optional[bool] = None) -> None:
        if dsrdtr:
            raise _unsupported("dsrdtr", dsrdtr, "False (no hardware flow control)")
        self._dsrdtr = False

    @property
    def rs485_mode(self) -> Optional[RS485Settings]:
        return self._rs485_mode

    @rs485_mode.setter
    def rs485_mode(self, rs485_settings: Optional[RS485Settings]) -> None:
        if rs485_settings is not None:
            raise _unsupported("rs485_mode", rs485_settings, "None (no RS-485 mode)")
        self._rs485_mode = None

    @property
    def write_timeout(self) -> Optional[float]:
        return self._write_timeout

    @write_timeout.setter
    def write_timeout(self, timeout: Optional[float]) -> None:
        if timeout is not None:
            try:
                negative = timeout < 0
            except TypeError:
                raise ValueError("Not a valid timeout: {!r}".format(timeout)) from None
            if negative:
                raise ValueError("Not a valid timeout: {!r}".format(timeout))
        self._write_timeout = timeout

    # Modem lines and break: the channel has none. As on pyserial's socket:// and loop://
    # ports, setting them is accepted and ignored, and the inputs read as an idle line does.

    def _update_rts_state(self) -> None:
        _log.debug("%s: RTS %s ignored: a Torvak channel has no modem lines", self.port, self.rts)

    def _update_dtr_state(self) -> None:
        _log.debug("%s: DTR %s ignored: a Torvak channel has no modem lines", self.port, self.dtr)

    def _update_break_state(self) -> None:
        _log.debug("%s: break %s ignored: a Torvak channel cannot send a break", self.port, self.break_condition)

    def send_break(self, duration: float = 0.25) -> None:
        self._open_channel()
        _log.debug("%s: break of %s s ignored: a Torvak channel cannot send a break", self.port, duration)

    @property
    def cts(self) -> bool:
        self._open_channel()
        return True

    @property
    def dsr(self) -> bool:
        self._open_channel()
        return True

    @property
    def ri(self) -> bool:
        self._open_channel()
        return False

    @property
    def cd(self) -> bool:
        self._open_channel()
        return True
