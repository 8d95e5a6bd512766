#!/usr/bin/env python3
"""Prints what a Wine registry file holds beyond a base one, normalised for
comparison: one line per value ("key [name] = data") or per key that has
none, key paths and value names in lower case (the registry ignores case),
times left out, sorted; removed values as "- key [name]".

  registry_delta.py BASE.reg AFTER.reg [--classes]

--classes keeps only the class registration (Software\\Classes, both views),
without the installer's own bookkeeping below Software\\Classes\\Installer.
--fold-views also shows the 32-bit view's keys (Software\\Classes\\Wow6432Node)
as the shared ones, each line once.
"""
import sys


def read(path):
    keys = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8", errors="surrogateescape") as source:
        for raw in source:
            line = pending + raw.rstrip("\n")
            pending = ""
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1].strip()
                continue
            if line.startswith("["):
                current = line[1:line.rindex("]")].lower()
                keys.setdefault(current, {})
            elif current is not None and line and not line.startswith("#") and not line.startswith(";"):
                if line.startswith("@="):
                    name, data = "", line[2:]
                else:
                    end = line.find('"=', 1)
                    name, data = line[1:end], line[end + 2:]
                keys[current][name.lower()] = data
    return keys


def main():
    base, after = read(sys.argv[1]), read(sys.argv[2])
    classes_only = "--classes" in sys.argv[3:]
    lines = []
    for key in sorted(set(base) | set(after)):
        if classes_only and (not key.startswith("software\\\\classes\\\\")
                             or key.startswith("software\\\\classes\\\\installer\\\\")):
            continue
        old, new = base.get(key), after.get(key)
        if new is None:
            lines.append("- " + key)
            continue
        if old is None and not new:
            lines.append(key)
        for name in sorted(set(old or {}) | set(new)):
            if name not in new:
                lines.append("- %s [%s]" % (key, name))
            elif old is None or old.get(name) != new[name]:
                lines.append("%s [%s] = %s" % (key, name, new[name]))
    if "--fold-views" in sys.argv[3:]:
        lines = sorted(set(line.replace("software\\\\classes\\\\wow6432node\\\\", "software\\\\classes\\\\")
                           for line in lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
