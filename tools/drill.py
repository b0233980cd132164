#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The fault drill: a seeded campaign of updates against the emulated projector.

Each run updates a fresh tz4817-emu (a factory-fresh flash file) with a random
small image while one fault strikes: one of the emulator's own --fault kinds,
tz4817-update killed with SIGKILL between a frame and its reply, a power cut of
the emulator at a frame, or a projector that is already in programming mode.
A run that does not end updated is followed by one clean rerun against the same
emulator (its faults ended with SIGUSR1), or, after a power cut, against the
emulator started again on the same flash file.

Outcomes are judged by the flash file and by the exit status (0 or not), never
by the program's text. Four figures must hold; the report says which do, per
phase of the update and per fault kind. The exit status is 0 only when all four
hold.

With --soak N it instead runs N full updates (2 MB images, a new one each time)
in a row against one emulator that keeps running, and reports the emulator's
resident memory, open descriptors and threads after the first, the middle and the
last update, and whether every update left the flash equal to its image. The
report's other sections are kept: the campaign and the soak each rewrite only
their own.

Usage: drill.py --bin DIR [--runs N] [--seed S] [--jobs J] [--report FILE]
       drill.py --bin DIR --soak N [--seed S] [--report FILE]
"""

import argparse
import concurrent.futures
import dataclasses
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

BOOT_SECTOR = 0x4000
FLASH_SIZE = 0x200000
# Sector starts of the bottom-boot flash: 16, 8, 8, 32 KB, then 64 KB sectors.
SECTOR_STARTS = [0x0000, 0x4000, 0x6000, 0x8000] + [0x10000 * k for k in range(1, 32)]

REBOOT_MS = 20
SWITCH_PAUSE_MS = 20
ATTACH_WAIT_S = 3
# The longest a correct run may take here: two attach waits, a busy poll of
# ten reads that each time out after 2 s with 500 ms pauses, and a margin.
HANG_LIMIT_S = 2 * ATTACH_WAIT_S + 10 * 2.5 + 15
# How long the projector holds its reply to the frame after which the updater
# is killed: far beyond the 2 s the updater waits for a reply.
KILL_HOLD_MS = 5000

PHASES = ["switch", "identity", "erase", "program", "checksum", "leave programming mode", "whole update"]
OUTCOMES = ["updated", "failed", "killed", "hung", "false success"]

FAULT_KINDS = ["drop-reply", "wrong-echo", "short-reply", "late-reply", "leave", "reboot", "busy-after-erase",
               "silent-while-erasing", "flip-bit", "latency", "updater SIGKILL", "power cut",
               "already in programming mode"]

HOW = {
    "drop-reply": "`--fault drop-reply@N`: the reply to frame N never comes (the command still acts)",
    "wrong-echo": "`--fault wrong-echo@N`: the reply to frame N echoes the wrong sequence number",
    "short-reply": "`--fault short-reply@N:LEN`: the reply to frame N is cut to 0..8 bytes",
    "late-reply": "`--fault late-reply@N:MS`: the reply to frame N is ready only 100..3000 ms later "
                  "(beyond 2000 ms the updater has given up on it)",
    "leave": "`--fault leave@N`: at frame N the projector leaves the bus for good (the rerun follows "
             "SIGUSR1, which plugs it back in)",
    "reboot": "`--fault reboot@N`: at frame N the projector leaves and comes back after the reboot time",
    "busy-after-erase": "`--fault busy-after-erase=K`: 1..10 busy answers after each sector erase",
    "silent-while-erasing": "`--fault silent-while-erasing`, `--erase-ms 30`: no answer to status reads "
                            "while a sector erase runs",
    "flip-bit": "`--fault flip-bit=OFFSET:BIT`: a programmed byte of the image's range keeps one bit wrong",
    "latency": "`--fault latency=US`: 100..2000 microseconds added to every transfer",
    "updater SIGKILL": f"`--fault late-reply@N:{KILL_HOLD_MS}`, and tz4817-update killed with SIGKILL as soon as "
                       "the projector has frame N: after the frame was sent, before its reply was read",
    "power cut": "`--fault power-cut@N`: the emulator ends at frame N, its flash file as the chip holds it; "
                 "the rerun runs against it started again on that file",
    "already in programming mode": "`--programming-mode`: the projector was left in programming mode",
}

FRAME_LINE = re.compile(r"^tz4817-emu: frame (\d+): (.*)$")


# --- the projector ------------------------------------------------------------------------


class Emulator:
    """tz4817-emu as a child process, its frame log followed as it is written (unless `frames` is false:
    a soak's millions of frames are not kept)."""

    def __init__(self, binary, flash, arguments, frames=True):
        self.process = subprocess.Popen(
            [binary, "--listen", "127.0.0.1:0", "--flash", flash, "--reboot-ms", str(REBOOT_MS)] +
            (["-v"] if frames else []) + arguments,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.changed = threading.Condition()
        self.output = []  # standard output lines
        self.frames = []  # the text after "frame N: ", by frame number - 1
        self.clients_gone = 0  # imported connections that their client closed
        self.messages = []  # the rest of standard error
        self.ended = False
        self.readers = [threading.Thread(target=self._read, args=(self.process.stdout, self.output), daemon=True),
                        threading.Thread(target=self._read, args=(self.process.stderr, None), daemon=True)]
        for reader in self.readers:
            reader.start()
        self.address = None
        if self.wait_for(lambda: any("listening on " in line for line in self.output), 20):
            line = next(line for line in self.output if "listening on " in line)
            self.address = line.split("listening on ", 1)[1].split(",", 1)[0]

    def _read(self, stream, lines):
        for line in stream:
            line = line.rstrip("\n")
            with self.changed:
                if lines is not None:
                    lines.append(line)
                else:
                    match = FRAME_LINE.match(line)
                    if match and int(match.group(1)) == len(self.frames) + 1:
                        self.frames.append(match.group(2))
                    elif line.endswith(": connection closed: closed by the client"):
                        self.clients_gone += 1
                    elif not match:
                        self.messages.append(line)
                self.changed.notify_all()
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def wait_for(self, condition, timeout):
        with self.changed:
            return self.changed.wait_for(lambda: condition() or self.ended, timeout) and condition()

    def frame_seen(self, number, timeout):
        return self.wait_for(lambda: len(self.frames) >= number, timeout)

    def clear_faults(self):
        """SIGUSR1: every fault ends. True once the emulator has said so."""
        done = self.output.count("tz4817-emu: faults cleared")
        self.process.send_signal(signal.SIGUSR1)
        return self.wait_for(lambda: self.output.count("tz4817-emu: faults cleared") > done, 20)

    def powered_off(self, timeout):
        """True when the emulator ended on a power cut (exit status 3)."""
        try:
            return self.process.wait(timeout) == 3
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for reader in self.readers:
            reader.join()


def start_emulator(binary, flash, arguments, frames=True):
    """An emulator that listens; a start that fails (this machine out of ports for a moment, say) is
    tried twice more. SystemExit when it never starts: the drill cannot judge anything then."""
    for _ in range(3):
        emulator = Emulator(binary, flash, arguments, frames)
        if emulator.address is not None:
            return emulator
        emulator.stop()
        time.sleep(1)
    raise SystemExit(f"drill: tz4817-emu did not start (exit status {emulator.process.returncode}): " +
                     " / ".join(emulator.messages[-3:]))


def phases_of(frames):
    """The phase of each frame of a clean update, from the operations the projector logged."""
    phases = []
    phase = "switch"
    erased = False
    for text in frames:
        if phase == "switch" and "flash manufacturer" in text:
            phase = "identity"
        elif phase == "identity" and "flash device" not in text:
            phase = "erase"
        elif phase == "erase" and erased and text.startswith("programming mode"):
            phase = "program"
        elif phase == "program" and text.startswith("flash checksum calculation"):
            phase = "checksum"
        elif phase == "checksum" and text.startswith("programming mode"):
            phase = "leave programming mode"
        erased = erased or text.startswith("flash sector erase")
        phases.append(phase)
    return phases


# --- one run --------------------------------------------------------------------------------


@dataclasses.dataclass
class Fault:
    kind: str        # a row of FAULT_KINDS
    phase: str       # a row of PHASES
    spec: str = ""   # --fault argument, or empty
    kill_at: int = 0          # SIGKILL the updater once the projector has this frame
    power_cut: bool = False   # the emulator ends at the fault's frame
    programming_mode: bool = False
    erase_ms: int = 0


@dataclasses.dataclass
class Attempt:
    outcome: str            # a column of OUTCOMES
    outside_changed: int    # bytes changed outside the erased range


@dataclasses.dataclass
class RunResult:
    index: int
    fault: Fault
    image_size: int
    first: Attempt
    rerun: object = None    # Attempt, or None when none was needed
    kept: str = ""          # the run's directory, kept when it broke a figure
    seconds: float = 0.0    # both attempts, emulator starts included

    @property
    def recovered(self):
        return self.rerun is not None and self.rerun.outcome == "updated" and self.rerun.outside_changed == 0

    def broke_a_figure(self):
        attempts = [self.first] + ([self.rerun] if self.rerun else [])
        return any(a.outcome in ("hung", "false success") or a.outside_changed for a in attempts) or \
            (self.first.outcome != "updated" and not self.recovered)


def erased_range(image_size):
    """[start, end) of the sectors that overlap the programmed range [0x4000, image_size)."""
    ends = SECTOR_STARTS[1:] + [FLASH_SIZE]
    touched = [(s, e) for s, e in zip(SECTOR_STARTS, ends) if s < image_size and e > BOOT_SECTOR]
    return touched[0][0], touched[-1][1]


class Campaign:
    def __init__(self, binaries, seed, root):
        self.emulator_binary, self.update_binary = binaries
        self.seed = seed
        self.root = root
        self.calibrations = {}
        self.lock = threading.Lock()

    def _rng(self, *parts):
        return random.Random(":".join(str(part) for part in (self.seed,) + parts))

    def calibrate(self, image_size):
        """The frames of a clean update of an image of this size, and their phases."""
        with self.lock:
            if image_size in self.calibrations:
                return self.calibrations[image_size]
        directory = tempfile.mkdtemp(prefix="calibration-", dir=self.root)
        image = self._rng("image", image_size).randbytes(image_size)
        write(os.path.join(directory, "tz4817.img"), image)
        emulator = start_emulator(self.emulator_binary, os.path.join(directory, "flash.bin"), ["--erase-ms", "0"])
        try:
            attempt = self.update(directory, emulator, image, None)
            frames = list(emulator.frames)
        finally:
            emulator.stop()
        if attempt.outcome != "updated":
            raise SystemExit(f"drill: a clean update of {image_size} bytes did not succeed ({attempt.outcome}); "
                             f"see {directory}")
        shutil.rmtree(directory)
        with self.lock:
            self.calibrations[image_size] = (len(frames), phases_of(frames))
        return self.calibrations[image_size]

    def choose_fault(self, index, rng, image_size):
        """The fault of run `index`: the kinds in turn, each with random parameters."""
        kind = FAULT_KINDS[index % len(FAULT_KINDS)]
        frames, phases = self.calibrate(image_size)
        n = rng.randint(1, frames)
        at = phases[n - 1]
        # Faults at frame n, in the phase that frame belongs to.
        at_frame = {
            "drop-reply": lambda: f"drop-reply@{n}",
            "wrong-echo": lambda: f"wrong-echo@{n}",
            "short-reply": lambda: f"short-reply@{n}:{rng.randint(0, 8)}",
            "late-reply": lambda: f"late-reply@{n}:{rng.randint(100, 3000)}",
            "leave": lambda: f"leave@{n}",
            "reboot": lambda: f"reboot@{n}",
        }
        if kind in at_frame:
            return Fault(kind, at, at_frame[kind]())
        if kind == "updater SIGKILL":
            return Fault(kind, at, f"late-reply@{n}:{KILL_HOLD_MS}", kill_at=n)
        if kind == "power cut":
            return Fault(kind, at, f"power-cut@{n}", power_cut=True)
        if kind == "busy-after-erase":
            return Fault(kind, "erase", f"busy-after-erase={rng.randint(1, 10)}")
        if kind == "silent-while-erasing":
            return Fault(kind, "erase", "silent-while-erasing", erase_ms=30)
        if kind == "flip-bit":
            return Fault(kind, "program", f"flip-bit={rng.randrange(BOOT_SECTOR, image_size):#x}:{rng.randint(0, 7)}")
        if kind == "latency":
            return Fault(kind, "whole update", f"latency={rng.randint(100, 2000)}")
        assert kind == "already in programming mode"
        return Fault(kind, "switch", programming_mode=True)

    def image_sizes(self):
        """The image sizes of the campaign: the edges of one and two sectors, and a few between."""
        rng = self._rng("sizes")
        return [0x4001, 0x4038, 0x6000, 0x6001, 0x8000] + [BOOT_SECTOR + rng.randint(1, 0x4000) for _ in range(3)]

    def run(self, index):
        start = time.monotonic()
        rng = self._rng("run", index)
        image_size = rng.choice(self.image_sizes())
        fault = self.choose_fault(index, rng, image_size)
        directory = tempfile.mkdtemp(prefix=f"run{index:05d}-", dir=self.root)
        image = rng.randbytes(image_size)
        write(os.path.join(directory, "tz4817.img"), image)
        flash = os.path.join(directory, "flash.bin")

        arguments = ["--erase-ms", str(fault.erase_ms)]
        if fault.spec:
            arguments += ["--fault", fault.spec]
        if fault.programming_mode:
            arguments.append("--programming-mode")
        emulator = start_emulator(self.emulator_binary, flash, arguments)
        try:
            reference = read(flash)
            first = self.update(directory, emulator, image, reference, fault.kill_at)
            result = RunResult(index, fault, image_size, first)
            if first.outcome != "updated":
                if fault.power_cut and emulator.powered_off(20):
                    emulator.stop()
                    emulator = start_emulator(self.emulator_binary, flash, ["--erase-ms", "0"])
                elif not emulator.clear_faults():
                    raise SystemExit(f"drill: run {index}: tz4817-emu did not end its faults")
                result.rerun = self.update(directory, emulator, image, reference)
        finally:
            emulator.stop()
        result.seconds = time.monotonic() - start
        if result.broke_a_figure():
            result.kept = directory
        else:
            shutil.rmtree(directory)
        return result

    def update(self, directory, emulator, image, reference, kill_at=0):
        """One run of the updater's test build; how it ended, judged by the flash file."""
        environment = dict(os.environ, QRV_USBIP=emulator.address, QRV_TEST_SWITCH_PAUSE_MS=str(SWITCH_PAUSE_MS),
                           QRV_TEST_ATTACH_WAIT_SECONDS=str(ATTACH_WAIT_S))
        attempt = len([name for name in os.listdir(directory) if name.startswith("update")])
        clients_gone = emulator.clients_gone
        with open(os.path.join(directory, f"update{attempt}.log"), "w") as log:
            updater = subprocess.Popen([self.update_binary, "--yes", "-C", directory], env=environment,
                                       stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            deadline = time.monotonic() + HANG_LIMIT_S
            outcome = None
            while updater.poll() is None:
                if kill_at and emulator.frame_seen(kill_at, 0.005):
                    # The projector has the frame and holds its reply: the
                    # updater is waiting for it.
                    updater.kill()
                    outcome = "killed"
                    break
                if time.monotonic() > deadline:
                    updater.kill()
                    outcome = "hung"
                    break
                if not kill_at:
                    try:
                        updater.wait(0.05)
                    except subprocess.TimeoutExpired:
                        pass
            status = updater.wait()
        if outcome == "killed":
            # Until the projector's server has seen the dead client's
            # connection close, that connection may still take the reply it
            # asked for; a real host's kernel cancels a dead program's
            # transfers at once.
            emulator.wait_for(lambda: emulator.clients_gone > clients_gone, 20)
        flash = read(os.path.join(directory, "flash.bin"))
        size = len(image)
        flash_right = flash[BOOT_SECTOR:size] == image[BOOT_SECTOR:size]
        outside = 0
        if reference is not None:
            start, end = erased_range(size)
            outside = differing(flash[:start], reference[:start]) + differing(flash[end:], reference[end:])
        if outcome is None:
            if status == 0:
                outcome = "updated" if flash_right else "false success"
            else:
                outcome = "failed"
        return Attempt(outcome, outside)


# --- the report ------------------------------------------------------------------------------


def differing(a, b):
    """How many bytes of two equally long byte strings differ."""
    return 0 if a == b else sum(x != y for x, y in zip(a, b))


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def figures(results):
    attempts = [a for r in results for a in ([r.first] + ([r.rerun] if r.rerun else []))]
    needing = [r for r in results if r.first.outcome != "updated"]
    recovered = sum(r.recovered for r in needing)
    return {
        "false successes": sum(a.outcome == "false success" for a in attempts),
        "hangs": sum(a.outcome == "hung" for a in attempts),
        "outside": sum(a.outside_changed for a in attempts),
        "recovered": recovered,
        "needing": len(needing),
    }


def table(title, rows, label, results, how=None):
    lines = [f"## By {title}", ""]
    head = f"| {label} | runs | " + " | ".join(OUTCOMES) + " | reruns | recovered |"
    if how:
        head += " how |"
    lines += [head, "|" + "---|" * (head.count("|") - 1)]
    for row in rows:
        chosen = [r for r in results if (r.fault.phase if label == "Phase" else r.fault.kind) == row]
        if not chosen:
            continue
        counts = [sum(r.first.outcome == outcome for r in chosen) for outcome in OUTCOMES]
        reruns = [r for r in chosen if r.first.outcome != "updated"]
        line = f"| {row} | {len(chosen)} | " + " | ".join(str(c) for c in counts)
        line += f" | {len(reruns)} | {sum(r.recovered for r in reruns)} |"
        if how:
            line += f" {how[row]} |"
        lines.append(line)
    return lines + [""]


def report(results, arguments, jobs, seconds):
    f = figures(results)
    recovery = 100.0 * f["recovered"] / f["needing"] if f["needing"] else 100.0
    rows = [
        ("False successes (exit 0 while the flash differs from the image over the range)", "0",
         str(f["false successes"]), f["false successes"] == 0),
        (f"Hangs (no exit within {HANG_LIMIT_S:.0f} s: the attach waits and the longest busy poll, plus a margin)",
         "0", str(f["hangs"]), f["hangs"] == 0),
        ("Bytes changed outside the erased range or in the boot sector", "0", str(f["outside"]), f["outside"] == 0),
        ("Recovery: one clean rerun after a failed or interrupted run leaves the flash equal to the image", "100%",
         f"{recovery:.1f}% ({f['recovered']} of {f['needing']})", f["recovered"] == f["needing"]),
    ]
    minutes, rest = divmod(round(seconds), 60)
    lines = [
        "# Reliability: the fault drill",
        "",
        f"`tools/drill.sh --runs {arguments.runs} --seed {arguments.seed}`: {len(results)} runs, {jobs} at a time "
        f"on {os.cpu_count()} cores, in {minutes} min {rest:02d} s.",
        "",
        "Each run updates a fresh emulated projector (`tz4817-emu --reboot-ms 20 --erase-ms 0`, a factory-fresh "
        "flash file) with a random image: the 16 KB boot sector and 1 to 16384 bytes after it, so one or two "
        "sectors are erased. One fault strikes per run, at a random frame where it has one. The updater is the test "
        f"build of `tz4817-update` (the switch pause shortened to {SWITCH_PAUSE_MS} ms, the attach wait to "
        f"{ATTACH_WAIT_S} s; the shipped program always waits the whole 5 s pause and 30 s attach limit). A run "
        "that does not end updated is followed by one clean rerun against the same emulator, its faults ended "
        "(SIGUSR1; a reply still in the projector's IN endpoint stays there); after a power cut the emulator is "
        "started again on the same flash file.",
        "",
        "A run is judged by the flash file and by the exit status, 0 or not: *updated* is exit 0 with the flash "
        "equal to the image from 0x4000 on; *false success* is exit 0 with any other flash; *failed* is any other "
        "exit status; *killed* is the drill's SIGKILL; *hung* is no exit within the limit. A run that ends updated "
        "though the projector did not confirm leaving programming mode (reboot or leave at the last frame) counts "
        "as updated: its flash is right.",
        "",
        "## The four figures",
        "",
        "| Figure | Must be | Found | |",
        "|---|---|---|---|",
    ]
    lines += [f"| {name} | {must} | {found} | {'holds' if ok else '**does not hold**'} |"
              for name, must, found, ok in rows]
    lines.append("")
    lines += table("phase", PHASES, "Phase", results)
    lines += table("fault kind", FAULT_KINDS, "Fault", results, HOW)
    broken = [r for r in results if r.broke_a_figure()]
    if broken:
        lines += ["## Runs that broke a figure", "", "| Run | Fault | Image bytes | First run | Rerun |",
                  "|---|---|---|---|---|"]
        for r in broken:
            rerun = r.rerun.outcome if r.rerun else "-"
            lines.append(f"| {r.index} | {r.fault.kind} `{r.fault.spec}` | {r.image_size} | {r.first.outcome} | "
                         f"{rerun} |")
        lines.append("")
    return "\n".join(lines), all(ok for _, _, _, ok in rows), rows


# --- the soak ------------------------------------------------------------------------------


def resources(pid):
    """The emulator's resident memory (kB), open descriptors and threads, as /proc has them now."""
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status if ":" in line)
    return (int(fields["VmRSS"].split()[0]), len(os.listdir(f"/proc/{pid}/fd")), int(fields["Threads"]))


def soak(campaign, runs, arguments):
    """`runs` full updates in a row against one emulator; the report's section and whether it holds."""
    directory = tempfile.mkdtemp(prefix="soak-", dir=campaign.root)
    flash = os.path.join(directory, "flash.bin")
    emulator = start_emulator(campaign.emulator_binary, flash, ["--erase-ms", "0"], frames=False)
    checkpoints = sorted({1, (runs + 1) // 2, runs})
    measured, outcomes = [], []
    start = time.monotonic()
    try:
        for index in range(1, runs + 1):
            image = campaign._rng("soak", index).randbytes(FLASH_SIZE)
            write(os.path.join(directory, "tz4817.img"), image)
            outcomes.append(campaign.update(directory, emulator, image, None).outcome)
            for name in os.listdir(directory):
                if name.startswith("update"):
                    os.remove(os.path.join(directory, name))
            if index in checkpoints:
                measured.append((index,) + resources(emulator.process.pid))
            if index % 50 == 0 or index == runs:
                print(f"drill: soak: {index} of {runs} updates", flush=True)
    finally:
        emulator.stop()
    seconds = time.monotonic() - start
    updated = outcomes.count("updated")
    memory = [m[1] for m in measured]
    descriptors = [m[2] for m in measured]
    threads = [m[3] for m in measured]
    # Flat: the descriptors and threads the same after the first update and the last, the memory grown
    # by no more than a page or two of the allocator's (it keeps what it freed).
    flat = descriptors[0] == descriptors[-1] and threads[0] == threads[-1] and memory[-1] - memory[0] <= 256
    minutes, rest = divmod(round(seconds), 60)
    lines = [
        f"## Soak: {runs} full updates in a row against one emulator",
        "",
        f"`tools/drill.sh --soak {runs} --seed {arguments.seed}`: one `tz4817-emu` (`--reboot-ms {REBOOT_MS} "
        "--erase-ms 0`, without its frame log) left running, updated "
        f"{runs} times in a row by the test build of `tz4817-update` with a new 2 MB image each time "
        f"(the whole flash after the boot sector), in {minutes} min {rest:02d} s. After each update the flash "
        "file is compared with its image. The emulator's resident memory, open descriptors and threads are read "
        "from /proc after the first, the middle and the last update.",
        "",
        "| After update | resident memory | open descriptors | threads |",
        "|---|---|---|---|",
    ]
    lines += [f"| {index} | {rss} kB | {fds} | {count} |" for index, rss, fds, count in measured]
    lines += [
        "",
        f"Updated with the flash equal to its image: {updated} of {runs}"
        f"{'' if updated == runs else ' (' + ', '.join(sorted(set(outcomes) - {'updated'})) + ' in the rest)'}. "
        + ("Memory, descriptors and threads stay flat." if flat else
           "**Not flat**: the emulator keeps something per update; see the figures above."),
        "",
    ]
    shutil.rmtree(directory)
    return "\n".join(lines), updated == runs and flat, seconds


def sections(text):
    """The text before the first "## " heading, and the sections from each heading on, in order."""
    head, parts = [], []
    for line in text.splitlines():
        if line.startswith("## "):
            parts.append([line])
        elif parts:
            parts[-1].append(line)
        else:
            head.append(line)
    return "\n".join(head), ["\n".join(part) for part in parts]


CAMPAIGN_SECTIONS = ("## The four figures", "## By phase", "## By fault kind", "## Runs that broke a figure")


def write_report(path, text, soaked=False):
    """Writes the campaign's report (its head and sections) or the soak's section into `path`, keeping
    the sections of the file that the other one, or a person, wrote."""
    old = ""
    if os.path.exists(path):
        with open(path) as file:
            old = file.read()
    old_head, old_parts = sections(old)
    new_head, new_parts = sections(text)
    if soaked:
        kept = [part for part in old_parts if not part.startswith("## Soak")]
        head = old_head if old else "# Reliability"
        at = next((i for i, part in enumerate(old_parts) if part.startswith("## Soak")), len(kept))
        parts = kept[:at] + new_parts + kept[at:]
    else:
        head = new_head
        parts = new_parts + [part for part in old_parts if not part.startswith(CAMPAIGN_SECTIONS)]
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as file:
        file.write("\n\n".join([head.rstrip("\n")] + [part.rstrip("\n") for part in parts]) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, help="the folder with tz4817-emu and tz4817-update-short-wait")
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=4 * (os.cpu_count() or 1),
                        help="runs at a time (default: four per core; most of a run is waiting for a time-out "
                             "of the updater's)")
    parser.add_argument("--report", default="docs/reliability.md")
    parser.add_argument("--soak", type=int, default=0, metavar="N",
                        help="instead of the campaign: N full updates in a row against one emulator")
    arguments = parser.parse_args()
    if arguments.runs < 1 or arguments.jobs < 1 or arguments.soak < 0:
        parser.error("--runs and --jobs must be at least 1, --soak not negative")
    binaries = (os.path.join(arguments.bin, "tz4817-emu"), os.path.join(arguments.bin, "tz4817-update-short-wait"))
    for binary in binaries:
        if not os.access(binary, os.X_OK):
            parser.error(f"{binary} is missing: build it first")

    root = tempfile.mkdtemp(prefix="tz4817-drill-")
    campaign = Campaign(binaries, arguments.seed, root)
    if arguments.soak:
        text, held, seconds = soak(campaign, arguments.soak, arguments)
        write_report(arguments.report, text, soaked=True)
        print("\n".join(line for line in text.splitlines() if line.startswith("|") or line.startswith("Updated")))
        print(f"drill: soak of {arguments.soak} updates in {seconds:.0f} s; report in {arguments.report}")
        shutil.rmtree(root)
        return 0 if held else 1
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(arguments.jobs) as pool:
        list(pool.map(campaign.calibrate, campaign.image_sizes()))
    results = []
    with concurrent.futures.ThreadPoolExecutor(arguments.jobs) as pool:
        for result in pool.map(campaign.run, range(1, arguments.runs + 1)):
            results.append(result)
            if len(results) % 100 == 0 or len(results) == arguments.runs:
                print(f"drill: {len(results)} of {arguments.runs} runs", flush=True)
    seconds = time.monotonic() - start

    text, held, rows = report(results, arguments, arguments.jobs, seconds)
    write_report(arguments.report, text)
    for name, must, found, ok in rows:
        print(f"drill: {name}: {found} (must be {must}){'' if ok else '  DOES NOT HOLD'}")
    print(f"drill: {len(results)} runs in {seconds:.0f} s; report in {arguments.report}")
    kept = [r.kept for r in results if r.kept]
    if kept:
        print("drill: the runs that broke a figure are kept in " + ", ".join(kept))
    else:
        shutil.rmtree(root)
    return 0 if held else 1


if __name__ == "__main__":
    sys.exit(main())
