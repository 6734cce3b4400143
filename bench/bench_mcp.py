"""termloom's MCP server: what a tool call costs over the direct Python call,
and one agent job through it and through libtmux-mcp, side by side.

Round trip: the same operation as a direct termloom call and as a tool call
through termloom-mcp over stdio with the MCP SDK's client (the current
protocol revision): screen (one capture) and run("true"). Interleaved
rounds; median, p10 and p90 per call, and the difference of the medians.

Agent job: 20 shell commands (one failing, one printing 5,000 lines, one with
non-ASCII text, one line longer than the pane is wide) run one after
another, as an agent would, through each server's own command tool
(termloom-mcp's run, libtmux-mcp's run_command) in a session made for it.
For each server: tool calls needed, wall time of the job (the server's start
apart), and how many statuses and outputs came back exact, against what the
same command prints under `bash -c` (stdout and stderr together, without the
last line end). Each server drives a private tmux server (TMUX_TMPDIR in a
fresh /tmp folder, so the user's own is never involved).

libtmux-mcp is not installed with termloom: install it in a venv of its own
(python -m venv /tmp/lt && /tmp/lt/bin/pip install libtmux-mcp) and pass
--libtmux-mcp /tmp/lt/bin/libtmux-mcp, or have libtmux-mcp on PATH; without
it, its column is left out.

    python bench/bench_mcp.py [--rounds N] [--calls N] [--libtmux-mcp PATH]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from common import PrivateTmux, import_termloom_and_tmux, percentile, run_main

JOB = [
    "echo hello",
    "printf 'a\\nb\\nc\\n'",
    "sh -c 'echo oops >&2; exit 3'",  # the failing one
    "seq 1 5000",  # 5,000 lines
    "printf 'h\\303\\251llo w\\303\\266rld \\344\\270\\255\\346\\226\\207 \\360\\237\\231\\202\\n'",
    "expr 6 \\* 7",
    "echo $((2 ** 10))",
    "true",
    "printf 'no newline'",
    "echo 'two  spaces' \"quote's\"",
    "uname -s",
    "printf '%05d\\n' 42",
    "basename /a/b/c.txt .txt",
    "echo {1..5}",
    "printf 'line\\n\\n\\nafter\\n'",
    "printf '%.0s-' $(seq 1 100); echo",  # wider than the pane
    "test -d /nonexistent || echo missing",
    "seq 3 | paste -sd+",
    "printf '%s\\n' '*' '?'",
    "echo done",
]


def expected_results(env: dict[str, str]) -> list[tuple[int, str]]:
    """(status, output) of each job command under bash -c."""
    found = []
    for command in JOB:
        done = subprocess.run(["bash", "-c", command], stdin=subprocess.DEVNULL, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = done.stdout.decode()
        found.append((done.returncode, output[:-1] if output.endswith("\n") else output))
    return found


def summary(samples_ns: list[int]) -> str:
    ordered = sorted(samples_ns)
    return (f"median {statistics.median(ordered) / 1e3:8.1f} µs   p10 "
            f"{percentile(ordered, 0.1) / 1e3:8.1f}   p90 {percentile(ordered, 0.9) / 1e3:8.1f}")


class McpClient:
    """An SDK client to an MCP server on stdio, driven from synchronous code."""

    def __init__(self, command: list[str], env: dict[str, str]) -> None:
        from anyio.from_thread import start_blocking_portal
        from mcp import Client
        from mcp.client.stdio import StdioServerParameters

        self._portal_cm = start_blocking_portal()
        self.portal = self._portal_cm.__enter__()
        params = StdioServerParameters(command=command[0], args=command[1:], env=env)
        started = time.perf_counter()
        self._client_cm = self.portal.wrap_async_context_manager(
            Client(params, raise_exceptions=False))
        try:
            self.client = self._client_cm.__enter__()
        except BaseException:
            self._portal_cm.__exit__(*sys.exc_info())
            raise
        self.start_seconds = time.perf_counter() - started
        self.calls = 0

    def call(self, tool: str, **arguments):
        self.calls += 1
        return self.portal.call(self.client.call_tool, tool, arguments)

    def close(self) -> None:
        try:
            self._client_cm.__exit__(None, None, None)
        finally:
            self._portal_cm.__exit__(None, None, None)


def round_trips(termloom, args, env: dict[str, str]) -> None:
    """A direct call against the same call as a tool, interleaved."""
    tmux = PrivateTmux(shutil.which("tmux"))
    client = None
    try:
        server = termloom.Server(tmux.socket)
        direct = server.new_session("direct").windows[0].panes[0]
        direct.run("true")
        client = McpClient([sys.executable, "-m", "termloom_mcp", "--address", tmux.socket],
                           dict(env, HOME=tmux.dir))
        made = client.call("new_session", name="tool").structured_content
        pane = made["pane_id"]
        client.call("run", pane=pane, command="true")
        cases = {
            "screen": (lambda: direct.screen(), lambda: client.call("screen", pane=pane)),
            'run("true")': (lambda: direct.run("true"),
                            lambda: client.call("run", pane=pane, command="true")),
        }
        times = {(name, how): [] for name in cases for how in ("direct", "tool")}
        for _ in range(args.warmup):
            for direct_call, tool_call in cases.values():
                direct_call()
                tool_call()
        for round_number in range(args.rounds):
            for name, (direct_call, tool_call) in cases.items():
                order = [("direct", direct_call), ("tool", tool_call)]
                if round_number % 2:
                    order.reverse()
                for how, fn in order:
                    for _ in range(args.calls):
                        started = time.perf_counter_ns()
                        result = fn()
                        times[(name, how)].append(time.perf_counter_ns() - started)
                        if how == "tool" and result.is_error:
                            raise RuntimeError(result.content[0].text)
        print(f"Round trip ({args.rounds} rounds x {args.calls} calls; {tmux.version()}):")
        for name in cases:
            d, t = times[(name, "direct")], times[(name, "tool")]
            print(f"  {name:12} direct  {summary(d)}")
            print(f"  {'':12} tool    {summary(t)}")
            print(f"  {'':12} the tool call adds "
                  f"{(statistics.median(t) - statistics.median(d)) / 1e3:.1f} µs at the median")
    finally:
        if client is not None:
            client.close()
        tmux.close()


def job_termloom(client: McpClient) -> list[tuple[int | None, str]]:
    pane = client.call("new_session", name="job").structured_content["pane_id"]
    results = []
    for command in JOB:
        got = client.call("run", pane=pane, command=command)
        if got.is_error:
            results.append((None, got.content[0].text))
        else:
            results.append((got.structured_content["status"], got.structured_content["output"]))
    return results


def job_libtmux_mcp(client: McpClient) -> list[tuple[int | None, str]]:
    made = client.call("create_session", session_name="job")
    pane = made.structured_content["active_pane_id"]
    results = []
    for command in JOB:
        got = client.call("run_command", command=command, pane_id=pane, timeout=60)
        if got.is_error:
            results.append((None, got.content[0].text))
        else:
            out = got.structured_content
            results.append((out.get("exit_status"), "\n".join(out.get("output") or [])))
    return results


def agent_job(name: str, command: list[str], env: dict[str, str], job, expected) -> dict:
    client = McpClient(command, env)
    try:
        started = time.perf_counter()
        results = job(client)
        seconds = time.perf_counter() - started
        calls = client.calls
        start_seconds = client.start_seconds
    finally:
        client.close()
    statuses = sum(got[0] == want[0] for got, want in zip(results, expected))
    outputs = sum(got[1] == want[1] for got, want in zip(results, expected))
    contained = sum(want[1] in got[1] for got, want in zip(results, expected))
    wrong = [(JOB[i], got, want) for i, (got, want) in enumerate(zip(results, expected))
             if got != want]
    return {"name": name, "calls": calls, "seconds": seconds, "start": start_seconds,
            "statuses": statuses, "outputs": outputs, "contained": contained, "wrong": wrong}


def shown(text: str, limit: int = 70) -> str:
    flat = repr(text)
    return flat if len(flat) <= limit else f"{flat[:limit // 2]}...{flat[-limit // 2:]} ({len(text)} chars)"


def agent_jobs(args, env_base: dict[str, str]) -> None:
    expected = expected_results(env_base)
    servers = [("termloom-mcp", [sys.executable, "-m", "termloom_mcp"], job_termloom)]
    other = args.libtmux_mcp or shutil.which("libtmux-mcp")
    if other:
        servers.append(("libtmux-mcp", [other], job_libtmux_mcp))
    else:
        print("libtmux-mcp not found (see --libtmux-mcp): its column is left out\n")
    reports = []
    for name, command, job in servers:
        folder = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
        env = dict(env_base, HOME=folder, TMUX_TMPDIR=folder, LIBTMUX_SOCKET="bench")
        try:
            reports.append(agent_job(name, command, env, job, expected))
        finally:
            for socket_dir in [os.path.join(folder, d) for d in os.listdir(folder)
                               if d.startswith("tmux-")]:
                for socket in os.listdir(socket_dir):
                    subprocess.run(["tmux", "-S", os.path.join(socket_dir, socket), "kill-server"],
                                   stdin=subprocess.DEVNULL, capture_output=True)
            shutil.rmtree(folder, ignore_errors=True)
    print(f"Agent job: {len(JOB)} shell commands (one failing, one printing 5,000 lines, one "
          "non-ASCII, one wider than the pane)")
    print(f"  {'server':14} {'tool calls':>10} {'job s':>8} {'start s':>8} {'statuses':>9} "
          f"{'outputs exact':>14} {'output within':>14}")
    for r in reports:
        print(f"  {r['name']:14} {r['calls']:>10} {r['seconds']:>8.2f} {r['start']:>8.2f} "
              f"{r['statuses']:>6}/{len(JOB)} {r['outputs']:>11}/{len(JOB)} "
              f"{r['contained']:>11}/{len(JOB)}")
    for r in reports:
        for command, got, want in r["wrong"][:args.show_wrong]:
            print(f"  {r['name']}: {command!r}: got status {got[0]}, output {shown(got[1])}; "
                  f"wanted {want[0]}, {shown(want[1])}")
        if len(r["wrong"]) > args.show_wrong:
            print(f"  {r['name']}: ... and {len(r['wrong']) - args.show_wrong} more not exact")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    parser.add_argument("--calls", type=int, default=20, help="calls per case per round (default 20)")
    parser.add_argument("--warmup", type=int, default=5, help="untimed calls first (default 5)")
    parser.add_argument("--libtmux-mcp", metavar="PATH", help="the libtmux-mcp command")
    parser.add_argument("--show-wrong", type=int, default=6,
                        help="results that were not exact to show per server (default 6)")
    parser.add_argument("--skip-round-trip", action="store_true")
    args = parser.parse_args()
    if args.rounds < 1 or args.calls < 1 or args.warmup < 0:
        parser.error("--rounds and --calls must be at least 1, --warmup at least 0")
    termloom, _ = import_termloom_and_tmux()
    try:
        import mcp  # noqa: F401
    except ImportError:
        sys.exit('the MCP SDK is not installed: pip install "termloom[mcp]"')
    # What a client hands its servers: no shell set-up of the caller's.
    env = {"PATH": os.environ["PATH"], "SHELL": shutil.which("bash") or "/bin/bash",
           "TERM": "xterm", "LANG": "C.UTF-8"}
    if not args.skip_round_trip:
        round_trips(termloom, args, env)
        print()
    agent_jobs(args, env)
    return 0


if __name__ == "__main__":
    run_main(main)
