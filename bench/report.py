#!/usr/bin/python3
"""Turns tirn-bench results (TirnSerial beside the bare relay and beside the
baseline bridge, and TirnSerial behind each adapter model) into Markdown tables with the targets
checked, and a latency plot."""
import argparse
import os
import json


def load(path):
    with open(path) as file:
        return json.load(file)


def series(result, subscribers, size, min_scans=100):
    for entry in result["series"]:
        if entry["subscribers"] == subscribers and entry["size"] == size and entry["scans"] >= min_scans:
            return entry
    return None


DEFAULT_GAP_MS = 30


def adapter_table(adapters):
    rows = ["| adapter | scan | median (ms) | p99 (ms) | max (ms) | CPU per scan (ms) | lost / wrong |",
            "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for result in adapters:
        for entry in result["series"]:
            if entry["scans"] == 0:
                continue
            latency = entry["last_ms"]
            rows.append(f"| {result['label']} | {entry['size']} bytes | {latency['median']:.2f} | "
                        f"{latency['p99']:.2f} | {latency['max']:.2f} | {entry['cpu_ms_per_scan']:.3f} | "
                        f"{entry['lost']} / {entry['wrong']} |")
    return rows


# The series two runs alike have in common, with their row label.
def series_pairs(first, second):
    for a in first["series"]:
        b = series(second, a["subscribers"], a["size"], 1)
        if a["scans"] and b:
            yield f"{a['subscribers']} subscribers, {a['size']}-byte scan", a, b


# Per common series: the last subscriber's median and p99 (named by
# `latency`), CPU per scan, and the rows `extra` adds.
def pair_rows(first, second, latency, extra):
    rows = []
    for label, a, b in series_pairs(first, second):
        for name, key in ((f"{latency}, last subscriber, median (ms)", "median"), (f"{latency}, p99 (ms)", "p99")):
            rows.append(f"| {label}: {name} | {a['last_ms'][key]:.3f} | "
                        f"{b['last_ms'][key]:.3f} | {ratio(b['last_ms'][key], a['last_ms'][key])} |")
        rows.append(f"| {label}: CPU per scan (ms) | {a['cpu_ms_per_scan']:.3f} | "
                    f"{b['cpu_ms_per_scan']:.3f} | {ratio(b['cpu_ms_per_scan'], a['cpu_ms_per_scan'])} |")
        rows += extra(label, a, b)
    return rows


def tls_table(plain, tls):
    def lost_or_wrong(label, a, b):
        if a["lost"] or b["lost"] or a["wrong"] or b["wrong"]:
            return [f"| {label}: lost / wrong | {a['lost']} / {a['wrong']} | {b['lost']} / {b['wrong']} | - |"]
        return []
    rows = ["| figure | plain | TLS | TLS / plain |", "| --- | ---: | ---: | ---: |"]
    rows += pair_rows(plain, tls, "latency", lost_or_wrong)
    for count in ("0", "1000"):
        a, b = plain["memory_kb"].get(count, -1), tls["memory_kb"].get(count, -1)
        if a > 0 and b > 0:
            rows.append(f"| resident memory, {count} subscribers (MB) | {a / 1024:.3f} | {b / 1024:.3f} | {ratio(b, a)} |")
    a, b = memory_per_subscriber(plain), memory_per_subscriber(tls)
    if a and b:
        rows.append(f"| resident memory per subscriber, none to 1000 (KB) | {a:.1f} | {b:.1f} | {ratio(b, a)} |")
    a, b = plain["idle_cpu_percent"]["percent"], tls["idle_cpu_percent"]["percent"]
    rows.append(f"| CPU while idle, 1000 subscribers (%) | {a:.3f} | {b:.3f} | - |")
    return rows


# Resident memory a subscriber adds: from none to 1000, in KB.
def memory_per_subscriber(result):
    idle, held = result["memory_kb"].get("0", -1), result["memory_kb"].get("1000", -1)
    return (held - idle) / 1000 if idle > 0 and held > 0 else None


def tls_targets(plain, tls):
    a, b = memory_per_subscriber(plain), memory_per_subscriber(tls)
    ok = a is not None and b is not None and b <= 2 * a
    return [f"- {'met' if ok else 'NOT met'}: resident memory per TLS subscriber at most 2x a plain one's "
            f"(from none to 1000: {b or 0:.1f} KB vs {a or 0:.1f} KB)"]


def mqtt_table(without, with_mqtt):
    def broker_rows(label, a, b):
        return [f"| {label}: MQTT subscriber, median / p99 (ms) | - | "
                f"{b['mqtt_ms']['median']:.3f} / {b['mqtt_ms']['p99']:.3f} | - |",
                f"| {label}: lost (WebSocket / MQTT) | {a['lost']} / - | {b['lost']} / {b['mqtt_lost']} | - |"]
    rows = ["| figure | without MQTT | with MQTT | with / without |", "| --- | ---: | ---: | ---: |"]
    return rows + pair_rows(without, with_mqtt, "WebSocket", broker_rows)


# "No measurable difference": each WebSocket median with MQTT and its
# outbox on within 5% (or 0.3 ms, below what the machine repeats) of the run
# without.
def mqtt_targets(without, with_mqtt):
    excesses = [b["last_ms"]["median"] - max(a["last_ms"]["median"] * 1.05, a["last_ms"]["median"] + 0.3)
                for _, a, b in series_pairs(without, with_mqtt)]
    ok = bool(excesses) and max(excesses) <= 0
    return [f"- {'met' if ok else 'NOT met'}: WebSocket latency with MQTT and the outbox on within 5% (or 0.3 ms) "
            f"of the run without, in every series"]


def outbox_lines(drain):
    return ["", "## The MQTT outbox draining a backlog", "",
            f"{drain['scans']} scans sent back to back at the line rate (`--end-on cr`) while the broker did "
            "not answer (stopped with SIGSTOP), each stored in the outbox; then the broker went on (SIGCONT).", "",
            "| figure | value |", "| --- | ---: |",
            f"| scans delivered, in order | {drain['delivered']}, {drain['in_order']} |",
            f"| typing and storing them (s) | {drain['typing_and_storing_s']:.2f} |",
            f"| CPU per scan while relaying and storing (ms) | {drain['cpu_ms_per_scan_stored']:.3f} |",
            f"| from the broker's return to the first delivery (ms) | {drain['first_delivery_ms']:.1f} |",
            f"| from the first delivery to the last (ms) | {drain['drain_ms']:.1f} |",
            f"| CPU per stored scan while draining (ms) | {drain['cpu_ms_per_scan_delivered']:.3f} |"]


def outbox_targets(drain):
    ok = drain["delivered"] == drain["scans"] == drain["in_order"]
    return [f"- {'met' if ok else 'NOT met'}: all {drain['scans']} stored scans delivered, in order"]


def ratio(ours, theirs):
    return f"{ours / theirs:.2f}" if theirs else "-"


def fanout(result, subscribers, size):
    many, one = series(result, subscribers, size), series(result, 1, size)
    if not many or not one:
        return None
    return many["last_ms"]["median"] - one["last_ms"]["median"]


def table(ours, base):
    rows = ["| figure | TirnSerial | baseline | TirnSerial / baseline |", "| --- | ---: | ---: | ---: |"]

    def row(name, a, b, unit=""):
        if a is None or b is None:
            rows.append(f"| {name} | {a if a is not None else '-'} | {b if b is not None else '-'} | - |")
        else:
            rows.append(f"| {name} | {a:.3f}{unit} | {b:.3f}{unit} | {ratio(a, b)} |")

    sizes = sorted({e["size"] for e in ours["series"] if e["scans"] >= 100})
    counts = sorted({e["subscribers"] for e in ours["series"] if e["scans"] >= 100})
    for count in counts:
        for size in sizes:
            a, b = series(ours, count, size), series(base, count, size)
            for figure in ("median", "p99", "max"):
                row(f"latency, last of {count} subscribers, {size}-byte scan, {figure} (ms)",
                    a and a["last_ms"][figure], b and b["last_ms"][figure])
            row(f"CPU per scan, {count} subscribers, {size} bytes (ms)",
                a and a["cpu_ms_per_scan"], b and b["cpu_ms_per_scan"])
            if a and b and (a["lost"] or b["lost"] or a["wrong"] or b["wrong"]):
                rows.append(f"| scans lost / wrong, {count} subscribers, {size} bytes | "
                            f"{a['lost']} / {a['wrong']} | {b['lost']} / {b['wrong']} | - |")
    for count in counts[1:]:
        for size in sizes:
            row(f"fan-out cost, {count} subscribers vs 1, {size}-byte scan, median (ms)",
                fanout(ours, count, size), fanout(base, count, size))
    row(f"CPU while idle, {ours['idle_cpu_percent']['subscribers']} subscribers (%)",
        ours["idle_cpu_percent"]["percent"], base["idle_cpu_percent"]["percent"])
    for count, kb in ours["memory_kb"].items():
        row(f"resident memory, {count} subscribers (MB)", kb / 1024 if kb > 0 else None,
            base["memory_kb"].get(count, -1) / 1024 if base["memory_kb"].get(count, -1) > 0 else None)
    held_a, held_b = ours["series"][-1], base["series"][-1]
    rows.append(f"| {held_a['subscribers']} subscribers held: scans lost of {held_a['scans']} | "
                f"{held_a['lost']} | {held_b['lost']} | - |")
    row(f"latency, last of {held_a['subscribers']} subscribers, 14-byte scan, median (ms)",
        held_a["last_ms"]["median"], held_b["last_ms"]["median"])
    return rows


def targets(ours, base, adapters):
    checks = []

    def check(name, ok, detail):
        checks.append(f"- {'met' if ok else 'NOT met'}: {name} ({detail})")

    for result in adapters:
        for entry in result["series"]:
            if entry["scans"] == 0:
                continue
            median = entry["last_ms"]["median"]
            check(f"{result['label']} adapter, {entry['size']}-byte scan, default gap: median <= gap + 1 ms, "
                  f"every scan one message", median <= DEFAULT_GAP_MS + 1 and not entry["lost"] and not entry["wrong"],
                  f"{median:.2f} ms, {entry['lost']} lost, {entry['wrong']} wrong")
    one = series(ours, 1, 1000)
    if one:
        check("CPU per 1000-byte scan <= 0.5 ms", one["cpu_ms_per_scan"] <= 0.5, f"{one['cpu_ms_per_scan']:.3f} ms")
    slower = [f"{count} x {size} B: {a['last_ms']['median']:.2f} vs {b['last_ms']['median']:.2f} ms"
              for count in (1, 100, 1000) for size in (14, 100, 1000)
              for a, b in [(series(ours, count, size), series(base, count, size))]
              if a and b and a["last_ms"]["median"] >= b["last_ms"]["median"]]
    check("both ending scans after 5 ms of silence: every median below the baseline's", not slower,
          "; ".join(slower) or "all 9 below")
    many = series(ours, 1000, 14)
    if many:
        check("CPU per scan at 1000 subscribers <= 6 ms", many["cpu_ms_per_scan"] <= 6,
              f"{many['cpu_ms_per_scan']:.2f} ms")
    held_a, held_b = ours["series"][-1], base["series"][-1]
    if held_a["subscribers"] == held_b["subscribers"] and held_a["scans"] and held_b["scans"]:
        a, b = held_a["last_ms"]["median"], held_b["last_ms"]["median"]
        check(f"{held_a['subscribers']} subscribers: last subscriber's median <= 60 ms and <= 0.4 of the baseline's",
              a <= 60 and a <= 0.4 * b, f"{a:.1f} ms vs {b:.1f} ms: {a / b:.2f}")

    for size in (14, 100, 1000):
        a, b = series(ours, 1000, size), series(base, 1000, size)
        if a and b:
            check(f"1000 subscribers, {size}-byte scan: last subscriber's median <= 1/5 of the baseline's",
                  a["last_ms"]["median"] <= b["last_ms"]["median"] / 5,
                  f"{a['last_ms']['median']:.2f} ms vs {b['last_ms']['median']:.2f} ms")
        cost = fanout(ours, 1000, size)
        if cost is not None:
            check(f"1000 subscribers, {size}-byte scan: fan-out cost <= 5 ms", cost <= 5, f"{cost:.2f} ms")
        a, b = series(ours, 1, size), series(base, 1, size)
        if a and b:
            check(f"1 subscriber, {size}-byte scan: median no worse than the baseline's",
                  a["last_ms"]["median"] <= b["last_ms"]["median"],
                  f"{a['last_ms']['median']:.2f} ms vs {b['last_ms']['median']:.2f} ms")
    idle = ours["idle_cpu_percent"]
    check(f"idle CPU <= 0.1 % with {idle['subscribers']} subscribers", idle["percent"] <= 0.1,
          f"{idle['percent']:.3f} %")
    memory = ours["memory_kb"].get("1000", -1)
    check("resident memory <= 20 MB at 1000 subscribers", 0 < memory <= 20 * 1024, f"{memory / 1024:.1f} MB")
    held = ours["series"][-1]
    check(f"{held['subscribers']} subscribers held, each scan delivered to all",
          held["scans"] > 0 and held["lost"] == 0 and held["wrong"] == 0,
          f"{held['scans'] - held['lost']} of {held['scans']} scans reached every subscriber")
    return checks


def plot(ours, base, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = sorted({e["size"] for e in ours["series"] if e["scans"] >= 100})
    figure, axes = plt.subplots(1, len(sizes), figsize=(5 * len(sizes), 4), squeeze=False)
    for axis, size in zip(axes[0], sizes):
        for result, style in ((ours, "o-"), (base, "s--")):
            points = [e for e in result["series"] if e["size"] == size and e["scans"] >= 100]
            xs = [e["subscribers"] for e in points]
            medians = [e["last_ms"]["median"] for e in points]
            p99 = [e["last_ms"]["p99"] - e["last_ms"]["median"] for e in points]
            axis.errorbar(xs, medians, yerr=[[0] * len(p99), p99], fmt=style, capsize=3,
                          label=result["label"])
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_title(f"{size}-byte scans")
        axis.set_xlabel("subscribers")
        axis.set_ylabel("last subscriber's latency, ms (median, bar to p99)")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=100)


RELAY_COUNTS = (1, 100, 1000, 3000, 10000)


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else None


# A figure of the series at `count` subscribers, in each round.
def per_round(rounds, count, figure):
    values = []
    for result in rounds:
        entry = series(result, count, 14, 1)
        if entry and entry["scans"] and not entry["lost"]:
            values.append(figure(entry))
    return values


RELAY_FIGURES = (("CPU per scan (ms)", lambda e: e["cpu_ms_per_scan"]),
                 ("last subscriber, median (ms)", lambda e: e["last_ms"]["median"]),
                 ("last subscriber, p99 (ms)", lambda e: e["last_ms"]["p99"]),
                 ("resident memory (MB)", lambda e: e["memory_kb"] / 1024 if e.get("memory_kb", -1) > 0 else None))


# Each figure at each count: the median of the rounds of `first` and of
# `second`, their ratio, and the ratio in each round.
def rounds_table(first, second, names, counts, figures):
    rows = [f"| subscribers: figure | {names[0]} | {names[1]} | {names[1]} / {names[0]} | ratio in each round |",
            "| --- | ---: | ---: | ---: | --- |"]
    for count in counts:
        for name, figure in figures:
            a, b = per_round(first, count, figure), per_round(second, count, figure)
            if not a or not b or None in a + b:
                continue
            rounds = ", ".join(ratio(y, x) for x, y in zip(a, b))
            rows.append(f"| {count}: {name} | {median(a):.3f} | {median(b):.3f} | {ratio(median(b), median(a))} | "
                        f"{rounds} |")
        lost = [e["lost"] for r in first + second for e in r["series"] if e["subscribers"] == count and e["scans"]]
        wrong = [e["wrong"] for r in first + second for e in r["series"] if e["subscribers"] == count and e["scans"]]
        if any(lost) or any(wrong):
            rows.append(f"| {count}: scans lost / wrong, all rounds | - | {sum(lost)} / {sum(wrong)} | - | - |")
    return rows


def relay_table(relay, ours):
    return rounds_table(relay, ours, ("bare relay", "TirnSerial"), RELAY_COUNTS, RELAY_FIGURES)


def console_lines(events, everything):
    return ["", "## Console: --log all beside --log events (1000 subscribers)", "",
            "TirnSerial with `--log all` (a line per subscriber and scan, `call websocket doSend`, among others) "
            "beside `--log events` (no line per scan or send), `--gap-ms 5`, 1000 subscribers, 14-byte scans, 200 a "
            "series; the two alternately, three rounds, each figure the median of the rounds. Standard output "
            "and error go to a pipe that the bench reads and throws away, as journald would read it." +
            machine_load(events + everything), ""] + \
        rounds_table(events, everything, ("--log events", "--log all"), (1000,), RELAY_FIGURES[:3])


def relay_targets(relay, ours):
    checks = []
    for count in (1000, 3000):
        for name, figure in RELAY_FIGURES[:2]:
            a, b = median(per_round(relay, count, figure)), median(per_round(ours, count, figure))
            ok = a is not None and b is not None and b <= 1.1 * a
            checks.append(f"- {'met' if ok else 'NOT met'}: {count} subscribers, {name.replace(' (ms)', '')} "
                          f"at most 1.1x the bare relay's, median of the rounds ({b or 0:.3f} vs {a or 0:.3f} ms: "
                          f"{ratio(b or 0, a or 0)})")
    for name, figure in RELAY_FIGURES[1:3]:
        a, b = median(per_round(relay, 10000, figure)), median(per_round(ours, 10000, figure))
        ok = a is not None and b is not None and b <= a
        checks.append(f"- {'met' if ok else 'NOT met'}: 10000 subscribers, {name.replace(' (ms)', '')} at most "
                      f"the bare relay's ({b or 0:.2f} vs {a or 0:.2f} ms)")
    return checks


def machine_load(results):
    loads = [load for result in results for load in result.get("load_average", [])]
    return (f" The machine's load average (1 minute) was {min(loads):.1f} to {max(loads):.1f} at the starts and "
            "ends of the runs: it is shared with other builds, and latency figures vary between rounds "
            "more than CPU figures do." if loads else "")


def relay_lines(relay, ours, options):
    load_note = machine_load(relay + ours)
    given = f" with `{options}`" if options else " with its default console"
    output = ("a pipe that the bench reads, as journald would" if all("bridge_output" in r for r in relay + ours)
              else "/dev/null")
    return ["", "## Beside a bare relay", "",
            "The bare relay (`bench/bare_relay.cpp`) is the floor: one thread, epoll, the tty held open, a scan "
            "ended after 5 ms of silence, one frame built per scan and one `send` of it to each subscriber in a "
            "loop, a console line a scan; no bounds, no TLS. TirnSerial runs" + given + " and `--gap-ms 5`; both "
            "have their standard output and error on " + output + ". The same fleet of subscribers receives from "
            "both (14-byte scans, 200 a series); the two run alternately, three rounds back to back, and each "
            "figure is the median of the three rounds (the last column: TirnSerial's figure over the relay's in "
            "each round). "
            "The fleet shares the machine's 2 cores with the bridge; TirnSerial may fan out on a second thread, "
            "the bare relay does not. Memory: resident, after the series." + load_note, ""] + relay_table(relay, ours)


def resume_lines(resumed, on, off):
    lines = ["", "## Clients that come back", ""]
    if resumed:
        lines += [f"{resumed['clients']} WebSocket clients each close and reconnect with `?since=` the last number "
                  f"they saw, every {resumed['every_ms']} ms for {resumed['seconds']:.0f} s, while the scanner types "
                  f"scans back to back at the line rate (`--end-on cr`): {resumed['scans']} scans, "
                  f"{resumed['reconnects']} reconnections ({resumed['refused']} refused). Each client must have every "
                  "scan from its first on exactly once, in order.", "",
                  "| figure | value |", "| --- | ---: |",
                  f"| scans missed | {resumed['missed']} |", f"| scans had twice | {resumed['twice']} |",
                  f"| scans out of order | {resumed['out_of_order']} |",
                  f"| scans replayed from the history a second | {resumed['replayed_per_s']:.0f} |"]
    if on and off:
        lines += ["", "Live scans to 100 steady subscribers with the history on (`--history 1000`, kept in the "
                  "state directory) beside `--history 0`, `--gap-ms 5`, 14-byte scans; alternately, three rounds."
                  + machine_load(on + off), ""]
        lines += rounds_table(off, on, ("--history 0", "--history 1000"), (100,), RELAY_FIGURES[:3])
    return lines


def storm_p99s(storm):
    rounds = storm["rounds"]
    return median([r["quiet"]["p99_ms"] for r in rounds]), median([r["storm"]["p99_ms"] for r in rounds])


def storm_lines(storm):
    lines = ["", "## A storm of full replays", "",
             f"{storm['clients']} WebSocket clients ({storm['silent']} of them never reading) and {storm['streams']} "
             f"event streams ask for the whole history (`since=0`, `--history {storm['history']}`, full) at once, "
             f"while live scans are typed every {storm['pace_ms']} ms for {storm['run_seconds']:.0f} s and timed to "
             f"{storm['plain']} plain subscribers, from when every replay is under way; beside a quiet run alike, "
             "three rounds alternating. The storm's clients read only when no other thread wants a core "
             "(SCHED_IDLE: on a real box they are other machines), the typist and the plain subscribers at the "
             "normal priority; all share the machine's "
             f"2 cores. Memory: the service's resident peak in each run ({storm['rss_kb_before'] / 1024:.1f} MiB "
             "with the history full, before the first run)." + machine_load([storm]), "",
             "| round | quiet median | quiet p99 | storm median | storm p99 | replayed in the run | peak memory quiet / storm |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for i, r in enumerate(storm["rounds"], 1):
        q, s = r["quiet"], r["storm"]
        lines.append(f"| {i} | {q['median_ms']:.2f} ms | {q['p99_ms']:.2f} ms | {s['median_ms']:.2f} ms | "
                     f"{s['p99_ms']:.2f} ms | {s['replayed']} | {q['peak_rss_kb'] / 1024:.1f} / "
                     f"{s['peak_rss_kb'] / 1024:.1f} MiB |")
    return lines


def storm_targets(storm):
    quiet, stormy = storm_p99s(storm)
    ok = stormy <= 2 * quiet
    peak = max(r["storm"]["peak_rss_kb"] for r in storm["rounds"]) / 1024
    return [f"- {'met' if ok else 'NOT met'}: during a storm of full replays, the median of the rounds' p99 latency "
            f"of live scans within 2x of the quiet runs' ({stormy:.2f} vs {quiet:.2f} ms); the service's memory at "
            f"most {peak:.1f} MiB"]


def resume_targets(resumed, on, off):
    checks = []
    if resumed:
        ok = resumed["missed"] == 0 and resumed["twice"] == 0 and resumed["refused"] == 0
        checks.append(f"- {'met' if ok else 'NOT met'}: clients coming back every {resumed['every_ms']} ms miss no "
                      f"scan and have none twice ({resumed['missed']} missed, {resumed['twice']} twice)")
    if on and off:
        checks.append(latency_unchanged(on, off, "with the history on", "--history 0's"))
    return checks


# The target line for a median latency to 100 subscribers within 5 % or
# 0.3 ms of the same runs without the feature.
def latency_unchanged(on, off, feature, baseline):
    figure = RELAY_FIGURES[1][1]
    a, b = median(per_round(off, 100, figure)), median(per_round(on, 100, figure))
    ok = a is not None and b is not None and (b <= 1.05 * a or b - a <= 0.3)
    return (f"- {'met' if ok else 'NOT met'}: {feature}, the median latency to 100 subscribers within 5 % or 0.3 ms "
            f"of {baseline} ({b or 0:.3f} vs {a or 0:.3f} ms)")


def gs1_lines(gs1):
    machine = gs1["machine"]
    lines = ["", "## Reading GS1 data", "",
             f"`readScanContent` on a GS1 DataMatrix of {gs1['scan_characters']} characters (`]d2`, GTIN, expiry, a lot "
             f"ended by GS, a serial), {gs1['rounds']} rounds of {gs1['batch']} scans, the three alternating; the "
             f"median round, with the fastest and slowest. The machine was shared ({machine['cores']} cores, load "
             f"{machine['load_before']} before and {machine['load_after']} after): the slowest rounds are other "
             "work's.", "",
             "| reading | median (ns per scan) | min | max |", "| --- | ---: | ---: | ---: |"]
    for entry in gs1["series"]:
        ns = entry["ns_per_scan"]
        lines.append(f"| {entry['name']} | {ns['median']:.0f} | {ns['min']:.0f} | {ns['max']:.0f} |")
    return lines


def gs1_targets(gs1, on, off):
    read = gs1["series"][0]["ns_per_scan"]["median"]
    copy = gs1["series"][-1]["ns_per_scan"]["median"]
    met = read - copy < gs1["target_ns"]
    checks = [f"- {'met' if met else 'NOT met'}: reading a {gs1['scan_characters']}-character GS1 DataMatrix costs "
              f"{(read - copy) / 1000:.2f} µs per scan beyond copying its text (under {gs1['target_ns'] / 1000:.0f} µs)"]
    if on and off:
        checks.append(latency_unchanged(on, off, "with every scan read as GS1 data", "a scanner read as plain text"))
    return checks


def gs1_latency_lines(on, off):
    return ["", "Live scans to 100 steady subscribers from a scanner set `aim,gs1` (every scan read as AIM "
            "identifier and GS1 element strings) beside the same scanner without those settings, "
            "three rounds alternating, 14-byte scans; medians of the rounds. " + machine_load(on + off), ""] + \
        rounds_table(off, on, ("plain scanner", "aim,gs1 scanner"), (100,), RELAY_FIGURES[:3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ours")
    parser.add_argument("baseline")
    parser.add_argument("--relay", nargs="*", default=[], help="the bare relay's rounds")
    parser.add_argument("--beside-relay", nargs="*", default=[], help="TirnSerial's rounds beside it")
    parser.add_argument("--tirn-options", default="", help="what TirnSerial was given beyond the defaults")
    parser.add_argument("--console-all", nargs="*", default=[], help="TirnSerial's rounds with --log all")
    parser.add_argument("--console-events", nargs="*", default=[], help="and with --log events")
    parser.add_argument("--adapters", nargs="*", default=[])
    parser.add_argument("--tls", nargs=2, metavar=("PLAIN", "TLS"))
    parser.add_argument("--mqtt", nargs=2, metavar=("WITHOUT", "WITH"))
    parser.add_argument("--outbox")
    parser.add_argument("--keyboard", nargs=2, metavar=("SERIAL", "KEYBOARD"))
    parser.add_argument("--resume", help="clients that reconnect with ?since= (tirn-resume-bench)")
    parser.add_argument("--history-on", nargs="*", default=[], help="rounds with the history on")
    parser.add_argument("--history-off", nargs="*", default=[], help="and with --history 0")
    parser.add_argument("--storm", help="the replay storm beside quiet runs (tirn-resume-bench --storm)")
    parser.add_argument("--gs1", help="the cost of reading GS1 data per scan (tirn-gs1-bench)")
    parser.add_argument("--gs1-on", nargs="*", default=[], help="rounds with a scanner whose scans are read as GS1")
    parser.add_argument("--gs1-off", nargs="*", default=[], help="rounds with the same scanner read as plain text")
    parser.add_argument("--notes", help="hand-written findings to append (bench/profile-notes.md)")
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--plot")
    options = parser.parse_args()
    ours, base = load(options.ours), load(options.baseline)
    adapters = [load(path) for path in options.adapters]
    lines = ["# TirnSerial against a baseline bridge", "",
             "Produced by `bench/run`; latencies from the moment the scan's last byte reaches the "
             "scanner's pty until the subscriber has the whole frame. Both bridges end a scan after "
             "5 ms of silence (TirnSerial with `--gap-ms 5`); so 5 ms of each latency is that wait.", ""]
    relay, beside = [load(path) for path in options.relay], [load(path) for path in options.beside_relay]
    if relay and beside:
        lines += relay_lines(relay, beside, options.tirn_options)
    console = [load(path) for path in options.console_events], [load(path) for path in options.console_all]
    if all(console):
        lines += console_lines(*console)
    if relay and beside:
        lines += ["", "## Beside a baseline bridge", ""]
    if "bridge_output" not in ours:
        lines += ["Measured before the bench read the bridges' output through a pipe: it went to /dev/null.", ""]
    lines += table(ours, base)
    floor = ours.get("kernel_floor_ms")
    if floor:
        lines += ["", f"Footnote: one blocking `send` of the same frame to each of {floor['sockets']} loopback sockets "
                      f"that no one waits on takes {floor['median']:.2f} ms (median; p99 {floor['p99']:.2f} ms); with "
                      "no wake-up and no receiver paid, it is no floor for a relay: the bare relay above is."]
    if adapters:
        lines += ["", f"## Behind USB serial adapters, default scan gap ({DEFAULT_GAP_MS} ms), 1 subscriber", "",
                  "The virtual scanner delivers each scan as the adapter would (`--adapter`); latency from "
                  "the last byte's delivery.", ""] + adapter_table(adapters)
    plain_tls = [load(path) for path in options.tls] if options.tls else None
    if plain_tls:
        lines += ["", "## Over TLS", "",
                  "TirnSerial with `--tls-cert` and `--tls-key` (a self-signed P-256 certificate) beside a plain "
                  "run alike, one after the other: the subscribers connect over TLS 1.3, the same gap of 5 ms.",
                  ""] + tls_table(*plain_tls)
    mqtt_pair = [load(path) for path in options.mqtt] if options.mqtt else None
    if mqtt_pair:
        lines += ["", "## With MQTT", "",
                  "TirnSerial publishing every scan to a mosquitto broker on loopback (`--mqtt`, QoS 1, each scan "
                  "stored in the outbox on disk first) beside "
                  "a run alike without it, one after the other; a subscriber on the broker receives each scan. "
                  "The same gap of 5 ms. The broker and its subscriber run on the same cores as the service and "
                  "the WebSocket clients.", ""] + mqtt_table(*mqtt_pair)
    drain = load(options.outbox) if options.outbox else None
    if drain:
        lines += outbox_lines(drain)
    keyboard_pair = [load(path) for path in options.keyboard] if options.keyboard else None
    if keyboard_pair:
        lines += ["", "## Keyboard-mode scanner", "",
                  "A keyboard-mode scanner (US layout, its input event records through a FIFO: press, release "
                  "and a report for each key, Shift for capitals) beside a serial scanner typing the same text, "
                  "one subscriber; both scans end with a carriage return, which ends the serial scan "
                  "(`--end-on cr`) as Enter ends the keyboard's, so neither waits for silence. Latency from "
                  "the last record, or the last byte.", "",
                  "| figure | serial | keyboard | keyboard / serial |", "| --- | ---: | ---: | ---: |"]
        lines += pair_rows(*keyboard_pair, "latency", lambda label, a, b: [])
    resumed = load(options.resume) if options.resume and os.path.exists(options.resume) else None
    on = [load(path) for path in options.history_on if os.path.exists(path)]
    off = [load(path) for path in options.history_off if os.path.exists(path)]
    if resumed or (on and off):
        lines += resume_lines(resumed, on, off)
    storm = load(options.storm)["storm"] if options.storm and os.path.exists(options.storm) else None
    if storm:
        lines += storm_lines(storm)
    gs1 = load(options.gs1) if options.gs1 and os.path.exists(options.gs1) else None
    gs1_on = [load(path) for path in options.gs1_on if os.path.exists(path)]
    gs1_off = [load(path) for path in options.gs1_off if os.path.exists(path)]
    if gs1:
        lines += gs1_lines(gs1)
        if gs1_on and gs1_off:
            lines += gs1_latency_lines(gs1_on, gs1_off)
    lines += ["", "## Targets", ""] + targets(ours, base, adapters)
    lines += resume_targets(resumed, on, off)
    if storm:
        lines += storm_targets(storm)
    if relay and beside:
        lines += relay_targets(relay, beside)
    if plain_tls:
        lines += tls_targets(*plain_tls)
    if mqtt_pair:
        lines += mqtt_targets(*mqtt_pair)
    if drain:
        lines += outbox_targets(drain)
    if gs1:
        lines += gs1_targets(gs1, gs1_on, gs1_off)
    if options.notes:
        with open(options.notes) as file:
            lines += [""] + file.read().rstrip("\n").split("\n")
    with open(options.markdown, "w") as file:
        file.write("\n".join(lines) + "\n")
    if options.plot:
        plot(ours, base, options.plot)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
