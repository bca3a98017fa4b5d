"""torvak-emu-wrapper COMMAND [ARGS...]: runs COMMAND under umockdev's preload library with
this package's uevent library ahead of it, as umockdev-wrapper does plus that library.

A process that uses libusb itself needs the uevent library from its start when its libusb
was built without udev (the release wheels' is): without it, such a libusb hears of no
device plugged after it started (see Testbed.get)."""
import os
import sys


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        sys.stderr.write(__doc__.split("\n\n")[0] + "\n")
        return 0 if argv else 2
    library = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libuevent_socket.so")
    before = os.environ.get("LD_PRELOAD")
    os.environ["LD_PRELOAD"] = ":".join([library, "libumockdev-preload.so.0"] + ([before] if before else []))
    try:
        os.execvp(argv[0], argv)
    except OSError as error:
        sys.stderr.write("torvak-emu-wrapper: cannot run {}: {}\n".format(argv[0], error))
        return 127


if __name__ == "__main__":
    sys.exit(main())
