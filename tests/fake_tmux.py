"""A scripted stand-in for an outside program (tmux, ps), used by the tests.

The fixture copies this file into a folder that goes first on PATH under the
program's name. Each run appends its argument vector to calls.jsonl and
answers with the next scripted response (or the default one): bytes for
standard output and error, an exit code, and optionally a pause.
The version query `-V` is answered apart, with the scripted version (tmux
3.3a unless told otherwise): it is counted in versions-asked only.
"""
import base64
import fcntl
import json
import os
import sys
import time

here = os.path.abspath(sys.argv[0])
state = os.path.join(os.path.dirname(here), "state-" + os.path.basename(here))


def main():
    if sys.argv[1:] == ["-V"]:
        with open(os.path.join(state, "versions-asked"), "a") as asked:
            asked.write("-V\n")
        try:
            with open(os.path.join(state, "version")) as f:
                version = f.read()
        except FileNotFoundError:
            version = "tmux 3.3a\n"
        os.write(1, version.encode())
        return
    # Runs may overlap (calls from several threads): one at a time takes its
    # turn, logs its call and counts it.
    with open(os.path.join(state, "lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with open(os.path.join(state, "calls.jsonl"), "a") as calls:
            calls.write(json.dumps([os.path.basename(sys.argv[0])] + sys.argv[1:]) + "\n")
        with open(os.path.join(state, "script.json")) as f:
            script = json.load(f)
        counter = os.path.join(state, "count")
        try:
            with open(counter) as f:
                done = int(f.read())
        except FileNotFoundError:
            done = 0
        with open(counter, "w") as f:
            f.write(str(done + 1))
    queue = script["queue"]
    response = queue[done] if done < len(queue) else script["default"]
    if response.get("sleep"):
        time.sleep(response["sleep"])
    os.write(1, base64.b64decode(response["stdout"])) if response["stdout"] else None
    os.write(2, base64.b64decode(response["stderr"])) if response["stderr"] else None
    sys.exit(response["code"])


main()
