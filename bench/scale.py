#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Many projectors at once: N emulated projectors (one tz4817-emu --count N),
each updated by its own tz4817-update --device 1-K process, all started
together, with the real switch pause, restart time and erase polling.

For each N it measures the wall time from the start of the first updater to
the end of the last, the CPU time (user + system) of the updaters and of the
emulator, and peak resident memory (each updater's maximum from wait4 as
GNU time reports it, the emulator's VmHWM), and checks every projector's
flash: the image from 0x4000 on, the boot sector as the factory left it.

The first updater of the first N also gives the timeline of one whole
update: each line it prints is timestamped as it arrives and the phases
are told apart by the lines that open them.

    bench/scale.py --bin build/bin --counts 1,2,4,8 --json scale.json
"""
import argparse
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BOOT_SECTOR = 0x4000
TIME = "/usr/bin/time"


class Emulator:
    def __init__(self, binary, count, flash, log):
        self.log_path = log
        with open(log, "w") as out:
            self.process = subprocess.Popen(
                [binary, "--listen", "127.0.0.1:0", "--count", str(count), "--flash", flash],
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        self.address = None
        for _ in range(200):
            with open(log) as text:
                found = re.search(r"^tz4817-emu: listening on ([^,\s]+)", text.read(), re.M)
            if found:
                self.address = found.group(1)
                break
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        if not self.address:
            self.stop()
            with open(log) as text:
                raise RuntimeError("tz4817-emu did not start:\n" + text.read())

    def peak_kb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            found = re.search(r"^VmHWM:\s+(\d+) kB", status.read(), re.M)
        return int(found.group(1)) if found else None

    def stop(self):
        """Stops the emulator; its CPU seconds (user + system)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(status)
        return usage.ru_utime + usage.ru_stime


class Updater:
    """One tz4817-update --yes --device PLACE under GNU time, its output
    read line by line (a carriage return ends a line too) and timestamped."""

    def __init__(self, binary, directory, place, address, start):
        self.times = os.path.join(directory, "time.txt")
        environment = dict(os.environ, QRV_USBIP=address)
        environment.pop("QRV_DEVICE", None)
        environment.pop("QRV_DEBUG", None)
        # GNU time forks the updater, so its maximum resident size is its own,
        # not that of this (larger) process.
        self.process = subprocess.Popen(
            [TIME, "-f", "%e %U %S %M", "-o", self.times, binary, "--yes", "--device", place, "-C", directory],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=environment)
        self.start = start
        self.lines = []  # (seconds since start, text)
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        line = b""
        while True:
            chunk = self.process.stdout.read1(4096)
            if not chunk:
                break
            now = time.monotonic() - self.start
            for byte in chunk:
                if byte in (10, 13):
                    if line.strip():
                        self.lines.append((now, line.decode(errors="replace").strip()))
                    line = b""
                else:
                    line += bytes([byte])
        if line.strip():
            self.lines.append((time.monotonic() - self.start, line.decode(errors="replace").strip()))

    def wait(self):
        """Exit status, wall, user and system seconds and maximum resident kB."""
        status = self.process.wait()
        self.ended = time.monotonic() - self.start  # GNU time's wall is rounded to 10 ms
        self.reader.join()
        with open(self.times) as text:
            fields = text.read().split()[-4:]
        wall, user, system, rss = (float(field) for field in fields)
        return status, wall, user, system, int(rss)


# The phases of one update and the line of the updater's output that opens
# each; the last one ends with the process.
PHASES = [
    ("start, image check", None),
    ("switch to programming mode", re.compile(r"^\[ \] Connecting to the projector")),
    ("erase", re.compile(r"^\[ \] Cleaning projector memory")),
    ("download", re.compile(r"^\[ \] Downloading upgrade image")),
    ("checksum, switch back", re.compile(r"^\[#+\] +(\d+) / \1 bytes 100%")),
]


def phases(lines, end):
    """[{phase, start_s, end_s}] from the timestamped lines of one update."""
    marks = [(PHASES[0][0], 0.0)]
    position = 0
    for name, pattern in PHASES[1:]:
        for index in range(position, len(lines)):
            if pattern.search(lines[index][1]):
                marks.append((name, lines[index][0]))
                position = index + 1
                break
    result = []
    for index, (name, start) in enumerate(marks):
        stop = marks[index + 1][1] if index + 1 < len(marks) else end
        result.append({"phase": name, "start_s": round(start, 3), "end_s": round(stop, 3)})
    return result


def flash_matches(flash, factory, image):
    with open(flash, "rb") as a, open(image, "rb") as b, open(factory, "rb") as c:
        written, wanted, original = a.read(), b.read(), c.read()
    return (len(written) == len(wanted) and written[BOOT_SECTOR:] == wanted[BOOT_SECTOR:]
            and written[:BOOT_SECTOR] == original[:BOOT_SECTOR])


def run(bin_dir, count, work, image):
    directory = os.path.join(work, f"n{count}")
    os.makedirs(directory)
    flash = os.path.join(directory, "flash.bin")
    emulator = Emulator(os.path.join(bin_dir, "tz4817-emu"), count, flash, os.path.join(directory, "emulator.log"))
    # With --count 1 the projector keeps its flash in the file itself.
    flashes = {k: flash if count == 1 else f"{flash}.{k}" for k in range(1, count + 1)}
    updaters = []
    try:
        for k in range(1, count + 1):
            shutil.copy(flashes[k], flashes[k] + ".factory")
            os.makedirs(os.path.join(directory, str(k)))
            shutil.copy(image, os.path.join(directory, str(k), "tz4817.img"))
        start = time.monotonic()
        for k in range(1, count + 1):
            updaters.append(Updater(os.path.join(bin_dir, "tz4817-update"), os.path.join(directory, str(k)),
                                    f"1-{k}", emulator.address, start))
        results = [updater.wait() for updater in updaters]
        wall = time.monotonic() - start
        emulator_peak = emulator.peak_kb()
    finally:
        for updater in updaters:
            if updater.process.poll() is None:
                updater.process.kill()
                updater.process.wait()
        emulator_cpu = emulator.stop()
    correct = [status == 0 and flash_matches(flashes[k], flashes[k] + ".factory", image)
               for k, (status, *_rest) in zip(range(1, count + 1), results)]
    failed = [k for k, ok in zip(range(1, count + 1), correct) if not ok]
    for k in failed:
        print(f"scale: projector 1-{k} of {count}: exit status {results[k - 1][0]}, output:", file=sys.stderr)
        for _, line in updaters[k - 1].lines[-15:]:
            print("  " + line, file=sys.stderr)
    entry = {
        "projectors": count,
        "wall_s": round(wall, 3),
        "updater_wall_s": [round(r[1], 3) for r in results],
        "updaters_cpu_s": round(sum(r[2] + r[3] for r in results), 3),
        "emulator_cpu_s": round(emulator_cpu, 3),
        "updater_peak_kb": max(r[4] for r in results),
        "updaters_peak_sum_kb": sum(r[4] for r in results),
        "emulator_peak_kb": emulator_peak,
        "flashes_correct": sum(correct),
    }
    timeline = phases(updaters[0].lines, updaters[0].ended) if updaters else []
    return entry, timeline


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="directory with tz4817-emu and tz4817-update")
    parser.add_argument("--counts", default="1,2,4,8")
    parser.add_argument("--json", required=True)
    arguments = parser.parse_args()
    if not os.access(TIME, os.X_OK):
        sys.exit(f"scale: {TIME} is missing (Debian package 'time')")
    counts = [int(count) for count in arguments.counts.split(",")]
    with tempfile.TemporaryDirectory(prefix="qrv-scale-") as work:
        image = os.path.join(work, "tz4817.img")
        subprocess.run([os.path.join(arguments.bin, "tz4817-emu"), "--make-image", image], check=True,
                       stdout=subprocess.DEVNULL)
        rows, timeline = [], None
        for count in counts:
            entry, one = run(arguments.bin, count, work, image)
            if timeline is None:
                timeline = one
            rows.append(entry)
            print(f"{count} projector(s): {entry['wall_s']:.2f} s wall, updaters {entry['updaters_cpu_s']:.2f} s CPU, "
                  f"emulator {entry['emulator_cpu_s']:.2f} s CPU, updater peak {entry['updater_peak_kb']} kB, "
                  f"emulator peak {entry['emulator_peak_kb']} kB, {entry['flashes_correct']}/{count} flashes correct")
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        image_bytes = os.path.getsize(image)
    with open(arguments.json, "w") as out:
        json.dump({"rows": rows, "timeline": timeline, "image_bytes": image_bytes,
                   "children_cpu_s": round(children.ru_utime + children.ru_stime, 3)}, out, indent=1)
    bad = [row["projectors"] for row in rows if row["flashes_correct"] != row["projectors"]]
    if bad:
        sys.exit(f"scale: wrong flash or failed update with {bad} projector(s)")


if __name__ == "__main__":
    main()
