#!/usr/bin/env python3
"""OLD.pst NEW.pst: every reader of pst-inspect sees, in NEW, each folder of
OLD with every item it had there, field for field; prints what is missing."""
import json
import subprocess
import sys


def inspect(tool, path):
    out = subprocess.run([tool, "--reader", "all", "--json", path], capture_output=True, text=True).stdout
    return json.loads(out)["readers"]


def normal(item):
    # readpst renders an embedded message with a boundary of its own making, so
    # its size varies from run to run.
    for a in item.get("attachments") or []:
        if a.get("name_is_subject"):
            a.pop("size", None)
    return json.dumps(item, sort_keys=True)


def main():
    tool, old_path, new_path = sys.argv[1:4]
    old, new = inspect(tool, old_path), inspect(tool, new_path)
    problems = []
    for reader, before in sorted(old.items()):
        if not before.get("opened"):
            continue
        after = new.get(reader, {})
        if not after.get("opened"):
            problems.append(f"{reader}: cannot open the new file: {after.get('error')}")
            continue
        folders = {f["path"]: f for f in after.get("folders", [])}
        for f in before.get("folders", []):
            g = folders.get(f["path"])
            if g is None:
                problems.append(f"{reader}: folder {f['path']!r} is gone")
                continue
            if g.get("associated_count") != f.get("associated_count"):
                problems.append(f"{reader}: {f['path']!r}: associated items {f.get('associated_count')} -> {g.get('associated_count')}")
            remaining = [normal(i) for i in g.get("items", [])]
            for item in f.get("items", []):
                key = normal(item)
                if key in remaining:
                    remaining.remove(key)
                else:
                    problems.append(f"{reader}: {f['path']!r}: item changed or gone: {key[:300]}")
    print("\n".join(problems) if problems else "unchanged")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
