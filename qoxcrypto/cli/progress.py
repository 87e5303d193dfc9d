"""A progress line on stderr for long work, shown only on a terminal."""
import sys
import time
from typing import Optional, TextIO

_FIRST_AFTER = 1.0  # seconds: short jobs show nothing
_EVERY = 0.2


class Progress:
    """Called with each amount of bytes done; draws "LABEL: 45% (36.0 of 80.0 MB)"."""

    def __init__(self, label: str, total: Optional[int], enabled: bool = True,
                 stream: Optional[TextIO] = None):
        self.stream = stream or sys.stderr
        self.enabled = enabled and _is_terminal(self.stream)
        self.label, self.total, self.done = label, total, 0
        self._start = time.monotonic()
        self._drawn = 0.0

    def __call__(self, amount: int) -> None:
        self.done += amount
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._start < _FIRST_AFTER or now - self._drawn < _EVERY:
            return
        self._drawn = now
        if self.total:
            shown = "%d%% (%.1f of %.1f MB)" % (min(100, self.done * 100 // self.total),
                                               self.done / 1e6, self.total / 1e6)
        else:
            shown = "%.1f MB" % (self.done / 1e6)
        self.stream.write("\rqoxcrypto: %s: %s\x1b[K" % (self.label, shown))
        self.stream.flush()

    def close(self) -> None:
        """Erases the line, if one was drawn."""
        if self._drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._drawn = 0.0


def _is_terminal(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
