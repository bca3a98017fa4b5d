r"""Soak of torvak serve: four kinds of client at once for --seconds, every byte checked.

From the repository root, with the module and the emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/soak_serve.py [--seconds 300]

One emulated device echoes all four channels; the service holds it, and each client is a
process of its own:
  1 tty       opens channel 1's tty, round-trips a few blocks, closes it, again (churn);
  2 RFC 2217  pyserial's rfc2217:// on channel 2's port, reconnecting and changing the rate
              now and then;
  3 routed    torvak://SERIAL/3 through the service, opened and closed now and then;
  4 stream    one port held open the whole time, a writer and a reader thread streaming.
Each writes numbered records ("%09d\n", one counter per channel across its sessions) and
compares what comes back with what it wrote, in order. `torvak status` runs every few
seconds. Prints per channel bytes moved, opens, rate changes, errors and the first
difference, if any; the service's resident memory at start and end; whether it still
answers. Exit status 1 when a byte was lost, duplicated or reordered, or the service died.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from torvak_emu import Testbed, wait_until

SERIAL = "SOAK0001"
CHANNELS = 4

CLIENT = r'''
import json, queue, random, sys, threading, time
import serial
kind, where, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
RATES = (9600, 19200, 57600, 115200, 230400)
rng = random.Random(kind)
f = {"bytes": 0, "opens": 0, "rates": 0, "errors": 0, "first_error": None, "difference": None}
counter = 0

def records(n):
    global counter
    data = b"".join(b"%09d\n" % (counter + i) for i in range(n))
    counter += n
    return data

def difference(expected, got, at):
    """Where `got` first leaves `expected`, and what the record found there says."""
    i = next((k for k in range(min(len(expected), len(got))) if expected[k] != got[k]), min(len(expected), len(got)))
    start = i - i % 10
    what = "expected %r, got %r" % (expected[start:start + 10], got[start:start + 10])
    if i == len(got):
        what = "%d of %d bytes came back" % (len(got), len(expected))
    for k in range(1, 65):  # what the rest of the data says happened there
        if got[i:i + 40] == expected[i + k:i + k + 40]:
            what = "%d byte(s) lost; %s" % (k, what)
            break
        if got[i + k:i + k + 40] == expected[i:i + 40]:
            what = "%d byte(s) duplicated or inserted; %s" % (k, what)
            break
    return "at byte %d: %s" % (at + i, what)

def port_open(rate):
    if kind == "tty":
        p = serial.Serial(where, rate, timeout=10)
    else:
        p = serial.serial_for_url(where, baudrate=rate, timeout=10)
    f["opens"] += 1
    return p

def check(p, data):
    """Reads the echo of data; False after recording the first difference."""
    got = p.read(len(data))
    if got != data:
        f["difference"] = difference(data, got, f["bytes"])
        return False
    f["bytes"] += len(data)
    return True

def error(e):
    f["errors"] += 1
    f["first_error"] = f["first_error"] or "%s: %s" % (type(e).__name__, e)
    time.sleep(0.5)

def sessions(end):
    """Open, a few exchanges (now and then a new rate between two of them), close."""
    rate = 115200
    while time.monotonic() < end and not f["difference"]:
        p = None
        try:
            p = port_open(rate)
            if f["errors"]:
                p.reset_input_buffer()  # what an abandoned exchange may have left
            for _ in range(rng.randint(1, 6)):
                if kind != "tty" and rng.random() < 0.2:
                    rate = rng.choice(RATES)
                    p.baudrate = rate
                    f["rates"] += 1
                data = records(rng.randint(1, 200))
                p.write(data)
                if not check(p, data):
                    break
        except (serial.SerialException, OSError) as e:
            error(e)
        finally:
            if p is not None:
                p.close()

def stream(end):
    """One port for the whole run: a writer at most 32 KiB ahead of a reader that checks."""
    p = port_open(115200)
    ahead = queue.Queue(32)  # what the reader has yet to see, in order; None: the end
    def writer():
        while time.monotonic() < end and not f["difference"]:
            data = records(100)
            ahead.put(data)
            p.write(data)
        ahead.put(None)
    threading.Thread(target=writer, daemon=True).start()  # blocked for good after a difference
    for data in iter(ahead.get, None):
        if not check(p, data):
            return
    p.close()

if kind != "tty":
    import torvak_serial  # torvak:// URLs
end = time.monotonic() + seconds
try:
    stream(end) if kind == "stream" else sessions(end)
except Exception as e:
    error(e)
print(json.dumps(f), flush=True)
'''


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    except (OSError, StopIteration):
        return None


def status(env):
    """The service's channels from `torvak status --json`, or None when it did not answer."""
    try:
        done = subprocess.run([sys.executable, "-m", "torvak_cli", "status", "--json"], env=env,
                              capture_output=True, text=True, timeout=20)
        answer = json.loads(done.stdout)
        return answer[0]["devices"][0]["channels"] if done.returncode == 0 else None
    except (subprocess.TimeoutExpired, ValueError, LookupError, TypeError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--status-every", type=float, default=3, metavar="SECONDS")
    parser.add_argument("--base", type=int, default=48700, help="first RFC 2217 port (default %(default)s)")
    args = parser.parse_args()
    usable, why = Testbed.available()
    if not usable:
        sys.stderr.write("cannot emulate the device here: %s\n" % why)
        return 2
    testbed = Testbed.get()
    device = testbed.plug(serial=SERIAL, channels=CHANNELS)
    device.set_loopback(True)
    run_dir = tempfile.mkdtemp(prefix="soak-serve")
    env = dict(os.environ, UMOCKDEV_DIR=testbed.root_dir, TORVAK_RUN_DIR=run_dir)
    service = subprocess.Popen(
        [sys.executable, "-m", "torvak_cli", "serve", "--device", SERIAL, "--pty-dir", run_dir,
         "--rfc2217-port", str(args.base)], env=env, stdout=subprocess.DEVNULL,
        stderr=open(os.path.join(run_dir, "serve.log"), "w"))
    clients = {}
    try:
        if not wait_until(lambda: status(env) is not None, timeout=20):
            sys.stderr.write("torvak serve did not come up\n")
            return 1
        rss_start = rss_kib(service.pid)
        where = {"tty": os.path.join(run_dir, SERIAL, "1"), "rfc2217": "rfc2217://127.0.0.1:%d" % (args.base + 1),
                 "routed": "torvak://%s/3" % SERIAL, "stream": "torvak://%s/4" % SERIAL}
        print("soak of torvak serve for {:g} s: pid {}, RSS {} KiB, its log in {}".format(
            args.seconds, service.pid, rss_start, os.path.join(run_dir, "serve.log")), flush=True)
        for kind, target in where.items():
            clients[kind] = subprocess.Popen([sys.executable, "-c", CLIENT, kind, target, str(args.seconds)],
                                             env=env, stdout=subprocess.PIPE, text=True)
        queries, failed, slowest, last = 0, 0, 0.0, None
        give_up = time.monotonic() + args.seconds + 120  # a client stuck for good is killed (and fails)
        while any(c.poll() is None for c in clients.values()):
            start = time.monotonic()
            if start > give_up:
                for c in clients.values():
                    c.kill()
            channels = status(env)
            slowest = max(slowest, time.monotonic() - start)
            queries += 1
            failed += channels is None
            last = channels or last
            time.sleep(max(0.0, args.status_every - (time.monotonic() - start)))
        figures = {}
        for kind, c in clients.items():
            out = c.stdout.read()
            figures[kind] = json.loads(out) if c.wait() == 0 and out.strip() else None
        time.sleep(1)
        rss_end = rss_kib(service.pid)
        answers = status(env) is not None and service.poll() is None
    finally:
        for c in clients.values():
            if c.poll() is None:
                c.kill()
                c.wait()
    bad = not answers
    print("{:<3} {:<9} {:>11} {:>6} {:>6} {:>7}  {}".format("ch", "client", "bytes", "opens", "rates", "errors",
                                                            "lost/duplicated/reordered"))
    for n, kind in enumerate(where, 1):
        f = figures[kind]
        if f is None:
            bad = True
            print("{:<3} {:<9} client process failed".format(n, kind))
            continue
        bad = bad or bool(f["difference"])
        print("{:<3} {:<9} {:>11} {:>6} {:>6} {:>7}  {}".format(n, kind, f["bytes"], f["opens"], f["rates"],
                                                                f["errors"], f["difference"] or 0))
        if f["first_error"]:
            print("    first error: {}".format(f["first_error"]))
    if last:
        print("last status: " + ", ".join("ch{} {}/{} B from/to device".format(
            c.get("channel"), c.get("from_device"), c.get("to_device")) for c in last))
    print("status queries: {} ({} unanswered), slowest {:.2f} s".format(queries, failed, slowest))
    print("service RSS: {} KiB at start, {} KiB at end".format(rss_start, rss_end))
    print("service answers status at the end: {}".format("yes" if answers else "NO"))
    service.terminate()
    try:
        service.wait(20)
    except subprocess.TimeoutExpired:
        service.kill()
        service.wait()
        bad = True
    print("service exit status {}".format(service.returncode))
    device.unplug()
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
