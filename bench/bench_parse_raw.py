#!/usr/bin/env python3
"""Times parse_raw against gemmi reading the same text into Python lists.

    tools/devenv python3 bench/bench_parse_raw.py FILE [RUNS]

Each run of each job is a fresh interpreter, so the peak memory of one job
is its own: the growth of ru_maxrss over the state just before the call
(text already read, modules imported), and the absolute peak.
"""
import json
import statistics
import subprocess
import sys

JOB = r"""
import json, resource, sys, time
path, job = sys.argv[1], sys.argv[2]
with open(path, encoding="utf-8") as f:
    text = f.read()
if job == "quarzel":
    from quarzel_core import parse_raw

    def run():
        return parse_raw(text)
else:
    import gemmi

    def frame_lists(block):
        tags = {}
        for item in block:
            if item.pair is not None:
                tags.setdefault(item.pair[0], []).append(item.pair[1])
            elif item.loop is not None:
                loop = item.loop
                values, width = loop.values, loop.width()
                for i, tag in enumerate(loop.tags):
                    tags[tag] = values[i::width]
            elif item.frame is not None:
                tags.setdefault("save_frames", []).append(frame_lists(item.frame))
        return tags

    def run():
        doc = gemmi.cif.read_string(text)
        return [frame_lists(b) for b in doc]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
result = run()
t1 = time.perf_counter()
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"time": t1 - t0, "delta_kb": after - before, "peak_kb": after}))
"""


def run_job(path, job):
    out = subprocess.run([sys.executable, "-c", JOB, path, job], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    path = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    results = {"quarzel": [], "gemmi": []}
    for _ in range(runs):
        for job in results:
            results[job].append(run_job(path, job))
    summary = {}
    for job, rs in results.items():
        times = [r["time"] for r in rs]
        summary[job] = statistics.median(times)
        print(f"{job:8s} median {statistics.median(times):.3f} s  min {min(times):.3f} s  "
              f"peak growth {max(r['delta_kb'] for r in rs) / 1024:.0f} MB  "
              f"peak {max(r['peak_kb'] for r in rs) / 1024:.0f} MB  ({runs} runs)")
    print(f"ratio parse_raw / gemmi (median): {summary['quarzel'] / summary['gemmi']:.2f}")


if __name__ == "__main__":
    main()
