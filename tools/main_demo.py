"""What tools/main.sh shows: the module's demonstration, then a round trip through a channel.

    python tools/main_demo.py [--round-trip]

The demonstration runs unchanged in a child interpreter (tools/run_as_main.py); each line
it prints is shown here after "demonstration: ". With --round-trip, one line is then
written to channel 1 of the first device and read back through the library, which needs
a channel that sends back what it receives, as the emulated devices of
tools/with-emulated-device do. Exit status: the demonstration's, or 1 when the line did
not come back as it was sent.
"""
import os
import subprocess
import sys

ROUND_TRIP_PORT = "Torvak:ANY:S1"
ROUND_TRIP_LINE = b"round trip\n"


def demonstration():
    run_as_main = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_as_main.py")
    result = subprocess.run([sys.executable, run_as_main], stdout=subprocess.PIPE)
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        print("demonstration: " + line)
    return result.returncode


def round_trip():
    import zeq_torvak

    with zeq_torvak.Serial(ROUND_TRIP_PORT, 115200, timeout=2) as port:
        port.write(ROUND_TRIP_LINE)
        back = bytes(port.read_until(b"\n"))
    print("round trip: wrote %r to %s, read back %r" % (ROUND_TRIP_LINE, ROUND_TRIP_PORT, back))
    return 0 if back == ROUND_TRIP_LINE else 1


def main(argv):
    if argv not in ([], ["--round-trip"]):
        sys.exit("usage: main_demo.py [--round-trip]")
    status = demonstration()
    if status == 0 and argv:
        sys.stdout.flush()
        status = round_trip()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
