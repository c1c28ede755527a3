"""Prints, one JSON line per item of a PST as libpff (pypff) reads it, what the
export tests judge beyond pst-inspect: folder, message class, subject, body,
creation and modification times, categories (Keywords, resolved through the
name-to-id map), sender address, and each attachment's name, MIME type, size
and SHA-256 of its bytes. Hidden (folder-associated) items get a line with
"hidden": true and, for a category list, its XML stream as text.

Usage: python3 export_items_dump.py FILE.pst
"""
import ctypes
import datetime
import hashlib
import json
import os
import struct
import sys
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from message_state_dump import PS_PUBLIC_STRINGS, entries_of, named_ids, strings, text  # noqa: E402

import pypff  # noqa: E402


def filetime(entries, tag):
    e = entries.get(tag)
    if e is None or not e.data or len(e.data) != 8:
        return None
    ticks = struct.unpack("<Q", e.data)[0]
    t = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=ticks // 10)
    return t.strftime("%Y-%m-%dT%H:%M:%SZ")


def attachments(msg):
    out = []
    for i in range(msg.number_of_attachments):
        a = msg.get_attachment(i)
        p = entries_of(a)
        size = a.get_size() or 0
        data = a.read_buffer(size) if size else b""
        out.append({"name": text(p, 0x3707) or text(p, 0x3704), "mime": text(p, 0x370E), "size": size,
                    "sha256": hashlib.sha256(data).hexdigest(),
                    "created": filetime(p, 0x3007), "modified": filetime(p, 0x3008)})
    return out


def item_line(msg, path, keywords, hidden=False):
    p = entries_of(msg)
    line = {
        "folder": path,
        "hidden": hidden,
        "class": text(p, 0x001A),
        "subject": text(p, 0x0037),
        "body": text(p, 0x1000),
        "created": filetime(p, 0x3007),
        "modified": filetime(p, 0x3008),
        "delivered": filetime(p, 0x0E06),
        "sender": text(p, 0x0C1F),
        "categories": strings(p, keywords) if keywords else None,
        "attachments": attachments(msg),
    }
    xml = p.get(0x7C08)  # PidTagRoamingXmlStream
    if xml is not None and xml.data:
        line["xml"] = xml.data.decode("utf-8", "replace")
    return line


def main():
    pst = pypff.file()
    pst.open(sys.argv[1])
    keywords = named_ids(pst).get((PS_PUBLIC_STRINGS, "Keywords"))

    def walk(folder, path):
        for i in range(folder.number_of_sub_messages):
            print(json.dumps(item_line(folder.get_sub_message(i), path, keywords), ensure_ascii=False))
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, (path + "/" if path else "") + (sub.name or ""))

    walk(pst.get_root_folder(), "")


if __name__ == "__main__":
    main()
