#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns the benchmark programs' output into docs/performance.json and
docs/performance.md.

    report.py --layers L.json --update U.json --memory M.json
              --conditions C.json --notes NOTES.md --json OUT.json --markdown OUT.md
    report.py --summary OUT.json --notes NOTES.md --markdown OUT.md

The second form writes the Markdown again from a summary the first wrote (for
new notes), without touching the numbers.

L and U are Google Benchmark JSON files (--benchmark_out_format=json), M is
qrv_bench_memory's output, C describes the machine and the run (tools/bench.sh
writes it). NOTES is appended to the Markdown as it is.
"""

import argparse
import json
import os
import re
import sys

KB_PER_MB = 1024


def load(path):
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def seconds(entry, key="real_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry["time_unit"]]
    return entry[key] * scale


def pick(benchmarks, name):
    """The entry of benchmark `name`: its median when repeated, else the run."""
    runs = [b for b in benchmarks if re.sub(r"/repeats:\d+", "", b["run_name"]) == name]
    if not runs:
        sys.exit(f"report.py: no result for {name}")
    for run in runs:
        if run.get("error_occurred"):
            sys.exit(f"report.py: {name} failed: {run.get('error_message')}")
    medians = [r for r in runs if r.get("aggregate_name") == "median"]
    if medians:
        return medians[0]
    iterations = [r for r in runs if r.get("run_type") == "iteration"]
    return iterations[0]


def layers_summary(layers):
    b = layers["benchmarks"]
    floor = pick(b, "BM_Device_FullUpdate/real_time")
    exchange = pick(b, "BM_Transport_WriteQrvUsbCmd/real_time")
    samples = pick(b, "BM_Transport_ExchangeSamples/iterations:1/real_time")
    breakdown = pick(b, "BM_Transport_ExchangeBreakdown/real_time")
    ns = lambda name: seconds(pick(b, name)) * 1e9
    breakdown_total = seconds(breakdown) * 1e9
    accounted = (breakdown["presence_ns"] + breakdown["transfer_requests_ns"] + breakdown["connections_ns"])
    return {
        "raw_floor": {
            "frames": int(floor["frames"]),
            "total_s": seconds(floor),
            "ns_per_frame": seconds(floor) * 1e9 / floor["frames"],
            "frames_per_s": floor["frames_per_s"],
        },
        "exchange_ns": {
            "device_download_frame": ns("BM_Device_DownloadFrame/real_time"),
            "loopback_bus_two_transfers": ns("BM_LoopbackBus_DownloadTransfers/real_time"),
            "driver_two_transfer_requests": ns("BM_Driver_DownloadTransfers/real_time"),
            "driver_presence_check": ns("BM_Driver_PresenceCheck/real_time"),
            "info_block_allocation": ns("BM_Driver_InfoBlockAllocation/real_time"),
            "frame_build": ns("BM_FlashLib_BuildDownloadFrame/real_time"),
            "QRV_WriteQrvUsbCmd": seconds(exchange) * 1e9,
            "QRVDL_CmdWriteFlashDownloadData": ns("BM_FlashLib_CmdWriteFlashDownloadData/real_time"),
            "clock_read": ns("BM_ClockRead"),
        },
        "exchanges_per_s": exchange["exchanges_per_s"],
        "exchange_distribution_us": {
            "samples": int(samples["exchanges"]),
            "p50": samples["p50_us"],
            "p90": samples["p90_us"],
            "p99": samples["p99_us"],
            "max": samples["max_us"],
        },
        "instrumented_exchange_ns": {
            "total": breakdown_total,
            "presence_requests": breakdown["presence_ns"],
            "transfer_requests": breakdown["transfer_requests_ns"],
            "of_which_bus_and_device": breakdown["bus_ns"],
            "connections_open_close": breakdown["connections_ns"],
            "transport_own_and_clock_reads": breakdown_total - accounted,
        },
    }


def update_summary(update, floor_s):
    b = update["benchmarks"]
    sleeps = {}
    for latency in (125, 1000):
        entry = pick(b, f"BM_LatencySleep/{latency}/real_time")
        sleeps[latency] = seconds(entry) * 1e6
    runs = []

    def add(link, name, latency=0):
        entry = pick(b, name)
        exchanges = entry["exchanges"]
        total = seconds(entry)
        run = {
            "link": link,
            "latency_us": latency,
            "exchanges": int(round(exchanges)),
            "expected_exchanges": int(entry["expected_exchanges"]),
            "total_s": total,
            "us_per_exchange": total / exchanges * 1e6,
        }
        if not latency:
            run["ratio_to_raw_floor"] = total / floor_s
        if latency:
            bound = exchanges * 2 * latency * 1e-6
            effective = exchanges * 2 * sleeps[latency] * 1e-6
            run.update({
                "link_bound_s": bound,
                "ratio_to_bound": total / bound,
                "measured_sleep_us": sleeps[latency],
                "effective_bound_s": effective,
                "ratio_to_effective_bound": total / effective,
                "stack_and_transport_us_per_exchange": (total - effective) / exchanges * 1e6,
            })
        runs.append(run)

    add("LoopbackBus", "BM_LoadFlash_Loopback/iterations:5/real_time")
    add("UsbipBus over loopback TCP", "BM_LoadFlash_Usbip/iterations:3/real_time")
    for latency in (125, 1000):
        add("UsbipBus, latency per transfer", f"BM_LoadFlash_UsbipLatency/{latency}/iterations:1/real_time", latency)
    for latency in (125, 1000):
        add("LoopbackBus, latency per transfer", f"BM_LoadFlash_LoopbackLatency/{latency}/iterations:1/real_time",
            latency)
    round_trip = seconds(pick(b, "BM_TcpLoopbackRoundTrip/real_time")) * 1e6
    return {"image_bytes": int(update["context"].get("image_bytes", 0)), "runs": runs,
            "latency_sleep_us": {str(k): v for k, v in sleeps.items()},
            "tcp_loopback_round_trip_us": round_trip}


def targets(summary):
    exchange_us = summary["exchange"]["exchange_ns"]["QRV_WriteQrvUsbCmd"] / 1000
    loop = summary["update"]["runs"][0]
    usbip_latency = [r for r in summary["update"]["runs"] if r["link"].startswith("UsbipBus,")]
    children = summary["memory"]["children"]
    difference = children[-1]["vmhwm_kb"] - children[0]["vmhwm_kb"]
    rows = [
        ("Stack cost per exchange on LoopbackBus (QRV_WriteQrvUsbCmd, median of runs)",
         f"{exchange_us:.2f} µs", "≤ 5 µs", exchange_us <= 5),
        (f"QRVDL_LoadFlash of the {summary['update']['image_bytes']:,}-byte image on LoopbackBus",
         f"{loop['total_s']:.3f} s", "≤ 0.5 s",
         loop["total_s"] <= 0.5),
    ]
    for run in usbip_latency:
        rows.append((f"UsbipBus with {run['latency_us']} µs per transfer: time / link bound",
                     f"{run['ratio_to_bound']:.3f}", "≤ 1.02", run["ratio_to_bound"] <= 1.02))
    # Against what TCP alone costs on this machine: two round trips between
    # two threads per exchange, measured in the same run.
    round_trip = summary["update"]["tcp_loopback_round_trip_us"]
    usbip = next(r for r in summary["update"]["runs"] if r["link"] == "UsbipBus over loopback TCP")
    ratio = usbip["us_per_exchange"] / (2 * round_trip)
    rows.append((f"UsbipBus exchange, no added latency ({usbip['us_per_exchange']:.1f} µs) / two bare TCP round "
                 f"trips ({2 * round_trip:.1f} µs)", f"{ratio:.3f}", "≤ 1.25", ratio <= 1.25))
    for run, limit in zip(usbip_latency, (1.05, 1.02)):
        tcp_bound = run["link_bound_s"] + run["exchanges"] * 2 * round_trip * 1e-6
        run["tcp_bound_s"] = tcp_bound
        run["ratio_to_tcp_bound"] = run["total_s"] / tcp_bound
        rows.append((f"UsbipBus with {run['latency_us']} µs per transfer: time / (link bound + two bare TCP round "
                     f"trips per exchange, {tcp_bound:.3f} s)", f"{run['ratio_to_tcp_bound']:.3f}", f"≤ {limit}",
                     run["ratio_to_tcp_bound"] <= limit))
    rows.append((f"Peak memory, {children[-1]['image_bytes'] // 1024} KB image minus "
                 f"{children[0]['image_bytes'] // 1024} KB image (VmHWM)",
                 f"{difference} kB", "≤ 1024 kB", abs(difference) <= 1024))
    scale = summary.get("scale")
    if scale:
        by_count = {row["projectors"]: row for row in scale["rows"]}
        most = max(by_count)
        if 1 in by_count and most > 1:
            ratio = by_count[most]["wall_s"] / by_count[1]["wall_s"]
            rows.append((f"{most} projectors updated at once: wall time / one projector's", f"{ratio:.2f}", "≤ 1.5",
                         ratio <= 1.5))
        correct = sum(row["flashes_correct"] for row in scale["rows"])
        total = sum(row["projectors"] for row in scale["rows"])
        rows.append(("Flashes correct after the runs with many projectors", f"{correct} of {total}",
                     f"{total} of {total}", correct == total))
    return [{"measure": m, "value": v, "target": t, "met": bool(ok)} for m, v, t, ok in rows]


COLOURS = ["#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2", "#b07aa1"]


def escape(text):
    return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def timeline_svg(timeline, total_s):
    """One whole update as a bar: each phase's share of the time, labelled."""
    width, left, right, bar_top, bar_height = 900, 20, 40, 40, 44
    scale = (width - left - right) / total_s
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="150" '
           'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="150" fill="white"/>',
           f'<text x="{left}" y="22" font-size="14">One whole update by tz4817-update over USB/IP: '
           f'{total_s:.1f} s</text>']
    for index, phase in enumerate(timeline):
        x = left + phase["start_s"] * scale
        w = max(1.0, (phase["end_s"] - phase["start_s"]) * scale)
        seconds = phase["end_s"] - phase["start_s"]
        colour = COLOURS[index % len(COLOURS)]
        out.append(f'<rect x="{x:.1f}" y="{bar_top}" width="{w:.1f}" height="{bar_height}" fill="{colour}">'
                   f'<title>{escape(phase["phase"])}: {seconds:.2f} s</title></rect>')
        # Labels alternate above and below the bar so that short phases stay legible.
        y = bar_top + bar_height + 18 + (index % 2) * 16
        out.append(f'<line x1="{x + w / 2:.1f}" y1="{bar_top + bar_height}" x2="{x + w / 2:.1f}" y2="{y - 11}" '
                   f'stroke="{colour}"/>')
        middle = x + w / 2
        anchor = "start" if middle < left + 110 else "end" if middle > width - right - 110 else "middle"
        out.append(f'<text x="{middle:.1f}" y="{y}" text-anchor="{anchor}">{escape(phase["phase"])} '
                   f'{seconds:.2f} s</text>')
    for second in range(0, int(total_s) + 1):
        x = left + second * scale
        out.append(f'<line x1="{x:.1f}" y1="{bar_top - 4}" x2="{x:.1f}" y2="{bar_top}" stroke="#555"/>')
        if second % 2 == 0:
            out.append(f'<text x="{x:.1f}" y="{bar_top - 7}" text-anchor="middle" font-size="10">{second} s</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def scale_svg(rows):
    """Wall time and CPU time against the number of projectors updated at once."""
    width, height, left, right, top, bottom = 640, 380, 60, 150, 40, 50
    counts = [row["projectors"] for row in rows]
    series = [
        ("wall time", [row["wall_s"] for row in rows], COLOURS[0]),
        ("CPU, updaters", [row["updaters_cpu_s"] for row in rows], COLOURS[1]),
        ("CPU, emulator", [row["emulator_cpu_s"] for row in rows], COLOURS[2]),
    ]
    one = next((row["wall_s"] for row in rows if row["projectors"] == 1), None)
    top_value = max(max(values) for _, values, _ in series)
    if one:
        top_value = max(top_value, 1.5 * one)
    step = 5 if top_value <= 60 else 10
    top_value = step * (int(top_value / step) + 1)
    plot_w, plot_h = width - left - right, height - top - bottom
    most = max(counts)

    def x_of(count):
        return left + (count - 1) / max(1, most - 1) * plot_w

    def y_of(value):
        return top + plot_h - value / top_value * plot_h

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="22" font-size="14">Projectors updated at once: time</text>',
           f'<line x1="{left}" y1="{top + plot_h}" x2="{left + plot_w}" y2="{top + plot_h}" stroke="#333"/>',
           f'<line x1="{left}" y1="{top}" x2="{left}" y2="{top + plot_h}" stroke="#333"/>']
    for value in range(0, top_value + 1, step):
        y = y_of(value)
        out.append(f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y + 4:.1f}" text-anchor="end">{value} s</text>')
    for count in counts:
        out.append(f'<text x="{x_of(count):.1f}" y="{top + plot_h + 18}" text-anchor="middle">{count}</text>')
    out.append(f'<text x="{left + plot_w / 2:.1f}" y="{height - 12}" text-anchor="middle">projectors</text>')
    if one:
        y = y_of(1.5 * one)
        out.append(f'<line x1="{left}" y1="{y:.1f}" x2="{left + plot_w}" y2="{y:.1f}" stroke="#e15759" '
                   'stroke-dasharray="6,4"/>')
        out.append(f'<text x="{left + 6}" y="{y - 5:.1f}" fill="#e15759">target: 1.5 × one projector</text>')
    for index, (name, values, colour) in enumerate(series):
        points = " ".join(f"{x_of(c):.1f},{y_of(v):.1f}" for c, v in zip(counts, values))
        out.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2"/>')
        for c, v in zip(counts, values):
            out.append(f'<circle cx="{x_of(c):.1f}" cy="{y_of(v):.1f}" r="3.5" fill="{colour}">'
                       f'<title>{name}, {c}: {v:.2f} s</title></circle>')
        y = top + 20 + index * 18
        out.append(f'<line x1="{left + plot_w + 8}" y1="{y - 4}" x2="{left + plot_w + 28}" y2="{y - 4}" '
                   f'stroke="{colour}" stroke-width="2"/>')
        out.append(f'<text x="{left + plot_w + 32}" y="{y}">{name}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def scale_markdown(scale, w):
    w("## 7. Many projectors at once")
    w("")
    w("One `tz4817-emu --count N` (default restart time and erase time) exports N projectors; each is updated by "
      "its own `tz4817-update --yes --device 1-K` process with the "
      f"{scale['image_bytes']:,}-byte demo image, all started together, with the real switch pause and erase "
      "polling. Wall time from the first start to the last exit; CPU time is user + system; an updater's peak "
      "is its maximum resident size (from `wait4`, as GNU time reports it), the emulator's its VmHWM. Every "
      "flash is compared with the image from 0x4000 on, and its boot sector with the factory's.")
    w("")
    w("| Projectors | Wall time | × one | CPU, updaters | CPU, emulator | Peak per updater | Updaters' peaks "
      "added | Emulator peak | Flashes correct |")
    w("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    one = next((row["wall_s"] for row in scale["rows"] if row["projectors"] == 1), None)
    for row in scale["rows"]:
        times = f"{row['wall_s'] / one:.2f}" if one else "–"
        w(f"| {row['projectors']} | {row['wall_s']:.2f} s | {times} | {row['updaters_cpu_s']:.2f} s | "
          f"{row['emulator_cpu_s']:.2f} s | {row['updater_peak_kb']:,} kB | {row['updaters_peak_sum_kb']:,} kB | "
          f"{row['emulator_peak_kb']:,} kB | {row['flashes_correct']} of {row['projectors']} |")
    w("")
    w("![Wall and CPU time against the number of projectors](scale.svg)")
    w("")
    if scale.get("timeline"):
        w("One whole update (the first run with one projector), its phases told apart by the lines "
          "`tz4817-update` prints as it goes:")
        w("")
        w("![Timeline of one whole update](update-timeline.svg)")
        w("")
        w("| Phase | From | To | Time |")
        w("|---|---:|---:|---:|")
        for phase in scale["timeline"]:
            w(f"| {phase['phase']} | {phase['start_s']:.2f} s | {phase['end_s']:.2f} s | "
              f"{phase['end_s'] - phase['start_s']:.2f} s |")
        w("")


def markdown(summary, notes):
    c = summary["conditions"]
    e = summary["exchange"]
    out = []
    w = out.append
    w("# Performance of an update")
    w("")
    w("Written by `tools/bench.sh` from the programs in `bench/`; the numbers are the ones it printed on the "
      "machine below. Rerun it to refresh them (the notes at the end are written by hand).")
    w("")
    w("## Conditions")
    w("")
    w("| | |")
    w("|---|---|")
    for key in ("date", "cores", "cpu", "kernel", "load_before", "load_after", "build_type", "commit",
                "image_bytes"):
        if key in c:
            w(f"| {key.replace('_', ' ')} | {c[key]} |")
    w("")
    w("## Targets")
    w("")
    w("| Measure | Measured | Target | Met |")
    w("|---|---|---|---|")
    for row in summary["targets"]:
        w(f"| {row['measure']} | {row['value']} | {row['target']} | {'yes' if row['met'] else '**no**'} |")
    w("")
    floor = e["raw_floor"]
    w("## 1. Raw floor: the emulated projector alone")
    w("")
    w("Every frame of a full update (37,157 download frames, 34 sector erases with their address and status "
      "frames, identity, mode, address, size and checksum frames) through `Tz4817Device::bulkOut`/`bulkIn`, "
      "erase time 0, no stack.")
    w("")
    w("| Frames | Total | Per frame | Frames per second |")
    w("|---:|---:|---:|---:|")
    w(f"| {floor['frames']:,} | {floor['total_s'] * 1000:.2f} ms | {floor['ns_per_frame']:.0f} ns | "
      f"{floor['frames_per_s']:,.0f} |")
    w("")
    w("## 2. One exchange through LoopbackBus, and its layers")
    w("")
    w("A 64-byte download frame and its 6-byte reply; medians of the repetitions.")
    w("")
    w("| What is timed | Layers included | ns |")
    w("|---|---|---:|")
    x = e["exchange_ns"]
    rows = [
        ("Device: bulkOut + bulkIn", "device", x["device_download_frame"]),
        ("LoopbackBus: two transfers", "bus, device", x["loopback_bus_two_transfers"]),
        ("Driver: two IOCTL_TRANSFER, each on its own connection", "driver, bus, device",
         x["driver_two_transfer_requests"]),
        ("Presence check: two IOCTL_DEVICE_INFO + block calloc/free", "driver", x["driver_presence_check"]),
        ("Information block calloc/free alone", "allocator", x["info_block_allocation"]),
        ("Frame build (zeroed 520-byte buffer, header, data, checksum)", "flash library", x["frame_build"]),
        ("**QRV_WriteQrvUsbCmd**", "transport and everything below", x["QRV_WriteQrvUsbCmd"]),
        ("QRVDL_CmdWriteFlashDownloadData", "flash library and everything below",
         x["QRVDL_CmdWriteFlashDownloadData"]),
    ]
    for what, included, value in rows:
        w(f"| {what} | {included} | {value:,.0f} |")
    w("")
    w(f"Exchanges per second (QRV_WriteQrvUsbCmd): **{e['exchanges_per_s']:,.0f}**.")
    w("")
    d = e["exchange_distribution_us"]
    w(f"Single exchanges, each timed on its own ({d['samples']:,} in a row): "
      f"p50 {d['p50']:.2f} µs, p90 {d['p90']:.2f} µs, p99 {d['p99']:.2f} µs, max {d['max']:.0f} µs.")
    w("")
    i = e["instrumented_exchange_ns"]
    w(f"Inside one exchange (probe between transport and driver, timing wrapper around the bus; twenty clock "
      f"reads of {x['clock_read']:.0f} ns each are part of the total):")
    w("")
    w("| Part | ns per exchange |")
    w("|---|---:|")
    for label, key in (("Presence check requests (2)", "presence_requests"),
                       ("Transfer requests (2)", "transfer_requests"),
                       ("  of which bus and device", "of_which_bus_and_device"),
                       ("Opening and closing the transfers' connections", "connections_open_close"),
                       ("Transport's own work, allocation and clock reads", "transport_own_and_clock_reads"),
                       ("Total (instrumented)", "total")):
        w(f"| {label} | {i[key]:,.0f} |")
    w("")
    w("## 3-5. The whole download")
    w("")
    w(f"`QRVDL_LoadFlash` of a {summary['update']['image_bytes']:,}-byte image from 0xFE204000, length 0, "
      "erase time 0 (so no busy answers and no pauses). Latency is the emulator's per-bulk-transfer latency; "
      "the link bound is exchanges × 2 × latency. The effective bound uses the latency hold as it really "
      "lasts on this machine (measured below).")
    w("")
    w("| Link | Exchanges | Time | µs per exchange | × raw floor | Link bound | Time / bound | "
      "Time / effective bound |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    for run in summary["update"]["runs"]:
        link = run["link"] + (f" {run['latency_us']} µs" if run["latency_us"] else "")
        bound = f"{run['link_bound_s']:.3f} s" if run["latency_us"] else "–"
        ratio = f"{run['ratio_to_bound']:.3f}" if run["latency_us"] else "–"
        effective = f"{run['ratio_to_effective_bound']:.3f}" if run["latency_us"] else "–"
        floor = f"{run['ratio_to_raw_floor']:.1f}" if "ratio_to_raw_floor" in run else "–"
        w(f"| {link} | {run['exchanges']:,} | {run['total_s']:.3f} s | {run['us_per_exchange']:.2f} | "
          f"{floor} | {bound} | {ratio} | {effective} |")
    w("")
    sleeps = summary["update"]["latency_sleep_us"]
    w("The emulator holds each transfer for its latency (a sleep until shortly before the end, then a spin); here that lasts "
      + ", ".join(f"{float(v):.0f} µs for {k} µs" for k, v in sleeps.items()) + " on average.")
    w("")
    w(f"A 64-byte round trip between two threads over loopback TCP (no USB/IP, no device) takes "
      f"{summary['update']['tcp_loopback_round_trip_us']:.1f} µs here; a USB/IP exchange makes two, with "
      "the same thread hand-offs and the protocol's work at each end.")
    w("")
    w("## 6. Peak resident memory of a whole update")
    w("")
    w("Each update (open, switch to programming mode, `QRVDL_LoadFlash`, leave programming mode, close) runs in "
      "a fresh child process through the shipped `libqrvdldll.so`/`libqrvusbdll.so` over USB/IP; the "
      "emulated projector lives in the parent. VmHWM from the child's /proc/self/status; nothing subtracted.")
    w("")
    w("| Image | VmHWM | RSS at start of main | Result | Flash holds the image |")
    w("|---:|---:|---:|---:|---|")
    for child in summary["memory"]["children"]:
        w(f"| {child['image_bytes']:,} bytes | {child['vmhwm_kb']:,} kB | {child['vmrss_start_kb']:,} kB | "
          f"{child['result']} | {'yes' if child['flash_matches'] else 'NO'} |")
    children = summary["memory"]["children"]
    w("")
    w(f"Difference between the largest and the smallest image: "
      f"{children[-1]['vmhwm_kb'] - children[0]['vmhwm_kb']} kB.")
    w("")
    if summary.get("scale"):
        scale_markdown(summary["scale"], w)
    if notes:
        w(notes.rstrip())
        w("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    for option in ("layers", "update", "memory", "conditions", "json", "summary", "notes", "scale"):
        parser.add_argument("--" + option)
    parser.add_argument("--markdown", required=True)
    args = parser.parse_args()
    notes = ""
    if args.notes:
        with open(args.notes, encoding="utf-8") as file:
            notes = file.read()
    if args.summary:
        with open(args.markdown, "w", encoding="utf-8") as file:
            file.write(markdown(load(args.summary), notes))
            file.write("\n")
        return
    if not all((args.layers, args.update, args.memory, args.conditions, args.json)):
        parser.error("--layers, --update, --memory, --conditions and --json go together")

    exchange = layers_summary(load(args.layers))
    summary = {
        "conditions": load(args.conditions),
        "exchange": exchange,
        "update": update_summary(load(args.update), exchange["raw_floor"]["total_s"]),
        "memory": load(args.memory),
    }
    summary["conditions"]["image_bytes"] = summary["update"]["image_bytes"]
    if args.scale:
        summary["scale"] = load(args.scale)
    summary["targets"] = targets(summary)
    # The pictures beside the note that shows them.
    pictures = os.path.dirname(os.path.abspath(args.markdown))
    if summary.get("scale"):
        scale = summary["scale"]
        with open(os.path.join(pictures, "scale.svg"), "w", encoding="utf-8") as file:
            file.write(scale_svg(scale["rows"]))
        if scale.get("timeline"):
            with open(os.path.join(pictures, "update-timeline.svg"), "w", encoding="utf-8") as file:
                file.write(timeline_svg(scale["timeline"], scale["timeline"][-1]["end_s"]))
    with open(args.json, "w", encoding="utf-8") as file:
        json.dump(summary, file, indent=2)
        file.write("\n")
    with open(args.markdown, "w", encoding="utf-8") as file:
        file.write(markdown(summary, notes))
        file.write("\n")
    for row in summary["targets"]:
        print(f"{'met   ' if row['met'] else 'MISSED'}  {row['measure']}: {row['value']} (target {row['target']})")


if __name__ == "__main__":
    main()
