"""Signal dispositions for the test's child processes.

A test run started in the background by a shell (`tools/test.sh &`) has SIGINT and SIGQUIT
ignored, and one started under nohup SIGHUP; a child inherits what is ignored, and Python
then installs no KeyboardInterrupt handler at all. A test about what a signal does to its
child therefore sets the child's dispositions itself, in the child, before it execs."""
import signal

RESET = (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM)


def default_signals(then=None):
    """A preexec_fn: the ending signals back to their default action, then `then` (another
    preexec_fn), whatever the test run itself was started with."""
    def reset():
        for number in RESET:
            signal.signal(number, signal.SIG_DFL)
        if then is not None:
            then()
    return reset
