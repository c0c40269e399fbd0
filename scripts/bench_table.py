#!/usr/bin/env python3
"""Prints the table of a benchmark run (Google Benchmark's JSON output):
the command cycles against their two log floors (stream and system calls), the interpreter per decade of
command size, and the resident memory after 1,000 and 100,000 cycles, each
with its target. Exits non-zero when a benchmark reported an error.
  bench_table.py [--quick] [--no-host REASON] RESULTS.json
--quick: the run was too short to judge; the targets are not evaluated.
--no-host: the rows through the instrument host were not run, for REASON,
which the table prints in their place."""
import json
import sys

CYCLE_TARGET = 1.10      # a cycle costs at most this times its stream floor
SYSTEM_TARGET = 1.15     # ... and at most this times its system floor
HOST_TARGET = 1.1        # a cycle through the instrument host, against in process
PACED_TARGET = 1.2       # a call at a human pace through the host, against a host that never watches
BUSY_TARGET = 1.1        # a call in a burst on a busy CPU, against a host that never watches
GROWTH_TARGET = 12.0     # a decade of command size costs at most this factor
MEMORY_TARGET_KB = 1024  # resident growth from 1,000 to 100,000 cycles


QUICK = False
NO_HOST = None


def verdict(ok):
    if QUICK:
        return "-"
    return "ok" if ok else "OVER TARGET"


def micros(b):
    return b["real_time"] * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b["time_unit"]]


