#!/usr/bin/env python3
"""The INF checker (tools/check-inf.py) passes the projector's INF and
rejects each broken copy of it in the table, naming the fault.

Usage: python3 tools/tests/check_inf_test.py
"""

# SPDX-License-Identifier: MIT
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CHECKER = ROOT / "tools" / "check-inf.py"
INF = (ROOT / "packaging" / "windows" / "tz4817.inf").read_text(encoding="utf-8")
IDS = ["USB\\VID_E7A2&PID_051E", "USB\\VID_E7B9&PID_2000"]

# (what is broken, text replaced, replacement, what the checker must say)
BROKEN = [
    ("a line before any section", "[Version]", "Signature = x\n[Version]", "outside any section"),
    ("a section header not closed", "[Strings]", "[Strings", "bad section header"),
    ("a quote not closed", '"tz4817 Projector"', '"tz4817 Projector', "not closed"),
    ("a string token not defined", "%ManufacturerName% =", "%Maker% =", "%Maker% is not defined"),
    ("no models for 64-bit Windows", "Projector, NTamd64", "Projector", "NTamd64"),
    ("the decorated models section missing", "[Projector.NTamd64]", "[Projector.NTx86]", "[Projector.NTamd64] is missing"),
    ("a model's install section missing", "[Projector_Install]", "[Projector_Setup]", "[Projector_Install] is missing"),
    ("the service section missing", "[Projector_Install.Services]", "[Projector_Install.Service]", "no [Projector_Install.Services]"),
    ("the AddReg section missing", "[Projector_AddReg]", "[Projector_Reg]", "[Projector_AddReg], which is missing"),
    ("a registry entry without a root", "HKR,,DeviceInterfaceGUIDs", "HRK,,DeviceInterfaceGUIDs", "must start with HKR"),
    ("the programming mode's id lost", "USB\\VID_E7B9&PID_2000", "USB\\VID_E7B9&PID_2001", "PID_2000"),
    ("no catalog named", "CatalogFile = tz4817.cat", "", "CatalogFile"),
    ("a driver version of the wrong form", "DriverVer   = 12/09/2026,", "DriverVer = 2026-12-09,", "DriverVer"),
]


def check(text):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "tz4817.inf"
        path.write_text(text, encoding="utf-8")
        arguments = [sys.executable, str(CHECKER), str(path)]
        for hardware_id in IDS:
            arguments += ["--hardware-id", hardware_id]
        return subprocess.run(arguments, capture_output=True, text=True)


class CheckInfTest(unittest.TestCase):
    def test_the_projectors_inf_passes(self):
        result = check(INF)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_each_broken_inf_is_rejected_with_its_fault(self):
        for name, old, new, said in BROKEN:
            with self.subTest(name):
                self.assertIn(old, INF)
                result = check(INF.replace(old, new, 1))
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(said, result.stderr)


if __name__ == "__main__":
    unittest.main()
