#!/usr/bin/env python3
"""Prints the table of BENCHMARKS.md from the JSON output of pelmor_bench.

Every figure is the median of the repetitions, and every ratio compares two figures measured in
the same run: two medians, or, for the rows marked "paired", the median of the ratios that one
benchmark measured by running ours and its baseline in turn within each iteration (the target is
judged on the paired ratio where there is one). Times are wall-clock for the benchmarks that wait
on other processes or threads (their names end in /real_time) and for the paired ones, and CPU
time for the other decoding benchmarks.

usage: report.py RESULTS.json
"""

import json
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    medians, cvs, errors, counters = {}, {}, {}, {}
    for b in data["benchmarks"]:
        name = b["run_name"]
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "failed")
            continue
        if b.get("run_type") != "aggregate":
            continue
        use_real = name.endswith("/real_time")
        key = name.removesuffix("/real_time")
        value = b["real_time" if use_real else "cpu_time"]
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        if b["aggregate_name"] == "median":
            medians[key] = value * scale
            counters[key] = b
        elif b["aggregate_name"] == "cv":
            cvs[key] = b["real_time" if use_real else "cpu_time"]
    errors = {name.removesuffix("/real_time"): message for name, message in errors.items()}
    return data["context"], medians, cvs, errors, counters


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


def fmt_rate(ns, size):
    return f"{size / ns:.2f} GB/s" if size else f"{1e9 / ns:,.0f}/s"


