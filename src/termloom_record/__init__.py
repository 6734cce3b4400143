"""The recorder behind ``Pane.record``: pane output on standard input, an
asciicast v2 file out.

Run by tmux's pipe-pane as ``python -I termloom_record/__init__.py PATH WIDTH HEIGHT``.
It holds an exclusive lock on the file from before the header until the
last event is written, which is how ``Pane.record`` sees it start and
``Pane.stop_recording`` sees it finish.
"""

import codecs
import fcntl
import json
import os
import sys
import time


def record(path: str, width: int, height: int, source: int = 0) -> None:
    started = time.monotonic()
    # Output cut inside a UTF-8 sequence is decoded once the rest arrives.
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    with open(path, "w", encoding="utf-8") as out:
        fcntl.flock(out.fileno(), fcntl.LOCK_EX)
        header = {"version": 2, "width": width, "height": height, "timestamp": int(time.time())}
        out.write(json.dumps(header) + "\n")
        out.flush()
        while True:
            chunk = os.read(source, 65536)
            data = decoder.decode(chunk, final=not chunk)
            if data:
                event = [round(time.monotonic() - started, 6), "o", data]
                out.write(json.dumps(event, ensure_ascii=False) + "\n")
                out.flush()
            if not chunk:
                break
        # Closing the file releases the lock: everything is written by then.


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print("usage: termloom_record PATH WIDTH HEIGHT", file=sys.stderr)
        return 2
    record(argv[0], int(argv[1]), int(argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