def main(path):
    with open(path) as file:
        run = json.load(file)
    benchmarks = [b for b in run["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    errors = [b for b in benchmarks if b.get("error_occurred")]
    context = run.get("context", {})
    print("Machine: %s, %s CPUs at %s MHz, load %s" % (
        context.get("host_name", "?"), context.get("num_cpus", "?"),
        context.get("mhz_per_cpu", "?"),
        ", ".join("%.2f" % v for v in context.get("load_avg", []))))
    print("Run: %s" % context.get("date", "?"))
    if QUICK:
        print("Quick run: each benchmark ran only briefly, cold; the figures are not")
        print("fit to judge the targets (scripts/bench.sh without --quick is).")
    print()

    cycles = [b for b in benchmarks
              if b["name"].startswith("cycle/") and not b.get("error_occurred")]
    hosted = [b for b in benchmarks
              if b["name"].startswith("host/") and not b.get("error_occurred")]
    print("Command cycle, medians in microseconds (floors: the same log lines each")
    print("through a fresh ofstream, and through open/write/close)")
    header = "%-20s %-7s %9s %9s %9s %8s %8s %6s %6s  %-17s %s" % (
        "command", "mode", "cycle", "stream", "system", "/stream", "/system", "lines", "bytes",
        "/stream <= %.2f" % CYCLE_TARGET, "/system <= %.2f" % SYSTEM_TARGET)
    print(header)
    print("-" * len(header))
    for b in cycles:
        _, command, mode = b["name"].split("/")[:3]
        ratio = b["ratio_stream"]
        print("%-20s %-7s %9.1f %9.1f %9.1f %8.3f %8.3f %6d %6d  %-17s %s" % (
            command, mode, b["cycle_us"], b["stream_floor_us"], b["system_floor_us"], ratio,
            b["ratio_system"], b["lines"], b["log_bytes"], verdict(ratio <= CYCLE_TARGET),
            verdict(b["ratio_system"] <= SYSTEM_TARGET)))

    print("\nThrough the instrument host: a 32-bit simulated instrument behind the module,")
    print("against the same command in process (normal mode), in turns in the same run;")
    print("medians in microseconds; the round trip is the difference")
    header = "%-20s %11s %11s %8s %16s  %s" % ("command", "in process", "via host", "ratio",
                                              "round trip (us)", "target <= %.1f" % HOST_TARGET)
    print(header)
    print("-" * len(header))
    if NO_HOST:
        print("not measured: %s" % NO_HOST)
    for b in hosted:
        command = b["name"].split("/")[1]
        print("%-20s %11.1f %11.1f %8.3f %16.1f  %s" % (
            command, b["in_process_us"], b["host_us"], b["ratio_host"],
            b["host_us"] - b["in_process_us"], verdict(b["ratio_host"] <= HOST_TARGET)))
    trips = {b["name"].split("/")[1]: micros(b) for b in benchmarks
             if b["name"].startswith("round_trip/") and not b.get("error_occurred")}
    if "host" in trips and "in_process" in trips:
        print("One library call alone (IsConnected): %.2f us in process, %.2f us through the host;"
              % (trips["in_process"], trips["host"]))
        print("a round trip costs %.2f us" % (trips["host"] - trips["in_process"]))
    if "host_beside_a_passing_thread" in trips:
        print("Through the host beside a thread that runs 50 us every millisecond: %.2f us"
              % trips["host_beside_a_passing_thread"])
    # A row over its target says what it is made of: the round trip alone,
    # against what the target leaves for it.
    for b in hosted:
        if QUICK or b["ratio_host"] <= HOST_TARGET or "host" not in trips:
            continue
        print("%s is over its target: through the host it costs %.2f us more than in"
              % (b["name"].split("/")[1], b["host_us"] - b["in_process_us"]))
        trip = trips["host"] - trips.get("in_process", 0)
        print("process, where the target leaves %.2f us; one round trip alone costs %.2f us"
              % ((HOST_TARGET - 1) * b["in_process_us"], trip))
        print("on this machine; the rest is its calls in the host (the 32-bit library's own")
        print("work, and each call's guard and coding)")

    paced = {b["name"].split("/")[1]: b for b in benchmarks
             if b["name"].startswith("paced/") and not b.get("error_occurred")}
    print("\nOne library call every 10 ms (a human pace): CPU time per call, this thread's")
    print("and the host's together, and latency, in microseconds; the floor is a host")
    print("where neither side ever watches the ring before it sleeps")
    header = "%-22s %10s %10s %9s %9s  %s" % ("mode", "cpu", "latency", "/floor", "/floor",
                                            "cpu, latency <= %.1f x floor" % PACED_TARGET)
    print(header)
    print("-" * len(header))
    if NO_HOST:
        print("through the host not measured: %s" % NO_HOST)
    rows = []
    if "in_process" in paced:
        rows.append(("in_process", paced["in_process"]["cpu_us"],
                     paced["in_process"]["latency_us"], None, None))
    host = paced.get("host")
    if host:
        cpu_ratio = host["cpu_us"] / host["floor_cpu_us"]
        latency_ratio = host["latency_us"] / host["floor_latency_us"]
        rows.append(("host", host["cpu_us"], host["latency_us"], cpu_ratio, latency_ratio))
        rows.append(("host_never_watching", host["floor_cpu_us"], host["floor_latency_us"],
                     None, None))
    for mode, cpu, latency, cpu_ratio, latency_ratio in rows:
        print("%-22s %10.1f %10.1f %9s %9s  %s" % (
            mode, cpu, latency,
            "%.3f" % cpu_ratio if cpu_ratio else "", "%.3f" % latency_ratio if latency_ratio else "",
            verdict(cpu_ratio <= PACED_TARGET and latency_ratio <= PACED_TARGET)
            if cpu_ratio else ""))

    busy = {b["name"].split("/")[1]: b for b in benchmarks
            if b["name"].startswith("busy/") and not b.get("error_occurred")}
    print("\nCalls in a burst (200 us apart) while a thread per processor spins: latency")
    print("in microseconds, in 5 rounds, each with a host and a floor of its own (a host")
    print("that never watches the ring), called in turns; the figures pool the rounds")
    header = "%-22s %10s %10s %9s  %s" % ("mode", "median", "90th", "/floor",
                                        "median <= %.1f x floor" % BUSY_TARGET)
    print(header)
    print("-" * len(header))
    if NO_HOST:
        print("not measured: %s" % NO_HOST)
    b = busy.get("host")
    if b:
        ratio = b["median_us"] / b["floor_median_us"]
        print("%-22s %10.1f %10.1f %9.3f  %s" % (
            "host", b["median_us"], b["p90_us"], ratio, verdict(ratio <= BUSY_TARGET)))
        print("%-22s %10.1f %10.1f" % ("host_never_watching", b["floor_median_us"],
                                       b["floor_p90_us"]))
        print("The rounds' own ratios ranged from %.2f to %.2f: with every processor taken, a"
              % (b["ratio_lowest"], b["ratio_highest"]))
        print("host process is run promptly or tens of microseconds late, the floor's as")
        print("often as the watching one's, by the luck of its start")

    sizes = [b for b in benchmarks
             if b["name"].startswith("interpreter/command_size/") and not b.get("error_occurred")]
    sizes.sort(key=lambda b: int(b["name"].split("/")[-1]))
    print("\nInterpreter alone (Instrument::Execute), by command size")
    header = "%-12s %14s %9s  %s" % ("size", "us / command", "growth",
                                     "target growth <= %g" % GROWTH_TARGET)
    print(header)
    print("-" * len(header))
    previous = None
    for b in sizes:
        size = int(b["name"].split("/")[-1])
        time = micros(b)
        growth = time / previous if previous else None
        print("%-12s %14.1f %9s  %s" % (
            "%d KB" % (size // 1024), time, "x%.2f" % growth if growth else "",
            verdict(growth <= GROWTH_TARGET) if growth else ""))
        previous = time

    memory = [b for b in benchmarks if b["name"].startswith("memory/") and not b.get("error_occurred")]
    print("\nResident memory over one session (the three commands in turn)")
    header = "%-8s %14s %16s %10s  %s" % ("mode", "after 1,000", "after 100,000", "growth",
                                          "target growth <= %d KB" % MEMORY_TARGET_KB)
    print(header)
    print("-" * len(header))
    for b in memory:
        mode = b["name"].split("/")[1]
        growth = b["growth_kb"]
        print("%-8s %11d KB %13d KB %7d KB  %s" % (
            mode, b["rss_kb_1000"], b["rss_kb_100000"], growth,
            verdict(growth <= MEMORY_TARGET_KB)))

    inits = {b["name"].split("/")[1]: b for b in benchmarks
             if b["name"].startswith("init/") and not b.get("error_occurred")}
    print("\nInit of simspectro through the interpreter (no target: once per session)")
    header = "%-32s %14s" % ("Init", "us / Init")
    print(header)
    print("-" * len(header))
    for name, label in (("with_trial", "with a trial in a host"),
                        ("verdict_kept", "with the verdict kept")):
        if name in inits:
            print("%-32s %14.1f" % (label, micros(inits[name])))

    others = [b for b in benchmarks
              if not b["name"].startswith(("cycle/", "host/", "round_trip/", "paced/", "busy/",
                                           "interpreter/command_size/", "memory/", "init/"))
              and not b.get("error_occurred")]
    print("\nThe driver's parts alone (no target; for finding where time goes)")
    header = "%-32s %14s" % ("benchmark", "us / iteration")
    print(header)
    print("-" * len(header))
    for b in others:
        print("%-32s %14.2f" % (b["name"], micros(b)))

    for b in errors:
        print("\nFAILED: %s: %s" % (b["name"], b.get("error_message", "")), file=sys.stderr)
    expected = {"cycle": 6, "host": 3, "round trip": 3, "paced": 2, "busy": 1, "size": 4,
                "memory": 2, "init": 2, "parts": 7}
    found = {"cycle": len(cycles), "host": len(hosted), "round trip": len(trips),
             "paced": len(paced), "busy": len(busy), "size": len(sizes), "memory": len(memory),
             "init": len(inits), "parts": len(others)}
    if NO_HOST:
        expected["host"] = 0
        expected["round trip"] = 1
        expected["paced"] = 1
        expected["busy"] = 0
    if found != expected:
        print("\nFAILED: expected %s results, found %s" % (expected, found), file=sys.stderr)
        return 1
    return 1 if errors else 0


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments and arguments[0] == "--quick":
        QUICK = True
        arguments = arguments[1:]
    if len(arguments) > 1 and arguments[0] == "--no-host":
        NO_HOST = arguments[1]
        arguments = arguments[2:]
    if len(arguments) != 1:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(arguments[0]))