class Table:
    def __init__(self, medians, cvs, errors, counters):
        self.m, self.cv, self.errors, self.counters = medians, cvs, errors, counters
        self.rows = []
        self.missing = []

    def have(self, *names):
        gone = [n for n in names if n not in self.m]
        for n in gone:
            line = f"{n}: {self.errors.get(n, 'not run')}"
            if line not in self.missing:
                self.missing.append(line)
        return not gone

    def figure(self, name, size=0):
        spread = f" (±{self.cv[name] * 100:.0f}%)" if name in self.cv else ""
        rate = f", {fmt_rate(self.m[name], size)}" if size else ""
        return f"{fmt_time(self.m[name])}{spread}{rate}"

    def speed(self, what, ours, base, base_label, size, target=None):
        """A ratio of speeds: how many times as fast as the baseline (higher is better)."""
        if not self.have(ours, base):
            return
        ratio = self.m[base] / self.m[ours]
        met = "" if target is None else ("met" if ratio >= target else "MISSED")
        self.rows.append([what, self.figure(ours, size), base_label, self.figure(base, size),
                          f"{ratio:.2f}× as fast", f"≥ {target:.2f}×" if target else "—",
                          met])

    def cost(self, what, ours, base, base_label, target=None, rate=False):
        """A ratio of times: how many times the baseline's time ours takes (lower is better)."""
        if not self.have(ours, base):
            return
        ratio = self.m[ours] / self.m[base]
        met = "" if target is None else ("met" if ratio <= target else "MISSED")
        ours_fig, base_fig = self.figure(ours), self.figure(base)
        if rate:
            ours_fig += f", {fmt_rate(self.m[ours], 0)}"
            base_fig += f", {fmt_rate(self.m[base], 0)}"
        self.rows.append([what, ours_fig, base_label, base_fig, f"{ratio:.2f}× the time",
                          f"≤ {target:.2f}×" if target else "—", met])

    def paired(self, what, name, base_label, target):
        """The median over the repetitions of the ratio measured with ours and the baseline run
        alternately (lower is better)."""
        if not self.have(name):
            return
        c = self.counters[name]
        ratio = c["ratio"]
        met = "met" if ratio <= target else "MISSED"
        self.rows.append([what + " (paired, alternating)", fmt_time(c["ours_ns"]), base_label,
                          fmt_time(c["baseline_ns"]), f"{ratio:.2f}× the time",
                          f"≤ {target:.2f}×", met])

    def paired_speed(self, what, name, base_label, target):
        """As paired(), as a ratio of speeds (higher is better)."""
        if not self.have(name):
            return
        c = self.counters[name]
        speed = 1 / c["ratio"]
        met = "" if target is None else ("met" if speed >= target else "MISSED")
        size = c.get("body_bytes", 0)
        def figure(ns):
            return fmt_time(ns) + (f", {fmt_rate(ns, size)}" if size else "")

        self.rows.append([what + " (paired, alternating)", figure(c["ours_ns"]), base_label,
                          figure(c["baseline_ns"]), f"{speed:.2f}× as fast",
                          f"≥ {target:.2f}×" if target else "—", met])

    def absolute(self, what, ours, limit_ns):
        if not self.have(ours):
            return
        met = "met" if self.m[ours] <= limit_ns else "MISSED"
        self.rows.append([what, self.figure(ours), "—", "—", "—", f"≤ {fmt_time(limit_ns)}",
                          met])

    def print(self):
        header = ["Measure", "Ours (median)", "Baseline", "Baseline (median)", "Ratio", "Target",
                  ""]
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---" for _ in header) + "|")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")
        if self.missing:
            print("\nNot measured:")
            for line in self.missing:
                print(f"- {line}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    context, m, cv, errors, counters = load(sys.argv[1])
    t = Table(m, cv, errors, counters)

    def body_bytes(name):
        return int(counters.get(name, {}).get("body_bytes", 0))

    big = "decode/pf_load_anchor_1MiB/"
    size = body_bytes(big + "ours")
    what = f"Decode PfLoadAnchor ({size:,} B)"
    # The targets are judged on the paired ratios; the target for simdjson on the faster of its
    # two APIs, the one we compare worse with.
    paired = "paired/" + big + "ours_vs_"
    t.paired_speed(what, paired + "rapidjson", "RapidJSON", 1.0)
    simd = {"simdjson_ondemand": "simdjson On-Demand", "simdjson_dom": "simdjson DOM"}
    present = [n for n in simd if paired + n in counters]
    worst = (min(present, key=lambda n: 1 / counters[paired + n]["ratio"]) if present
             else "simdjson_ondemand")
    for n, label in simd.items():
        t.paired_speed(what, paired + n, label, 1.0 if n == worst else None)
    for peer, label in (("rapidjson", "RapidJSON"), ("simdjson_ondemand", "simdjson On-Demand"),
                        ("simdjson_dom", "simdjson DOM"),
                        ("rapidjson_validating", "RapidJSON, validating UTF-8"),
                        ("nlohmann", "nlohmann/json"), ("memcpy", "a copy of the body")):
        t.speed(what, big + "ours", big + peer, label, size)

    # Reading a body as its bytes arrive must not cost more than reading it into one buffer.
    t.cost("Read a 1 MiB frame body from a socket", "read_frame/body_1MiB/grown",
           "read_frame/body_1MiB/one_buffer", "one buffer of the announced length", 1.10)

    small = "decode/ifconfig_set/"
    what = f"Decode IfconfigSet ({body_bytes(small + 'ours')} B)"
    t.absolute(what, small + "ours", 200)
    for peer, label in (("rapidjson", "RapidJSON"), ("simdjson_ondemand", "simdjson On-Demand"),
                        ("simdjson_dom", "simdjson DOM"), ("nlohmann", "nlohmann/json")):
        t.speed(what, small + "ours", small + peer, label, 0)

    # Judged against an echo that does the daemon's bookkeeping of each request (the console's
    # owner read, one log line written) in a process of its own; the bare echoes for reference.
    for place, where in (("same_cpu", "one CPU"), ("two_cpus", "two CPUs")):
        rt = "round_trip/ping/"
        for base, label, target in (
                ("echo_bookkeeping_process", "echo with the bookkeeping, own process", 1.10),
                ("echo", "bare echo thread", None), ("echo_process", "bare echo process", None)):
            t.cost(f"Ping round trip, open connection, {where}", f"{rt}daemon/{place}",
                   f"{rt}{base}/{place}", label, target)

    t.cost("Tool run of /bin/true", "tool_run/true/run_tool", "tool_run/true/posix_spawn",
           "posix_spawn + waitpid")
    # Judged on the paired ratio: a process start varies by a fifth between repetitions here.
    t.paired("Tool run of /bin/true", "paired/tool_run/run_tool_vs_posix_spawn",
             "posix_spawn + waitpid", 1.15)

    for place, where in (("same_cpu", "one CPU"), ("two_cpus", "two CPUs")):
        for base, label in (("accept_close", "bare accept + close"),
                            ("accept_pong", "bare accept, Ping → Pong, close"),
                            ("thread_per_connection_pong", "bare thread per connection"),
                            ("thread_per_connection_pong_process",
                             "bare thread per connection, own process")):
            target = 1.10 if base == "thread_per_connection_pong_process" else None
            t.cost(f"Connection: connect, Ping, close, {where}", f"connection/daemon/{place}",
                   f"connection/{base}/{place}", label, target, rate=True)

    for place, where in (("same_cpu", "one CPU"), ("two_cpus", "two CPUs")):
        t.cost(f"Refused connection: connect, see the close, {where}", f"refused/daemon/{place}",
               f"refused/accept_close_process/{place}", "bare accept + close, own process", 2.0,
               rate=True)

    t.print()
    custom = {k: context.get(k, "?") for k in ("cpu_model", "compiler", "daemon")}
    print(f"\nMachine: {custom['cpu_model']}, {context.get('num_cpus', '?')} cores at "
          f"{context.get('mhz_per_cpu', '?')} MHz; compiler {custom['compiler']}; "
          f"{context.get('date', '?')}; load average at start "
          f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}; "
          f"daemon {custom['daemon']}.")
    print("Figures are medians of the repetitions (± their coefficient of variation).")


if __name__ == "__main__":
    main()
