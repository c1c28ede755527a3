"""Prints, one JSON line per item of a PST as libpff (pypff) reads it, what the
export tests judge beyond pst-inspect: folder, message class, subject, body,
creation and modification times, categories (Keywords, resolved through the
name-to-id map), sender address, and each attachment's name, MIME type, size
and SHA-256 of its bytes; for a note its colour, size and place and its icon. Hidden (folder-associated) items get a line with
"hidden": true and, for a category list, its XML stream as text.

Usage: python3 export_items_dump.py FILE.pst
"""
import ctypes
import ctypes.util
import datetime
import hashlib
import json
import os
import struct
import sys
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from message_state_dump import PS_PUBLIC_STRINGS, entries_of, integer, named_ids, strings, text  # noqa: E402

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


PSETID_NOTE = uuid.UUID("0006200e-0000-0000-c000-000000000046")
NOTE_LIDS = {"color": 0x8B00, "width": 0x8B02, "height": 0x8B03, "x": 0x8B04, "y": 0x8B05}


def item_line(msg, path, keywords, note_ids=None, hidden=False):
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
    if line["class"] == "IPM.StickyNote" and note_ids:
        line["note"] = {k: integer(p, note_ids[k]) for k in NOTE_LIDS if k in note_ids}
        line["note"]["icon"] = integer(p, 0x1080)
    xml = p.get(0x7C08)  # PidTagRoamingXmlStream
    if xml is not None and xml.data:
        line["xml"] = xml.data.decode("utf-8", "replace")
    return line


class HiddenItems:
    """The folder-associated items of a folder through libpff's C API, which
    the Python binding does not offer: message class and XML stream."""

    def __init__(self, path):
        lib = ctypes.CDLL(ctypes.util.find_library("pff"))
        P, PP = ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)

        def fn(name, *args):
            f = getattr(lib, name)
            f.restype, f.argtypes = ctypes.c_int, list(args)
            return f

        self.sub_folder = fn("libpff_folder_get_sub_folder", P, ctypes.c_int, PP, PP)
        self.count = fn("libpff_folder_get_number_of_sub_associated_contents", P, ctypes.POINTER(ctypes.c_int), PP)
        self.item = fn("libpff_folder_get_sub_associated_content", P, ctypes.c_int, PP, PP)
        self.record_set = fn("libpff_item_get_record_set_by_index", P, ctypes.c_int, PP, PP)
        self.entry = fn("libpff_record_set_get_entry_by_type", P, ctypes.c_uint32, ctypes.c_uint32, PP, ctypes.c_uint8, PP)
        self.size = fn("libpff_record_entry_get_data_size", P, ctypes.POINTER(ctypes.c_size_t), PP)
        self.data = fn("libpff_record_entry_get_data", P, ctypes.c_char_p, ctypes.c_size_t, PP)
        init = fn("libpff_file_initialize", PP, PP)
        opener = fn("libpff_file_open", P, ctypes.c_char_p, ctypes.c_int, PP)
        root = fn("libpff_file_get_root_folder", P, PP, PP)
        self.file, self.root = P(), P()
        err = P()
        init(ctypes.byref(self.file), ctypes.byref(err))
        if opener(self.file, os.fsencode(path), 1, ctypes.byref(err)) != 1 or \
                root(self.file, ctypes.byref(self.root), ctypes.byref(err)) != 1:
            raise OSError("libpff cannot open " + path)

    def folder(self, indexes):
        h = self.root
        for i in indexes:
            sub = ctypes.c_void_p()
            self.sub_folder(h, i, ctypes.byref(sub), ctypes.byref(ctypes.c_void_p()))
            h = sub
        return h

    def bytes_of(self, rs, entry_type):
        e = ctypes.c_void_p()
        if self.entry(rs, entry_type, 0, ctypes.byref(e), 3, ctypes.byref(ctypes.c_void_p())) != 1:
            return None
        n = ctypes.c_size_t()
        self.size(e, ctypes.byref(n), ctypes.byref(ctypes.c_void_p()))
        buf = ctypes.create_string_buffer(n.value)
        self.data(e, buf, n.value, ctypes.byref(ctypes.c_void_p()))
        return buf.raw[:n.value]

    def items(self, indexes):
        f = self.folder(indexes)
        n = ctypes.c_int()
        self.count(f, ctypes.byref(n), ctypes.byref(ctypes.c_void_p()))
        for k in range(n.value):
            item, rs = ctypes.c_void_p(), ctypes.c_void_p()
            self.item(f, k, ctypes.byref(item), ctypes.byref(ctypes.c_void_p()))
            self.record_set(item, 0, ctypes.byref(rs), ctypes.byref(ctypes.c_void_p()))
            cls = self.bytes_of(rs, 0x001A)
            xml = self.bytes_of(rs, 0x7C08)
            yield {"class": cls.decode("utf-16-le") if cls else None,
                   "xml": xml.decode("utf-8", "replace") if xml else None}


def main():
    pst = pypff.file()
    pst.open(sys.argv[1])
    ids = named_ids(pst)
    keywords = ids.get((PS_PUBLIC_STRINGS, "Keywords"))
    note_ids = {k: ids[(PSETID_NOTE, lid)] for k, lid in NOTE_LIDS.items() if (PSETID_NOTE, lid) in ids}
    hidden = HiddenItems(sys.argv[1])

    def walk(folder, path, indexes):
        for i in range(folder.number_of_sub_messages):
            print(json.dumps(item_line(folder.get_sub_message(i), path, keywords, note_ids), ensure_ascii=False))
        for h in hidden.items(indexes):
            print(json.dumps(dict({"folder": path, "hidden": True}, **h), ensure_ascii=False))
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, (path + "/" if path else "") + (sub.name or ""), indexes + [i])

    walk(pst.get_root_folder(), "", [])


if __name__ == "__main__":
    main()
