#!/usr/bin/env python3
"""Holds the host-facing headers and the built DLL to include/quenlix/host_abi.txt.

  abi_check.py headers --include DIR --table FILE --work DIR
      Every interface's slots as the host's compiler lays them out (clang
      emulating it, i686-pc-windows-msvc) and as the DLL's compiler does
      (i686-w64-mingw32-g++): order, names and bytes popped on return, from
      code both compilers generate; record sizes and offsets; no driver-only
      header reachable from a host-facing one; nothing undeclared.
  abi_check.py dll --dll FILE --table FILE --tools PREFIX
      The DLL's own tables: each slot of each implemented interface points at
      the named operation, and that operation pops what the table says; the
      exports return to the caller without popping.
  abi_check.py shim --work DIR
      Writes the freestanding <cstdint> that the host-compiler builds use.
Exit status 1 with one line per difference.
"""
import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

HOST_TARGET = "i686-pc-windows-msvc"
MINGW_CXX = "i686-w64-mingw32-g++-posix"
CDECL = "cdecl"


class Table:
    def __init__(self, path):
        self.interfaces = []  # dicts: name, impl, slots [(method, pops)]
        self.records = []  # dicts: name, size, fields [(field, offset)]
        self.exports = []
        self.internal = []
        current = None
        for number, raw in enumerate(Path(path).read_text().splitlines(), 1):
            line = raw.split("#", 1)[0].rstrip()
            if not line:
                continue
            words = line.split()
            if not raw.startswith(" "):
                current = None
                if words[0] == "interface" and len(words) in (2, 4):
                    current = {"name": words[1], "impl": words[3] if len(words) == 4 else None,
                               "slots": []}
                    self.interfaces.append(current)
                elif words[0] == "record" and len(words) == 3:
                    current = {"name": words[1], "size": int(words[2]), "fields": []}
                    self.records.append(current)
                elif words[0] == "export" and len(words) == 3:
                    self.exports.append(words[1])
                elif words[0] == "internal" and len(words) == 2:
                    self.internal.append(words[1])
                else:
                    sys.exit(f"{path}:{number}: cannot read '{raw}'")
            elif current is not None and "slots" in current and len(words) == 3:
                if int(words[0]) != len(current["slots"]):
                    sys.exit(f"{path}:{number}: slot {words[0]} out of order")
                current["slots"].append((words[1], words[2]))
            elif current is not None and "fields" in current and len(words) == 2:
                current["fields"].append((words[0], int(words[1])))
            else:
                sys.exit(f"{path}:{number}: cannot read '{raw}'")


def short(name):
    return name.split("::")[-1]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


# ---- headers ---------------------------------------------------------------

def write_shim(work):
    shim = Path(work) / "shim"
    shim.mkdir(parents=True, exist_ok=True)
    # The host builds freestanding: no C++ library, only the compiler's own
    # <stdint.h>. A host-facing header that needs more does not compile.
    (shim / "cstdint").write_text(
        "#pragma once\n#include <stdint.h>\nnamespace std {\n"
        "using ::int8_t; using ::int16_t; using ::int32_t; using ::int64_t;\n"
        "using ::uint8_t; using ::uint16_t; using ::uint32_t; using ::uint64_t;\n}\n")
    return shim


def host_cxx(work, include):
    return ["clang++", f"--target={HOST_TARGET}", "-std=c++17", "-ffreestanding", "-nostdinc++",
            "-isystem", str(write_shim(work)), "-I", str(include), "-fno-rtti", "-fno-exceptions"]


def mingw_cxx(include):
    return [MINGW_CXX, "-std=c++17", "-I", str(include), "-fno-rtti"]


CLASS_RE = re.compile(r"\b(class|struct)\s+(\w+)\s*(?::[^;{]*)?\{")


