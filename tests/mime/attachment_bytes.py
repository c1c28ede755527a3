"""Compares every attachment of a PST, as libpff (pypff) reads it, with the
file of the same name in a folder: prints one line per attachment (name, size,
"same" or "differs") and exits 1 unless all of the folder's files were found
with the same bytes.

Usage: python3 attachment_bytes.py FILE.pst EXPECTED_DIR
"""
import os
import sys

import pypff


def attachments(folder):
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        for k in range(m.number_of_attachments):
            yield m.get_attachment(k)
    for i in range(folder.number_of_sub_folders):
        yield from attachments(folder.get_sub_folder(i))


def name_of(a):
    if a.number_of_record_sets:
        for e in a.get_record_set(0).entries:
            if e.entry_type == 0x3707 and e.data:  # PidTagAttachLongFilename
                return e.data.decode("utf-16-le").rstrip("\0")
    return None


def main():
    pst, expected_dir = sys.argv[1], sys.argv[2]
    f = pypff.file()
    f.open(pst)
    wanted = set(os.listdir(expected_dir))
    ok = True
    for a in attachments(f.get_root_folder()):
        name = name_of(a)
        if name not in wanted:
            continue
        wanted.discard(name)
        size = a.get_size() or 0
        data = a.read_buffer(size) if size else b""
        with open(os.path.join(expected_dir, name), "rb") as e:
            same = data == e.read()
        ok = ok and same
        print(name, size, "same" if same else "differs")
    for name in sorted(wanted):
        print(name, "missing")
    sys.exit(0 if ok and not wanted else 1)


main()
