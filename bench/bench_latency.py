r"""Request/response latency through the emulated device at the paced bus rate (one packet
per 1 ms frame each way): a 10-byte request and its 10-byte echo, ROUNDS rounds.

Prints figures and checks nothing. From the repository root, with the module and the
emulator built (see bench/README.md):

    PYTHONPATH=/tmp/build-bench:/tmp/emu-bench:python \
        umockdev-wrapper python3 bench/bench_latency.py [--rounds 1000]

Lines:
  spin       torvak:// port, reading only once in_waiting shows all 10 bytes: the lower bound
  torvak://  torvak:// port, a blocking read(10) that waits on the readiness descriptor
  asyncio    pyserial-asyncio's open_serial_connection over torvak:// (skipped when missing)
  neighbour  torvak://, blocking reads, on channel 2 while a client floods channel 3 and never
             reads it (what the device then holds for channel 3, and dropped, follows)
  Serial     zeq_torvak.Serial, which polls its buffer every 10 ms (for reference)
  idle read  CPU time of the waiting thread during a 10 s read that gets no data
"""
import argparse
import asyncio
import resource
import statistics
import threading
import time

from torvak_emu import Testbed

SERIAL = "LAT0001"
REQUEST = b"0123456789"


def figures(name, samples):
    samples = sorted(samples)
    p50 = statistics.median(samples) * 1e3
    p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))] * 1e3
    print("{:<10} p50 {:6.2f} ms   p99 {:6.2f} ms   ({} rounds)".format(name, p50, p99, len(samples)))
    return p50, p99


def rounds_of(exchange, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        exchange()
        times.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1000)
    args = parser.parse_args()

    testbed = Testbed.get()
    device = testbed.plug(serial=SERIAL, channels=4)
    device.set_loopback(True)
    device.set_pace_ms(1)

    import serial
    import torvak_serial  # noqa: F401  (registers torvak://)
    import zeq_torvak

    url = "torvak://{}/1".format(SERIAL)
    with serial.serial_for_url(url, baudrate=115200, timeout=2) as port:
        def spin():
            port.write(REQUEST)
            while port.in_waiting < len(REQUEST):
                pass
            assert port.read(len(REQUEST)) == REQUEST

        def blocking():
            port.write(REQUEST)
            assert port.read(len(REQUEST)) == REQUEST

        bound = figures("spin", rounds_of(spin, args.rounds))
        got = figures("torvak://", rounds_of(blocking, args.rounds))
        print("           above the bound: p50 {:+.2f} ms, p99 {:+.2f} ms".format(got[0] - bound[0], got[1] - bound[1]))

        port.timeout = 10
        before = resource.getrusage(resource.RUSAGE_THREAD)
        port.read(1)
        after = resource.getrusage(resource.RUSAGE_THREAD)
        cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1e3
        print("idle read  10 s waiting for data cost {:.2f} ms of CPU".format(cpu))

    with serial.serial_for_url("torvak://{}/3".format(SERIAL), baudrate=115200, timeout=2) as hog, \
            serial.serial_for_url("torvak://{}/2".format(SERIAL), baudrate=115200, timeout=2) as neighbour:
        stop = threading.Event()

        def round_trip():
            neighbour.write(REQUEST)
            assert neighbour.read(len(REQUEST)) == REQUEST

        def flood():
            while not stop.is_set():
                hog.write(bytes(4000))

        writer = threading.Thread(target=flood)
        writer.start()
        try:
            time.sleep(0.5)
            figures("neighbour", rounds_of(round_trip, min(args.rounds, 300)))
        finally:
            stop.set()
            writer.join()
        print("           channel 3 holds {} bytes for the host, dropped {}".format(
            device.buffered().get(3, 0), device.dropped().get(3, 0)))

    try:
        import serial_asyncio
    except ImportError:
        print("asyncio    skipped: pyserial-asyncio is not installed")
    else:
        async def asyncio_rounds():
            reader, writer = await serial_asyncio.open_serial_connection(url=url, baudrate=115200)
            times = []
            try:
                for _ in range(args.rounds):
                    start = time.perf_counter()
                    writer.write(REQUEST)
                    assert await reader.readexactly(len(REQUEST)) == REQUEST
                    times.append(time.perf_counter() - start)
            finally:
                writer.close()
            return times

        got = figures("asyncio", asyncio.run(asyncio_rounds()))
        print("           above the bound: p50 {:+.2f} ms, p99 {:+.2f} ms".format(got[0] - bound[0], got[1] - bound[1]))

    with zeq_torvak.Serial("Torvak:{}:S1".format(SERIAL), 115200, timeout=2) as port:
        def module_port():
            port.write(REQUEST)
            assert bytes(port.read(len(REQUEST))) == REQUEST

        figures("Serial", rounds_of(module_port, min(args.rounds, 300)))


if __name__ == "__main__":
    main()
