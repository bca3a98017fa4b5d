#!/usr/bin/env python3
"""Runs a build command (or another long set-up step) quietly and reports its progress:

    tools/build_progress.py LOG LABEL -- COMMAND [ARGS...]

Everything COMMAND prints goes to the file LOG. On standard output, each line starting
with LABEL: a line when the build enters a new stage (build dependencies, CMake's
configuration, compiling, installing), the compiler's count ("[n/N]" of ninja or make)
with the time so far and, after the first few steps, an estimate of the time left, and,
whenever nothing of that came for TORVAK_PROGRESS_INTERVAL seconds (default 20), a line
saying the build is still running and for how long. So a slow build on a busy machine
never looks hung. When COMMAND fails, the end of LOG goes to standard error; the exit
status is COMMAND's. Standard library only, Python 3.8 and later.
"""
import collections
import os
import queue
import re
import subprocess
import sys
import threading
import time

# What pip (with -v) and scikit-build-core print when a stage starts, and how it is told.
STAGES = (
    (re.compile(r"Installing build dependencies"), "installing the build requirements (scikit-build-core, pybind11)"),
    (re.compile(r"\*\*\* Configuring CMake"), "configuring with CMake"),
    (re.compile(r"\*\*\* Building project"), "compiling"),
    (re.compile(r"\*\*\* Installing project"), "packing and installing the wheel"),
)
STEP = re.compile(r"\[\s*(\d+)\s*/\s*(\d+)\s*\]")
# Count lines closer together than this are folded into the next one.
MIN_STEP_GAP = 5.0
TAIL_LINES = 40


def _minutes(seconds):
    seconds = int(round(seconds))
    return "{} s".format(seconds) if seconds < 120 else "{} min {:02d} s".format(seconds // 60, seconds % 60)


class Progress:
    """Turns the command's lines into the few lines a person watching needs."""

    def __init__(self, label, write, clock=time.monotonic):
        self.label, self.write, self.clock = label, write, clock
        self.start = self.last_said = clock()
        self.stage, self.stage_number = "working", -1
        self.total = self.compile_start = None
        self.first_done = 0
        self.pending = None  # the latest count not said yet: (done, total)

    def say(self, text):
        self.write("{} {}\n".format(self.label, text))
        self.last_said = self.clock()

    def line(self, text):
        for number, (pattern, stage) in enumerate(STAGES):
            # Stages only go forward: pip prints some of these texts more than once.
            if pattern.search(text) and number > self.stage_number:
                self.stage_number = number
                self.flush()
                self.stage = stage
                self.say("{} ({} so far)".format(stage, _minutes(self.clock() - self.start)))
                return
        step = STEP.search(text)
        if step is None:
            return
        done, total = int(step.group(1)), int(step.group(2))
        if done == 0 or done > total:
            return  # "[0/2] Re-checking globbed directories" and the like
        now = self.clock()
        if self.total != total:
            # A new count (CMake's own checks run one before the build's); a build that
            # compiles only what changed starts it at 1 too.
            self.total, self.compile_start, self.first_done = total, now, done - 1
        self.pending = (done, total)
        if done == total or now - self.last_said >= MIN_STEP_GAP:
            self.flush()

    def flush(self):
        if self.pending is None:
            return
        done, total = self.pending
        self.pending = None
        now = self.clock()
        text = "{}/{} compiled, {} so far".format(done, total, _minutes(now - self.start))
        counted = done - self.first_done
        if done < total and counted >= 3:
            left = (now - self.compile_start) / counted * (total - done)
            text += ", about {} left".format(_minutes(left))
        self.say(text)

    def idle(self):
        """Called when nothing was said for the interval."""
        if self.pending is not None:
            self.flush()
        else:
            self.say("still {} ({} so far)".format(self.stage, _minutes(self.clock() - self.start)))


def _pump(stream, lines):
    for raw in iter(stream.readline, b""):
        lines.put(raw.decode("utf-8", "replace"))
    lines.put(None)


def run(log_path, label, command, interval):
    progress = Progress(label, lambda text: (sys.stdout.write(text), sys.stdout.flush()))
    tail = collections.deque(maxlen=TAIL_LINES)
    lines = queue.Queue()
    with open(log_path, "w", encoding="utf-8") as log:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        reader = threading.Thread(target=_pump, args=(child.stdout, lines), name="build-output")
        reader.start()
        try:
            while True:
                wait = max(0.0, progress.last_said + interval - time.monotonic())
                try:
                    text = lines.get(timeout=wait)
                except queue.Empty:
                    progress.idle()
                    continue
                if text is None:
                    break
                log.write(text)
                log.flush()
                tail.append(text)
                progress.line(text)
            status = child.wait()
        except KeyboardInterrupt:
            status = child.wait()
        finally:
            reader.join()
            child.stdout.close()
    if status == 0:
        progress.flush()
        progress.say("done in {}".format(_minutes(time.monotonic() - progress.start)))
    else:
        sys.stderr.write("".join(tail))
        sys.stderr.write("{} the build failed (exit status {}); the whole output is in {}\n".format(
            label, status, log_path))
    return status


def main(argv):
    if len(argv) < 4 or argv[2] != "--":
        sys.stderr.write("usage: build_progress.py LOG LABEL -- COMMAND [ARGS...]\n")
        return 2
    interval = float(os.environ.get("TORVAK_PROGRESS_INTERVAL", "20"))
    status = run(argv[0], argv[1], argv[3:], interval)
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