def check_declarations(include, table, errors):
    headers = sorted(p.name for p in (include / "quenlix").glob("*.h"))
    host = [h for h in headers if h not in table.internal]
    known = {short(i["name"]) for i in table.interfaces} | {short(r["name"]) for r in table.records}
    for h in host:
        text = (include / "quenlix" / h).read_text()
        for internal in table.internal:
            if f'"quenlix/{internal}"' in text:
                errors.append(f"{h} includes the driver-only header {internal}")
        for m in CLASS_RE.finditer(text):
            if m.group(2) not in known:
                errors.append(f"{h}: {m.group(1)} {m.group(2)} is not in the table")
    return host


VFTABLE_RE = re.compile(r"^VFTable for '([^']+)'(?: in '([^']+)')? \((\d+) entries\)")
ENTRY_RE = re.compile(r"^\s+(\d+) \| (.*)$")
SIG_RE = re.compile(r"^(.*?)((?:[A-Za-z_]\w*::)+)(~?[A-Za-z_]\w*)\((.*)\)$")


def parse_signature(text):
    """'bool quenlix::X::Start(uint32_t) [pure]' -> (return type, method, params)."""
    text = re.sub(r"( \[[^\]]*\])+$", "", text.strip())
    m = SIG_RE.match(text)
    if not m:
        return None
    return m.group(1).strip(), m.group(3), m.group(4)


def host_vftables(include, work, host_headers, table, errors):
    """Each interface's slots as the host's compiler lays them out."""
    probe = Path(work) / "probe.cpp"
    lines = [f'#include "quenlix/{h}"' for h in host_headers]
    for n, itf in enumerate(table.interfaces):
        if itf["slots"]:
            # Taking a member pointer makes the compiler lay out the table.
            lines.append(f"auto probe_{n} = &{itf['name']}::{itf['slots'][0][0]};")
    probe.write_text("\n".join(lines) + "\n")
    r = run(host_cxx(work, include) + ["-Xclang", "-fdump-vtable-layouts", "-S", "-o", os.devnull,
                                       str(probe)])
    if r.returncode != 0:
        errors.append("the host-facing headers do not compile for the host's compiler:\n" + r.stderr)
        return {}
    tables = {}
    seen = {}
    current = None
    for line in r.stdout.splitlines():
        m = VFTABLE_RE.match(line)
        if m:
            owner = m.group(2) or m.group(1)
            key = (m.group(1), owner)
            current = None
            if key in seen:
                continue
            seen[key] = True
            if owner in tables:
                errors.append(f"{owner} has more than one table (more than one polymorphic base)")
                continue
            current = tables.setdefault(owner, [])
            continue
        m = ENTRY_RE.match(line)
        if m and current is not None:
            if m.group(2).endswith(" RTTI"):
                continue
            sig = parse_signature(m.group(2))
            if sig is None:
                errors.append(f"cannot read the slot '{m.group(2)}'")
                continue
            current.append(sig)
        elif not line.strip():
            current = None
    return tables


def impl_source(host_headers, table, tables):
    lines = [f'#include "quenlix/{h}"' for h in host_headers]
    for n, itf in enumerate(table.interfaces):
        sigs = tables.get(itf["name"])
        if not sigs:
            continue
        lines.append(f"struct Impl_{n} final : public {itf['name']} {{")
        for ret, method, params in sigs:
            if method.startswith("~"):
                continue  # the implicit destructor overrides it
            body = "{}" if ret == "void" else "{ return {}; }"
            lines.append(f"  {ret} {method}({params}) override {body}")
        lines.append("};")
        lines.append(f"Impl_{n} impl_{n};")
    return "\n".join(lines) + "\n"


MS_VFTABLE_RE = re.compile(r'^"\?\?_7Impl_(\d+)@@6B@":')
GNU_VTABLE_RE = re.compile(r"^__ZTV(\d+)Impl_(\d+):")
RET_RE = re.compile(r"^\s+retl?(?:\s+\$(\d+))?\s*(?:#.*)?$")


