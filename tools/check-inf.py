#!/usr/bin/env python3
"""Checks a driver information file (INF) for the faults that make Windows
refuse it or install it wrongly, without Windows: it must parse (sections,
directives as key = value, quotes closed, every %token% defined in
[Strings]), [Version] must name its class, provider, catalog and driver
version, the models of 64-bit Windows (an NTamd64 decoration) must exist,
every section that a directive names must exist (AddReg, CopyFiles,
AddService and the like; Include and Needs name sections of other INFs), and
each device's install section must have its .Services section. With
--hardware-id, each id given must be one that a model installs.

Usage: python3 tools/check-inf.py FILE.inf [--hardware-id ID]...
Prints "FILE.inf:LINE: problem" for each fault found (exit status 1), or one
line saying what the file installs (exit status 0).
"""

# SPDX-License-Identifier: MIT
import argparse
import re
import sys

# Directives whose values are names of sections of this file.
SECTION_LISTS = {"addreg", "delreg", "bitreg", "copyfiles", "delfiles", "renfiles", "addproperty", "delproperty"}
# Sections of key = value lines; the others (AddReg sections, file lists) hold plain entries.
REGISTRY_ROOTS = {"hkr", "hkcr", "hkcu", "hklm", "hku"}
GUID = re.compile(r"^\{[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}\}$")
DRIVER_VERSION = re.compile(r"^(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/\d{4}\s*,\s*\d+(\.\d+){3}$")
TOKEN = re.compile(r"%([^%]*)%")


class Line:
    def __init__(self, number, text):
        self.number = number
        self.text = text
        key, equals, value = text.partition("=")
        self.key = key.strip().lower() if equals and '"' not in key else None
        self.value = value.strip() if self.key is not None else text

    def fields(self):
        """The comma-separated fields of the value, quotes taken off."""
        return [field.strip().strip('"').strip() for field in self.value.split(",")]


class Inf:
    def __init__(self, path):
        self.path = path
        self.sections = {}  # lower-case name -> [Line]
        self.headers = {}  # lower-case name -> (line number of its first header, name as written)
        self.errors = []

    def error(self, number, text):
        self.errors.append(f"{self.path}:{number}: {text}")

    def parse(self, text):
        current = None
        pending, first = "", 0
        for number, raw in enumerate(text.splitlines(), 1):
            content, closed = strip_comment(raw)
            if not closed:
                self.error(number, "a quoted string is not closed")
                continue
            content = content.strip()
            if content.endswith("\\"):
                pending, first = pending + content[:-1], first or number
                continue
            content, number, pending, first = (pending + content).strip(), first or number, "", 0
            if not content:
                continue
            if content.startswith("["):
                match = re.fullmatch(r"\[([^\[\]]+)\]", content)
                if not match:
                    self.error(number, f"a bad section header: {content}")
                    current = None
                    continue
                current = match.group(1).strip().lower()
                self.sections.setdefault(current, [])
                self.headers.setdefault(current, (number, match.group(1).strip()))
            elif current is None:
                self.error(number, f"a line outside any section: {content}")
            else:
                self.sections[current].append(Line(number, content))

    def section(self, name):
        return self.sections.get(name.lower())

    def line(self, name):
        return self.headers[name.lower()][0]

    def written(self, name):
        return self.headers[name.lower()][1]

    def has(self, name):
        return name.lower() in self.sections

    def value(self, section, key):
        for line in self.sections.get(section, []):
            if line.key == key:
                return line
        return None


def strip_comment(raw):
    """The line without its comment, and False when a quote is left open."""
    quoted = False
    for at, char in enumerate(raw):
        if char == '"':
            quoted = not quoted  # "" inside a string toggles twice
        elif char == ";" and not quoted:
            return raw[:at], True
    return raw, not quoted


def check_tokens(inf):
    strings = set()
    for name, lines in inf.sections.items():
        if name == "strings" or name.startswith("strings."):
            strings.update(line.key for line in lines if line.key)
    for name, lines in inf.sections.items():
        if name == "strings" or name.startswith("strings."):
            continue
        for line in lines:
            for token in TOKEN.findall(line.text):
                # %% is a percent sign, %10% a folder of Windows (a DIRID).
                if token and not token.isdigit() and token.lower() not in strings:
                    inf.error(line.number, f"%{token}% is not defined in [Strings]")


def check_key_values(inf, keyed):
    for name in keyed:
        for line in inf.sections.get(name, []):
            if line.key is None or not line.key:
                inf.error(line.number, f"[{name}] holds key = value lines, not: {line.text}")


