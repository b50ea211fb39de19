"""``python -m tavrocam_sim [--cameras N] program.py args...``: run a pypylon
program unchanged on simulated acA2040-55uc cameras (see ``runner``)."""

import sys

from tavrocam_sim.runner import main

if __name__ == "__main__":
    sys.exit(main())
