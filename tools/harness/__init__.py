"""What the end-to-end tests, the demo, the soak and the benchmark share: a private X server, the
wine set-up, processes with line-logged output and bounded waits, the stand-ins and the program, and
the world made of them (world.py: the program on its stand-ins, selections and their ledger).
Standard library only. Run with PYTHONPATH=<repo>/tools (the scripts set it; pytest.ini does too)."""

import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(REPO, "build", "linux", "tools")  # the stand-ins are Linux programs for either build
