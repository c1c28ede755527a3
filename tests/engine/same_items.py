#!/usr/bin/env python3
"""Exit 0 when two `pst-inspect --json` views hold the same folders and, in each,
the same items (as a multiset: the order of items within a folder is free)."""
import json
import sys


def view(path):
    reader = json.load(open(path))["readers"]["pypff"]
    folders = {}
    for f in reader["folders"]:
        folders[f["path"]] = sorted(json.dumps(item, sort_keys=True) for item in f["items"])
    return folders


a, b = view(sys.argv[1]), view(sys.argv[2])
if a != b:
    for path in sorted(set(a) | set(b)):
        if a.get(path) != b.get(path):
            print("differs:", path, len(a.get(path, [])), len(b.get(path, [])))
    sys.exit(1)
print("same items in", len(a), "folders")
