"""Print the current settings of the first attached camera.

Executes the Tavrocam module as the main program: it connects to the camera at
index 0, prints a short report of its settings and closes it again.
"""

import importlib.util
import sys


def main():
    found = importlib.util.find_spec("Tavrocam")
    if found is None:
        print("tavrocam-report: the Tavrocam module is not installed", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(found)
    module.__name__ = "__main__"
    found.loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
