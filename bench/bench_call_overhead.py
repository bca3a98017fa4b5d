"""Cost of a call through the module's native function type.

Prints nanoseconds per call for a few member shapes, with a Python function of the
same shape beside each for scale, then runs 100,000 calls of each shape and prints the
reference counts of the arguments and the resident memory of the process before and
after. Asserts nothing.

The shapes come from the test-only member table (build with
-DZEQ_TORVAK_TEST_HOOKS=ON); without it only the module functions are measured.

    PYTHONPATH=BUILD_DIR python bench/bench_call_overhead.py
"""
import importlib.machinery
import importlib.util
import os
import sys
import timeit

import zeq_torvak

CALLS = 100000


def load_hooks():
    origin = zeq_torvak.__spec__.origin
    loader = importlib.machinery.ExtensionFileLoader("_zeq_torvak_test_hooks", origin)
    spec = importlib.util.spec_from_file_location("_zeq_torvak_test_hooks", origin, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
    except ImportError:
        return None
    loader.exec_module(module)
    return module


def resident_kib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


class HasFloat:
    def __float__(self):
        return 2.5


class Reference:
    def take(self, text, number, real, anything, maybe=None, label="x"):
        return (text, number, float(real), anything, maybe, label)

    def wait(self, timeout=0.5):
        return (float(timeout),)

    @staticmethod
    def twice(number):
        return (number, number)

    @property
    def value(self):
        return self._value


def refused(call):
    def run():
        try:
            call()
        except TypeError:
            pass

    return run


def shapes(hooks):
    text = "".join(["not", " interned"])
    number = 10 ** 30
    real = HasFloat()
    anything = object()
    args = {"text": text, "number": number, "real": real, "anything": anything}
    out = [
        ("get_hid_device(1), refused", refused(lambda: zeq_torvak.get_hid_device(1)), None, [number]),
    ]
    if hooks is None:
        return out
    probe, ref = hooks.Probe(), Reference()
    ref._value = 0
    out += [
        ("static method, 1 int", lambda: hooks.Probe.twice(number), lambda: Reference.twice(number), [number]),
        ("property getter", lambda: probe.value, lambda: ref.value, []),
        ("method, float default", lambda: probe.wait(), lambda: ref.wait(), []),
        ("method, int -> float", lambda: probe.wait(1), lambda: ref.wait(1), []),
        (
            "method, 4 positional",
            lambda: probe.take(text, number, 2.5, anything),
            lambda: ref.take(text, number, 2.5, anything),
            [text, number, anything],
        ),
        (
            "method, 4 keywords, __float__",
            lambda: probe.take(**args),
            lambda: ref.take(**args),
            [text, number, real, anything],
        ),
        ("method, refused argument", refused(lambda: probe.take(text, True, real, anything)), None, [text, real]),
        ("module function, 1 + default", lambda: hooks.probe_function(anything), None, [anything]),
    ]
    return out


def ns_per_call(fn):
    timer = timeit.Timer(fn)
    loops, _ = timer.autorange()
    best = min(timer.repeat(repeat=5, number=loops))
    return best / loops * 1e9


def main():
    hooks = load_hooks()
    print("zeq_torvak from %s, Python %s" % (zeq_torvak.__file__, sys.version.split()[0]))
    if hooks is None:
        print("built without ZEQ_TORVAK_TEST_HOOKS: module functions only")
    table = shapes(hooks)

    print("\n%-34s %12s %12s" % ("shape", "native ns", "python ns"))
    for name, native, python, _ in table:
        reference = "%12.0f" % ns_per_call(python) if python else "%12s" % "-"
        print("%-34s %12.0f %s" % (name, ns_per_call(native), reference))

    print("\n%d calls of each shape" % CALLS)
    print("%-34s %22s %16s" % ("shape", "argument refcounts", "RSS KiB"))
    for name, native, _, watched in table:
        refs_before = [sys.getrefcount(o) for o in watched]
        rss_before = resident_kib()
        for _ in range(CALLS):
            native()
        refs_after = [sys.getrefcount(o) for o in watched]
        rss_after = resident_kib()
        print(
            "%-34s %22s %16s"
            % (name, "%s -> %s" % (refs_before, refs_after), "%d -> %d" % (rss_before, rss_after))
        )


if __name__ == "__main__":
    main()
