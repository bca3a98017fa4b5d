"""Reads a valgrind memcheck log of the test run and decides whether the module is clean.

    python tools/memcheck_report.py LOG SRC_DIR

Fails (exit 1) on a definitely lost block whose allocation stack passes through the
module (a frame under SRC_DIR or in zeq_torvak*.so), and on an invalid access or free
whose faulting frame is the module's. Everything else is counted only: the interpreter
keeps some of its own blocks until exit with no pointer left to them, and one built
without valgrind support makes uninitialised-value reports in its own integer code
(3.11: the digits of a new int) that surface wherever such an int is used, the module's
frames included; --track-origins=yes shows where such values were made.
"""
import re
import sys


def main(log, src):
    text = open(log, encoding="utf-8", errors="replace").read()
    reports = [re.sub(r"==\d+== ", "", r) for r in re.findall(r"==\d+== (\S.*?)\n==\d+== \n", text, re.S)]

    def ours(frame):
        return src in frame or "zeq_torvak" in frame

    lost = [r for r in reports if "are definitely lost" in r]
    lost_ours = [r for r in lost if any(ours(line) for line in r.splitlines())]
    bad = [r for r in reports if re.match(r"Invalid |Mismatched |Source and destination overlap", r)]
    bad_ours = [r for r in bad if len(r.splitlines()) > 1 and ours(r.splitlines()[1])]
    uninit = [r for r in reports if re.match(r"Conditional jump|Use of uninitialised|Syscall param", r)]
    summary = re.search(r"definitely lost: .*|All heap blocks were freed.*", text)

    print("memcheck:", summary.group(0) if summary else "no leak summary (did the run finish?)")
    print("memcheck: %d definite loss record(s), %d through the project's code" % (len(lost), len(lost_ours)))
    print("memcheck: %d invalid access or free report(s), %d in the project's code" % (len(bad), len(bad_ours)))
    print("memcheck: %d uninitialised-value report(s), not judged" % len(uninit))
    for r in lost_ours + bad_ours:
        print(r, "\n")
    print("memcheck: full log in", log)
    return 1 if lost_ours or bad_ours or not summary else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
