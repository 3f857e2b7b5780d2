#!/usr/bin/env python3
"""Times `ZqUpsCtl stats` and `ZqUpsCtl events` on a full power journal.

usage: journal_bench.py ZQUPSCTL [RUNS]

Writes a journal just under its default rotation size (1 MiB) of drill-like
outages (on-battery, battery-low, on-mains with their values and reasons)
in a scratch folder, then runs each command RUNS times (default 20),
printing the best and the median wall time of a run, process start
included.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

LIMIT = 1 << 20


def journal_text():
    lines = ["#zqups-power-journal 1\n"]
    size = len(lines[0])
    t = 1767225600  # 2026-01-01
    n = 0
    while True:
        stamp = lambda s: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(s))
        outage = [
            f"{stamp(t)} on-battery line_voltage=0 runtime_min=12 "
            f'reason="line voltage 0 V, below 100 V"\n',
            f"{stamp(t + 5)} battery-low line_voltage=0 runtime_min=4 "
            f'reason="runtime 4 min, at most 5 min"\n',
            f"{stamp(t + 57)} on-mains line_voltage=230 runtime_min=5 battery_s={57 + n % 5} "
            f'reason="line voltage 230 V, at least 100 V"\n',
        ]
        grown = sum(len(line) for line in outage)
        if size + grown > LIMIT:
            return "".join(lines), n
        lines += outage
        size += grown
        t += 3600
        n += 1


def timed(args, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        times.append((time.perf_counter() - start) * 1000)
    return min(times), statistics.median(times)


def main():
    ctl = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "power.journal")
        text, outages = journal_text()
        with open(path, "w") as out:
            out.write(text)
        print(f"journal: {len(text)} bytes, {text.count(chr(10)) - 1} entries, {outages} outages")
        for command in (["stats"], ["stats", "--json"], ["events"]):
            best, median = timed([ctl] + command + ["--journal", path], runs)
            print(f"ZqUpsCtl {' '.join(command)}: best {best:.1f} ms, median {median:.1f} ms "
                  f"({runs} runs)")


if __name__ == "__main__":
    main()