def method_of_symbol(sym):
    sym = sym.strip('"')
    if sym.startswith("??1") or sym.startswith("??_G") or sym.startswith("??_E"):
        return "~"
    if sym.startswith("?"):
        return sym[1:].split("@", 1)[0]
    m = re.match(r"__ZN(\d+)", sym)
    if not m:
        return sym
    rest = sym[m.end() + int(m.group(1)):]  # past the class name
    if rest.startswith("D"):
        return "~"
    n = re.match(r"\d+", rest)
    return rest[n.end():n.end() + int(n.group(0))] if n else sym


def parse_asm(text):
    """vtables {interface index: [symbol, ...]} and pops {symbol: set of pops}."""
    vtables, pops = {}, {}
    lines = text.splitlines()
    current_fn = None
    i = 0
    while i < len(lines):
        line = lines[i]
        m = MS_VFTABLE_RE.match(line)
        g = GNU_VTABLE_RE.match(line)
        if m or g:
            index = int(m.group(1) if m else g.group(2))
            entries = []
            i += 1
            while i < len(lines) and lines[i].strip().startswith(".long"):
                entries.append(lines[i].split(None, 1)[1].strip())
                i += 1
            if g:
                entries = entries[2:]  # offset to top, type information
            vtables[index] = entries
            current_fn = None
            continue
        lm = re.match(r'^("[^"]+"|[A-Za-z_.$?@][\w.$?@]*):', line)
        if lm and not lm.group(1).startswith(("L", ".L", '"L')):
            current_fn = lm.group(1).strip('"')
        elif current_fn is not None:
            r = RET_RE.match(line)
            if r:
                pops.setdefault(current_fn, set()).add(int(r.group(1) or 0))
        i += 1
    return vtables, pops


def expected_pops(value):
    return 0 if value == CDECL else int(value)


def compare_slots(label, itf, got, errors):
    """got: [(method, pops)] in slot order."""
    want = itf["slots"]
    for slot in range(max(len(want), len(got))):
        w = want[slot] if slot < len(want) else None
        g = got[slot] if slot < len(got) else None
        if w is None:
            errors.append(f"{itf['name']} slot {slot}: {label} has {g[0]}, the table has no such slot")
        elif g is None:
            errors.append(f"{itf['name']} slot {slot}: the table has {w[0]}, {label} has no such slot")
        elif g[0] != w[0]:
            errors.append(f"{itf['name']} slot {slot}: the table has {w[0]}, {label} has {g[0]}")
        elif g[1] != expected_pops(w[1]):
            errors.append(f"{itf['name']} slot {slot} {w[0]}: the table says it pops {w[1]}, "
                          f"{label} pops {g[1]}")


def check_compiled_slots(label, cmd, source, work, table, errors):
    src = Path(work) / "impl.cpp"
    src.write_text(source)
    asm = Path(work) / f"impl-{label.split()[0]}.s"
    r = run(cmd + ["-O1", "-S", "-o", str(asm), str(src)])
    if r.returncode != 0:
        errors.append(f"{label} cannot implement the interfaces:\n{r.stderr}")
        return
    vtables, pops = parse_asm(asm.read_text())
    for n, itf in enumerate(table.interfaces):
        if n not in vtables:
            errors.append(f"{itf['name']}: {label} emitted no table")
            continue
        got = []
        for sym in vtables[n]:
            p = pops.get(sym.strip('"'), set())
            got.append((method_of_symbol(sym), p.pop() if len(p) == 1 else -1))
        compare_slots(label, itf, got, errors)


def check_records(include, work, host_headers, table, errors):
    lines = [f'#include "quenlix/{h}"' for h in host_headers]
    for rec in table.records:
        lines.append(f'static_assert(sizeof({rec["name"]}) == {rec["size"]}, '
                     f'"{rec["name"]}: size is not {rec["size"]}");')
        for field, offset in rec["fields"]:
            lines.append(f'static_assert(__builtin_offsetof({rec["name"]}, {field}) == {offset}, '
                         f'"{rec["name"]}::{field}: offset is not {offset}");')
    src = Path(work) / "records.cpp"
    src.write_text("\n".join(lines) + "\n")
    for label, cmd in (("the host's compiler", host_cxx(work, include)),
                       ("the DLL's compiler", mingw_cxx(include))):
        r = run(cmd + ["-fsyntax-only", str(src)])
        if r.returncode != 0:
            msgs = re.findall(r'static assertion failed[^"]*"([^"]+)"', r.stderr)
            errors.extend(f"{m} under {label}" for m in msgs)
            if not msgs:
                errors.append(f"records do not compile under {label}:\n{r.stderr}")