def check_version(inf):
    if not inf.has("version"):
        inf.error(1, "no [Version] section")
        return
    signature = inf.value("version", "signature")
    if signature is None or signature.value.strip('"').lower() not in ("$windows nt$", "$chicago$"):
        inf.error(inf.line("version"), 'Signature must be "$Windows NT$"')
    for key in ("class", "classguid", "provider", "driverver"):
        if inf.value("version", key) is None:
            inf.error(inf.line("version"), f"[Version] has no {key}")
    class_guid = inf.value("version", "classguid")
    if class_guid and not GUID.match(class_guid.value):
        inf.error(class_guid.number, f"ClassGuid is not a GUID: {class_guid.value}")
    driver_version = inf.value("version", "driverver")
    if driver_version and not DRIVER_VERSION.match(driver_version.value):
        inf.error(driver_version.number, f"DriverVer is not mm/dd/yyyy,w.x.y.z: {driver_version.value}")
    if not any(line.key and line.key.startswith("catalogfile") for line in inf.sections["version"]):
        inf.error(inf.line("version"), "[Version] names no CatalogFile (Windows wants a signed catalog)")


def install_section(inf, name):
    """The section Windows takes for install section `name` on 64-bit Windows."""
    for candidate in (f"{name}.ntamd64", f"{name}.nt", name):
        if inf.has(candidate):
            return candidate.lower()
    return None


def check_models(inf, hardware_ids):
    """Checks [Manufacturer], its models and their install sections; returns
    the install sections and the hardware ids installed."""
    installs, installed, amd64 = set(), set(), False
    keyed = {"version", "manufacturer"}
    if not inf.has("manufacturer"):
        inf.error(1, "no [Manufacturer] section")
    for entry in inf.sections.get("manufacturer", []):
        models, *decorations = entry.fields()
        amd64 = amd64 or any(d.lower().startswith("ntamd64") for d in decorations)
        for decoration in decorations or [""]:
            name = f"{models}.{decoration}" if decoration else models
            if not inf.has(name):
                inf.error(entry.number, f"the models section [{name}] is missing")
                continue
            keyed.add(name.lower())
            for model in inf.section(name):
                fields = model.fields()
                if model.key is None or len(fields) < 2 or not fields[0] or not fields[1]:
                    inf.error(model.number, f"a model is description = install-section, hardware-id: {model.text}")
                    continue
                found = install_section(inf, fields[0])
                if found is None:
                    inf.error(model.number, f"the install section [{fields[0]}] is missing")
                    continue
                installs.add(found)
                installed.update(field.lower() for field in fields[1:] if field)
    if inf.has("manufacturer") and not amd64:
        inf.error(inf.line("manufacturer"), "no models for 64-bit Windows (an NTamd64 decoration)")
    for install in sorted(installs):
        keyed.update({install, f"{install}.services", f"{install}.hw"} & set(inf.sections))
        if not inf.has(f"{install}.services"):
            inf.error(inf.line(install), f"[{inf.written(install)}] has no [{inf.written(install)}.Services] section")
    for wanted in hardware_ids:
        if wanted.lower() not in installed:
            inf.error(1, f"no model installs the hardware id {wanted}")
    check_key_values(inf, keyed)
    return installed


def check_references(inf):
    for name, lines in inf.sections.items():
        for line in lines:
            if line.key in SECTION_LISTS:
                named = [field for field in line.fields() if field and not field.startswith("@")]
            elif line.key == "addservice":
                named = [field for field in line.fields()[2:4] if field]
            else:
                continue
            for section in named:
                if not inf.has(section):
                    inf.error(line.number, f"{line.key} names [{section}], which is missing")
                elif line.key in ("addreg", "delreg"):
                    for entry in inf.section(section):
                        if entry.fields()[0].lower() not in REGISTRY_ROOTS:
                            inf.error(entry.number, f"a registry entry must start with HKR, HKLM, ...: {entry.text}")


def main():
    parser = argparse.ArgumentParser(description="Checks a driver information file (INF).")
    parser.add_argument("inf")
    parser.add_argument("--hardware-id", action="append", default=[], help="a hardware id a model must install")
    arguments = parser.parse_args()
    inf = Inf(arguments.inf)
    try:
        with open(arguments.inf, encoding="utf-8-sig") as file:
            inf.parse(file.read())
    except (OSError, UnicodeDecodeError) as error:
        print(f"{arguments.inf}: cannot be read: {error}", file=sys.stderr)
        return 1
    check_version(inf)
    installed = check_models(inf, arguments.hardware_id)
    check_references(inf)
    check_tokens(inf)
    if inf.errors:
        print("\n".join(inf.errors), file=sys.stderr)
        return 1
    print(f"{arguments.inf}: ok, {len(inf.sections)} sections, installs {', '.join(sorted(installed))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
