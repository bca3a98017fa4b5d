"""Runs the installed zeq_torvak extension as the interpreter's main program.

`python -m` cannot run an extension module, so the module is created from its
normal spec, renamed "__main__" and executed; its import sequence then runs the
demonstration.
"""
import importlib.util
import sys


def main():
    spec = importlib.util.find_spec("zeq_torvak")
    if spec is None:
        sys.exit("zeq_torvak is not installed")
    module = spec.loader.create_module(spec)
    module.__name__ = "__main__"
    sys.modules["__main__"] = module
    spec.loader.exec_module(module)


if __name__ == "__main__":
    main()