def cmd_headers(args):
    include = Path(args.include).resolve()
    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    table = Table(args.table)
    errors = []
    host_headers = check_declarations(include, table, errors)
    tables = host_vftables(include, work, host_headers, table, errors)
    for itf in table.interfaces:
        if itf["name"] not in tables:
            errors.append(f"{itf['name']}: the host's compiler laid out no table")
    if tables:
        source = impl_source(host_headers, table, tables)
        check_compiled_slots(f"clang {HOST_TARGET} (the host's ABI)", host_cxx(work, include),
                             source, work, table, errors)
        check_compiled_slots("i686-w64-mingw32-g++ (the DLL's ABI)", mingw_cxx(include), source,
                             work, table, errors)
    check_records(include, work, host_headers, table, errors)
    return report("headers", errors, f"{len(table.interfaces)} interfaces, "
                  f"{len(table.records)} records, both compilers")


# ---- the DLL ---------------------------------------------------------------

def itanium_name(name):
    parts = name.split("::")
    encoded = "".join(f"{len(p)}{p}" for p in parts)
    return f"N{encoded}E" if len(parts) > 1 else encoded


class Dll:
    def __init__(self, path, tools):
        self.path = path
        self.tools = tools
        r = run([f"{tools}nm", "--defined-only", path])
        if r.returncode != 0:
            sys.exit(f"nm failed on {path}: {r.stderr}")
        self.by_name, self.by_addr = {}, {}
        text = []
        for line in r.stdout.splitlines():
            parts = line.split()
            if len(parts) != 3:
                continue
            addr = int(parts[0], 16)
            self.by_name[parts[2]] = addr
            if parts[1] in "Tt" and not parts[2].startswith("."):
                self.by_addr.setdefault(addr, parts[2])
                text.append(addr)
        self.text = sorted(set(text))
        if not self.text:
            sys.exit(f"{path} has no symbols: check the unstripped build")

    def words(self, start, count):
        r = run([f"{self.tools}objdump", "-s", f"--start-address={start:#x}",
                 f"--stop-address={start + 4 * count:#x}", self.path])
        data = b""
        for line in r.stdout.splitlines():
            m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8} ?){1,4})", line)
            if m:
                data += bytes.fromhex(m.group(2).replace(" ", ""))
        return [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data) - 3, 4)]

    def end_of(self, addr):
        later = [a for a in self.text if a > addr]
        return later[0] if later else addr + 0x1000

    def pops(self, addr, depth=0):
        """Bytes popped by every return of the function at addr, following a tail jump."""
        r = run([f"{self.tools}objdump", "-d", "--no-show-raw-insn", f"--start-address={addr:#x}",
                 f"--stop-address={self.end_of(addr):#x}", self.path])
        found, last_jump = set(), None
        for line in r.stdout.splitlines():
            m = re.match(r"^\s*[0-9a-f]+:\s+ret\s*(?:\$0x([0-9a-f]+))?\s*$", line)
            if m:
                found.add(int(m.group(1) or "0", 16))
            j = re.match(r"^\s*[0-9a-f]+:\s+jmp\s+([0-9a-f]+)\b", line)
            if j:
                last_jump = int(j.group(1), 16)
        if not found and last_jump in self.by_addr and depth < 4:
            return self.pops(last_jump, depth + 1)
        return found

    def demangled(self, sym):
        r = run([f"{self.tools}c++filt", sym])
        return r.stdout.strip()

    def exports(self):
        r = run([f"{self.tools}objdump", "-p", self.path])
        base = re.search(r"^ImageBase\s+([0-9a-f]+)", r.stdout, re.M)
        base = int(base.group(1), 16) if base else 0
        found = {}
        section = re.search(r"\[Ordinal/Name Pointer\] Table[^\n]*\n(.*?)\n\s*\n", r.stdout, re.S)
        table = re.search(r"Export Address Table -- Ordinal Base (\d+)\n(.*?)\n\s*\n", r.stdout, re.S)
        if not section or not table:
            return found
        ordinal_base = int(table.group(1))
        rvas = {}
        for line in table.group(2).splitlines():
            m = re.match(r"^\s*\[\s*(\d+)\](?: \+base\[\s*\d+\])?\s+([0-9a-f]+) Export RVA", line)
            if m:
                rvas[int(m.group(1))] = int(m.group(2), 16)
        # "[   0] Name" (older binutils: the index is the table slot) or
        # "[   0] +base[   1] 0000 Name" (newer: the ordinal, then the hint).
        for line in section.group(1).splitlines():
            m = re.match(r"^\s*\[\s*(\d+)\](?: \+base\[\s*(\d+)\]\s+[0-9a-f]+)?\s+(\S+)$", line)
            if not m:
                continue
            slot = int(m.group(2)) - ordinal_base if m.group(2) else int(m.group(1))
            if slot in rvas:
                found[m.group(3)] = base + rvas[slot]
        return found


