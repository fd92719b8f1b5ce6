"""What the end-to-end tests, the demo, the soak and the benchmark share: a private X server, the
wine set-up, processes with line-logged output and bounded waits, the stand-ins and the program.
Standard library only. Run with PYTHONPATH=<repo>/tools (the scripts set it; pytest.ini does too)."""

import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
