"""Ends a test server when the test that started it is gone or its lifetime is over."""
import os
import sys
import threading
import time


def watch(lifetime):
    parent = os.getppid()
    deadline = time.monotonic() + lifetime

    def stdin_closed():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except (OSError, ValueError):
            pass
        os._exit(0)

    threading.Thread(target=stdin_closed, daemon=True).start()
    while time.monotonic() < deadline:
        if os.getppid() != parent:
            os._exit(0)
        time.sleep(0.5)
    os._exit(3)
