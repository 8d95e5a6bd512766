#!/usr/bin/env python3
"""Static checks of a built ryn.dll, read with the mingw objdump:

  machine type, exported names and ordinals (undecorated), the stack bytes
  each 32-bit export pops on return, the type library's syskind, the resource
  tree, and an allow-list of imported DLLs (only DLLs every Windows has, so no
  runtime DLL is ever needed beside it).

    pe_static_checks.py OBJDUMP 32|64 RYN.DLL
"""
import re
import subprocess
import sys

# Ordinal, name and the bytes of arguments a 32-bit __stdcall export pops.
EXPORTS = [
    (1, "DllCanUnloadNow", 0),
    (2, "DllGetClassObject", 12),  # REFCLSID, REFIID, void**
    (3, "DllRegisterServer", 0),
    (4, "DllUnregisterServer", 0),
    (5, "DllInstall", 8),  # BOOL, LPCWSTR
]
# (type, name, language) of every resource.
RESOURCES = {
    ("REGISTRY", 0x66, 0x419),
    ("TYPELIB", 0x1, 0x409),
    ("6", 0x7, 0x409),  # RT_STRING, the block of strings 96..111
    ("16", 0x1, 0x409),  # RT_VERSION
}
SYSTEM_DLLS = {"advapi32.dll", "dsound.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "user32.dll"}
MACHINE = {32: ("pei-i386", "i386"), 64: ("pei-x86-64", "i386:x86-64")}
SYSKIND = {32: 1, 64: 3}  # SYS_WIN32, SYS_WIN64
SYSKIND_NAMES = {0: "win16", 1: "win32", 2: "mac", 3: "win64"}

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
        print(f"ok: {what}")
    else:
        failed += 1
        print(f"FAIL: {what}")


def objdump(*args):
    return subprocess.run([OBJDUMP, *args, DLL], check=True, capture_output=True, text=True).stdout


def exports(private):
    rvas = dict(re.findall(r"^\s*\[\s*\d+\] \+base\[\s*(\d+)\] ([0-9a-f]+) Export RVA", private, re.M))
    base = int(re.search(r"^Ordinal Base\s+(\d+)", private, re.M).group(1))
    table = private.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n", 1)[0]
    names = {}
    for index, name in re.findall(r"^\s*\[\s*(\d+)\] (\S+)", table, re.M):
        ordinal = int(index) + base
        names[name] = (ordinal, int(rvas.get(str(ordinal), "0"), 16))
    return names


def popped_bytes(address):
    """The immediate of every ret in the function that starts at ADDRESS."""
    listing = objdump("-d", "--no-show-raw-insn", f"--start-address={address:#x}", f"--stop-address={address + 0x1000:#x}")
    body = listing.split(">:\n", 1)[1]
    body = re.split(r"^[0-9a-f]+ <[^>]+>:$", body, maxsplit=1, flags=re.M)[0]
    return [int(n, 16) if n else 0 for n in re.findall(r"\tret\s*(?:\$0x([0-9a-f]+))?\s*$", body, re.M)]


def resources(private):
    """{(type, name, language)} and each one's (RVA, size) from objdump's tree,
    which indents the type, name and language levels by 3, 5 and 7 blanks."""
    tree = private.partition("The .rsrc Resource Directory section:")[2]
    path = {}
    leaves = {}
    for line in tree.splitlines():
        entry = re.match(r"^[0-9a-f]+( +)Entry: (?:name: \[[^]]*\]: (\S+)|ID: 0x([0-9a-f]+)), Value", line)
        if entry:
            level = {3: "type", 5: "name", 7: "language"}[len(entry.group(1))]
            label = entry.group(2) or int(entry.group(3), 16)
            path[level] = str(label) if level == "type" else label
            continue
        leaf = re.search(r"Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)", line)
        if leaf:
            leaves[(path["type"], path["name"], path["language"])] = (int(leaf.group(1), 16), int(leaf.group(2), 16))
    return leaves


def read_bytes(address, size):
    listing = objdump("-s", "-j", ".rsrc", f"--start-address={address:#x}", f"--stop-address={address + size:#x}")
    data = bytearray()
    for line in listing.splitlines():
        match = re.match(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})", line)
        if match:
            data += bytes.fromhex(match.group(1).replace(" ", ""))
    return bytes(data[:size])


OBJDUMP, bits, DLL = sys.argv[1], int(sys.argv[2]), sys.argv[3]

header = objdump("-f")
file_format, architecture = MACHINE[bits]
check(f"file format {file_format}" in header and f"architecture: {architecture}," in header,
      f"machine: {file_format}, {architecture}")

private = objdump("-p")
image_base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", private, re.M).group(1), 16)
names = exports(private)
expected_names = {name: ordinal for ordinal, name, _ in EXPORTS}
check({name: ordinal for name, (ordinal, _) in names.items()} == expected_names,
      "exports by name and ordinal: " + ", ".join(f"{n} @{o}" for n, (o, _) in sorted(names.items(), key=lambda e: e[1])))
for ordinal, name, argument_bytes in EXPORTS:
    if bits != 32 or name not in names:
        continue
    pops = popped_bytes(image_base + names[name][1])
    check(pops and all(p == argument_bytes for p in pops),
          f"{name} pops {argument_bytes} bytes on return (its returns pop {pops})")

leaves = resources(private)
check(set(leaves) == RESOURCES, "resource tree (type, name, language): "
      + ", ".join(f"{t}/{n if isinstance(n, str) else hex(n)}/{l:#06x}" for t, n, l in sorted(leaves, key=str)))
typelib = leaves.get(("TYPELIB", 1, 0x409))
if typelib:
    header = read_bytes(image_base + typelib[0], 0x18)
    syskind = int.from_bytes(header[0x14:0x18], "little") & 0xF if header[:4] == b"MSFT" else None
    check(syskind == SYSKIND[bits], f"type library syskind {SYSKIND_NAMES.get(syskind, syskind)}")
else:
    check(False, "type library resource present")

imports = re.findall(r"^\s*DLL Name: (\S+)", private, re.M)
outside = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS]
check(imports and not outside, f"imports only system DLLs: {', '.join(imports)}"
      + (f" (not allowed: {', '.join(outside)})" if outside else ""))

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