def cmd_dll(args):
    table = Table(args.table)
    dll = Dll(args.dll, args.tools)
    errors = []
    checked = 0
    for itf in table.interfaces:
        if not itf["impl"]:
            continue
        vt_sym = "__ZTV" + itanium_name(itf["impl"])
        if vt_sym not in dll.by_name:
            errors.append(f"{itf['name']}: no table of {itf['impl']} in the DLL ({vt_sym})")
            continue
        words = dll.words(dll.by_name[vt_sym], 2 + len(itf["slots"]))
        if len(words) < 2 + len(itf["slots"]) or words[0] != 0:
            errors.append(f"{itf['name']}: cannot read the primary table of {itf['impl']}")
            continue
        got = []
        for target in words[2:]:
            sym = dll.by_addr.get(target)
            if sym is None:
                got.append((f"<no function at {target:#x}>", -1))
                continue
            name = dll.demangled(sym)
            m = re.search(r"::(~?\w+)\(", name)
            p = dll.pops(target)
            got.append((m.group(1) if m else name, p.pop() if len(p) == 1 else -1))
        compare_slots(f"the DLL ({itf['impl']})", itf, got, errors)
        checked += 1
    exports = dll.exports()
    for name in table.exports:
        if name not in exports:
            errors.append(f"export {name} is missing")
            continue
        p = dll.pops(exports[name])
        if p != {0}:
            errors.append(f"export {name} pops {sorted(p)} on return; a cdecl function pops nothing")
    return report("dll", errors, f"{checked} implemented interfaces, {len(table.exports)} exports "
                  f"in {Path(args.dll).name}")


def report(what, errors, summary):
    for e in errors:
        print(f"abi-check {what}: {e}")
    if errors:
        print(f"abi-check {what}: FAILED ({len(errors)} differences)")
        return 1
    print(f"abi-check {what}: ok ({summary})")
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    h = sub.add_parser("headers")
    h.add_argument("--include", required=True)
    h.add_argument("--table", required=True)
    h.add_argument("--work", required=True)
    d = sub.add_parser("dll")
    d.add_argument("--dll", required=True)
    d.add_argument("--table", required=True)
    d.add_argument("--tools", default="i686-w64-mingw32-")
    s = sub.add_parser("shim")
    s.add_argument("--work", required=True)
    args = p.parse_args()
    if args.cmd == "headers":
        return cmd_headers(args)
    if args.cmd == "dll":
        return cmd_dll(args)
    print(write_shim(args.work))
    return 0


if __name__ == "__main__":
    sys.exit(main())
