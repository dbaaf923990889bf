#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns one Google Benchmark JSON file of tavro_bench into the Markdown
tables of docs/performance.md: the medians of every repetition, the ratios
against each floor, and the goals they are held to."""
import json
import platform
import subprocess
import sys

GOAL_FILES = 2.0    # operation / floor, file listing (warm calls)
GOAL_MAGNETS = 1.5  # operation / floor, magnet listing
GOAL_PEAK = 1.25    # cold peak heap / the larger of yyjson's document and the result


def ns(b, key="real_time"):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b[key] * scale


def fmt_ns(v):
    if v >= 1e6:
        return f"{v / 1e6:.2f} ms"
    if v >= 1e3:
        return f"{v / 1e3:.1f} µs"
    return f"{v:.0f} ns"


def fmt_bytes(v):
    for unit, size in (("MB", 1e6), ("kB", 1e3)):
        if v >= size:
            return f"{v / size:.2f} {unit}"
    return f"{v:.0f} B"


def verdict(value, goal):
    return "met" if value <= goal else "missed"


def machine(context):
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    nproc = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip()
    gcc = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout
    gcc = gcc.splitlines()[0] if gcc else "unknown"
    load = ", ".join(f"{x:.2f}" for x in context.get("load_avg", []))

    def deb(name):
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True,
                              text=True).stdout.strip() or "?"

    return [
        f"- Date of the run: {context.get('date', '?')}",
        f"- `nproc`: {nproc}; CPU (/proc/cpuinfo): {model}; "
        f"{context.get('mhz_per_cpu', '?')} MHz; {platform.system()} {platform.release()}",
        f"- Compiler: {gcc}; Google Benchmark {deb('libbenchmark-dev')} (Debian's build, which "
        f"reports itself as a {context.get('library_build_type', '?')} build: that is the "
        f"harness, not tavro, which the bench preset builds as Release); "
        f"yyjson {deb('libyyjson-dev')}",
        f"- Load average when the run began: {load} (the machine is shared)",
    ]


def main(path):
    with open(path) as f:
        data = json.load(f)
    med = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            med[b["run_name"]] = b
    reps = max((b.get("repetitions", 1) for b in data["benchmarks"]), default=1)
    out = ["## Machine", ""] + machine(data["context"]) + [
        f"- Repetitions per benchmark: {reps}; every figure below is the median.", ""]

    def pick(prefix):
        return sorted((k, v) for k, v in med.items() if k.startswith(prefix))

    def listing(prefix, what, goal):
        label = f"goal ≤ {goal}" if goal else "goal"
        rows = [f"| {what} | answer body | result | operation | floor | ns per entry | "
                f"operation / floor | {label} |",
                "|---:|---:|---:|---:|---:|---:|---:|---|"]
        items = []
        for k, b in pick(prefix):
            n = int(k.split(":")[1].split("/")[0])
            items.append((n, b))
        for n, b in sorted(items):
            rows.append(
                f"| {n:,} | {fmt_bytes(b['body_bytes'])} | {fmt_bytes(b['result_bytes'])} | "
                f"{fmt_ns(ns(b))} | {fmt_ns(b['floor_ns'])} | {b['per_entry'] * 1e9:.0f} | "
                f"{b['ratio']:.2f} | {verdict(b['ratio'], goal) if goal else '(none)'} |")
        return rows

    out += ["## 1. File listing of one magnet (fake transport)", ""]
    out += listing("BM_ListFiles/", "files", GOAL_FILES) + [""]
    if pick("BM_ListFilesCold/"):
        out += ["Each call cold (no memory kept from earlier calls, a small previous result):", ""]
        out += listing("BM_ListFilesCold/", "files", None) + [""]
    out += ["## 2. Magnet listing (fake transport)", ""]
    out += listing("BM_ListMagnets/", "magnets", GOAL_MAGNETS) + [""]

    out += ["## 3. Per-call overhead", "",
            "| call | per call | floor (settings parse + one fake exchange) | ratio |",
            "|---|---:|---:|---:|"]
    for name, label in (("BM_Validate/manual_time", "`tavro_validate`"),
                        ("BM_ListRoot/manual_time", "`tavro_list` of the root")):
        b = med.get(name)
        if b:
            out.append(f"| {label} | {fmt_ns(ns(b))} | {fmt_ns(b['floor_ns'])} | "
                       f"{b['ratio']:.2f} |")
    out.append("")

    out += ["## 4. Download with instant pick, 10,000-file season pack", "",
            "| mode | per download | floor (parse of the three answers + result) | "
            "ns per file | ratio |", "|---|---:|---:|---:|---:|"]
    for k, b in pick("BM_DownloadInstant/"):
        mode = "episode (S40E50)" if "episode_mode:1" in k else "largest file"
        out.append(f"| {mode} | {fmt_ns(ns(b))} | {fmt_ns(b['floor_ns'])} | "
                   f"{b['per_file'] * 1e9:.0f} | {b['ratio']:.2f} |")
    out.append("")

    out += ["## 5. Recognisers and escapes", ""]
    b = med.get("BM_SeasonEpisode/manual_time")
    if b:
        out += ["| recogniser | names | recognised | ns per name | "
                "ratio to reading each name once (strlen) |", "|---|---:|---:|---:|---:|",
                f"| `tavro_season_episode` | {b['names']:,.0f} | {b['recognised']:,.0f} | "
                f"{b['per_name'] * 1e9:.0f} | {b['ratio']:.1f} |", ""]
    out += ["| escape | texts | input bytes | throughput | memcpy of the same bytes | ratio |",
            "|---|---:|---:|---:|---:|---:|"]
    for name, label in (("BM_JsonStr/manual_time", "`tavro_buf_json_str`"),
                        ("BM_Query/manual_time", "`tavro_buf_query`"),
                        ("BM_Redact/manual_time", "`tavro_redact_into`")):
        b = med.get(name)
        if b:
            op_rate = b["bytes"] / (ns(b) * 1e-9)
            floor_rate = b["bytes"] / (b["floor_ns"] * 1e-9)
            out.append(f"| {label} | {b['texts']:,.0f} | {fmt_bytes(b['bytes'])} | "
                       f"{op_rate / 1e6:,.0f} MB/s | {floor_rate / 1e6:,.0f} MB/s | "
                       f"{b['ratio']:.1f} |")
    out.append("")

    out += ["## 6. Two threads", "",
            "| operation, transport | ops/s, 1 thread | ops/s, 2 threads | speed-up |",
            "|---|---:|---:|---:|"]
    for case, label in (("list_1000_host", "1,000-file listing, host transport"),
                        ("list_1000_fake", "1,000-file listing, fake transport"),
                        ("list_1000_floor", "its floor (no library code)"),
                        ("validate_host", "validation, host transport"),
                        ("validate_fake", "validation, fake transport"),
                        ("validate_floor", "its floor (no library code)")):
        b = med.get(f"BM_TwoThreads/{case}/manual_time")
        if b:
            out.append(f"| {label} | {b['ops_per_s_1']:,.0f} | {b['ops_per_s_2']:,.0f} | "
                       f"{b['speedup']:.2f} |")
    out.append("")

    out += ["## 7. Peak heap of the file listing", "",
            "| files | answer body | result | yyjson's document | peak heap, cold call | "
            "peak / larger of document and result | peak, third call | kept by the thread | "
            f"goal ≤ {GOAL_PEAK:g} |", "|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    items = []
    for k, b in pick("BM_ListFilesPeakHeap/"):
        items.append((int(k.split(":")[1].split("/")[0]), b))
    for n, b in sorted(items):
        doc = b["yyjson_peak_per_body"] * b["body_bytes"]
        larger = b.get("peak_per_larger")
        shown = f"{larger:.2f}" if larger is not None else "?"
        goal = verdict(larger, GOAL_PEAK) if larger is not None else "?"
        out.append(f"| {n:,} | {fmt_bytes(b['body_bytes'])} | {fmt_bytes(b['result_bytes'])} | "
                   f"{fmt_bytes(doc)} | {fmt_bytes(b['peak_bytes'])} | {shown} | "
                   f"{fmt_bytes(b.get('warm_peak_bytes', b['peak_bytes']))} | "
                   f"{fmt_bytes(b.get('kept_bytes', 0))} | {goal} |")
    out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/bench/results.json")
