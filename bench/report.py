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
    rows.append((f"Peak memory, {children[-1]['image_bytes'] // 1024} KB image minus "
                 f"{children[0]['image_bytes'] // 1024} KB image (VmHWM)",
                 f"{difference} kB", "≤ 1024 kB", abs(difference) <= 1024))
    return [{"measure": m, "value": v, "target": t, "met": bool(ok)} for m, v, t, ok in rows]


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
      f"{summary['update']['tcp_loopback_round_trip_us']:.1f} µs here; a USB/IP exchange makes two, each "
      "with more thread hand-offs.")
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
    if notes:
        w(notes.rstrip())
        w("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    for option in ("layers", "update", "memory", "conditions", "json", "summary", "notes"):
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
    summary["targets"] = targets(summary)
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
