"""Prints, one JSON line per message of a PST, the message state properties as
libpff (pypff) reads them: PR_MESSAGE_FLAGS, PR_FLAG_STATUS, PR_FOLLOWUP_ICON,
PR_LAST_VERB_EXECUTED, PR_ICON_INDEX, PidLidFlagRequest and the Keywords
(categories), resolving the named properties through the store's name-to-id
map ([MS-PST] 2.4.7). Also one line per folder with PR_CONTENT_UNREAD.

Usage: python3 message_state_dump.py FILE.pst
"""
import json
import struct
import sys
import uuid

import pypff

PS_PUBLIC_STRINGS = uuid.UUID("00020329-0000-0000-c000-000000000046")
PSETID_COMMON = uuid.UUID("00062008-0000-0000-c000-000000000046")


def entries_of(obj):
    out = {}
    if obj.number_of_record_sets:
        for e in obj.get_record_set(0).entries:
            out[e.entry_type] = e
    return out


def named_ids(pst):
    """(guid, lid) and (guid, name) -> property id."""
    ids = {}
    m = pst.get_name_to_id_map()
    streams = {e.entry_type: (e.data or b"") for e in m.get_record_set(0).entries}
    guids = streams.get(0x0002, b"")
    names = streams.get(0x0004, b"")
    table = streams.get(0x0003, b"")
    for off in range(0, len(table) - 7, 8):
        value, info, index = struct.unpack_from("<IHH", table, off)
        kind = info >> 1
        if kind == 1:
            guid = uuid.UUID("00020328-0000-0000-c000-000000000046")  # PS_MAPI
        elif kind == 2:
            guid = PS_PUBLIC_STRINGS
        else:
            at = (kind - 3) * 16
            guid = uuid.UUID(bytes_le=guids[at:at + 16])
        if info & 1:
            size = struct.unpack_from("<I", names, value)[0]
            ids[(guid, names[value + 4:value + 4 + size].decode("utf-16-le"))] = 0x8000 + index
        else:
            ids[(guid, value)] = 0x8000 + index
    return ids


def integer(entries, tag):
    e = entries.get(tag)
    return None if e is None else e.data_as_integer


def text(entries, tag):
    e = entries.get(tag)
    return None if e is None else e.data_as_string


def strings(entries, tag):
    """PtypMultipleString: count, offsets, UTF-16LE strings."""
    e = entries.get(tag)
    if e is None:
        return None
    data = e.data or b""
    count = struct.unpack_from("<I", data, 0)[0]
    offsets = list(struct.unpack_from("<%dI" % count, data, 4)) + [len(data)]
    return [data[offsets[i]:offsets[i + 1]].decode("utf-16-le") for i in range(count)]


def main():
    pst = pypff.file()
    pst.open(sys.argv[1])
    ids = named_ids(pst)
    keywords = ids.get((PS_PUBLIC_STRINGS, "Keywords"))
    request = ids.get((PSETID_COMMON, 0x8530))

    def walk(folder, path):
        props = entries_of(folder)
        print(json.dumps({"folder": path, "unread": integer(props, 0x3603)}, ensure_ascii=False))
        for i in range(folder.number_of_sub_messages):
            msg = folder.get_sub_message(i)
            p = entries_of(msg)
            print(json.dumps({
                "folder": path,
                "subject": text(p, 0x0037),
                "flags": integer(p, 0x0E07),
                "flag_status": integer(p, 0x1090),
                "followup_icon": integer(p, 0x1095),
                "last_verb": integer(p, 0x1081),
                "icon_index": integer(p, 0x1080),
                "flag_request": text(p, request) if request else None,
                "categories": strings(p, keywords) if keywords else None,
            }, ensure_ascii=False))
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            walk(sub, (path + "/" if path else "") + (sub.name or ""))

    walk(pst.get_root_folder(), "")


if __name__ == "__main__":
    main()
