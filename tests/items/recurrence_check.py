# Reads every recurring appointment of a PST with pypff, decodes its
# PidLidAppointmentRecur and PidLidTimeZoneStruct as [MS-OXOCAL] 2.2.1.44 and
# 2.2.1.39 describe them (sharing nothing with the writer), expands the first
# 20 instances to UTC, and compares them with python-dateutil's expansion of
# the source rule given in the JSON file named by $RECURRENCE_SOURCES:
#   {"subject": {"rrule": "...", "dtstart": "2024-02-26T09:30:00", "zone": "America/New_York",
#                "removed": ["2024-03-11T09:30:00", ...], "moved": {"2024-03-06T09:30:00": "2024-03-06T14:00:00"}}}
# Prints "OK subject" or "BAD subject: why" per series, and "PROPS subject ..." lines.
import datetime as dt
import json
import os
import struct
import sys
from zoneinfo import ZoneInfo

import pypff
from dateutil.rrule import rrulestr

APPT = bytes.fromhex("0220060000000000C000000000000046")
MEETING = bytes.fromhex("90DAD86E0B451B1098DA00AA003F1305")
COMMON = bytes.fromhex("0820060000000000C000000000000046")
EPOCH = dt.datetime(1601, 1, 1)


def named_ids(f):
    raw = {}
    for e in f.get_name_to_id_map().get_record_set(0).entries:
        raw[e.entry_type] = e.data or b""
    guids, entries = raw.get(0x0002, b""), raw.get(0x0003, b"")
    ids = {}
    for off in range(0, len(entries) - 7, 8):
        dw, info, idx = struct.unpack_from("<IHH", entries, off)
        if info & 1:
            continue
        gi = info >> 1
        if gi < 3 or (gi - 3) * 16 + 16 > len(guids):
            continue
        ids[(guids[(gi - 3) * 16:(gi - 2) * 16], dw)] = 0x8000 + idx
    return ids


def props(msg):
    out = {}
    if msg.number_of_record_sets:
        for e in msg.get_record_set(0).entries:
            out[e.entry_type] = e
    return out


def systime(b, o):
    return struct.unpack_from("<8H", b, o)


def decode_tz(b):
    bias, sbias, dbias = struct.unpack_from("<iii", b, 0)
    return {"bias": bias, "sbias": sbias, "dbias": dbias, "std": systime(b, 14), "dst": systime(b, 32)}


def nth_weekday(year, st):
    _, month, wday, n, hour, minute, _, _ = st
    first = dt.date(year, month, 1)
    day = first + dt.timedelta(days=(wday - (first.isoweekday() % 7)) % 7 + 7 * (n - 1))
    while day.month != month:
        day -= dt.timedelta(days=7)
    return dt.datetime(day.year, day.month, day.day, hour, minute)


def to_utc(local, tz):
    if tz["dst"][1] == 0:
        return local + dt.timedelta(minutes=tz["bias"])
    dst_on, std_on = nth_weekday(local.year, tz["dst"]), nth_weekday(local.year, tz["std"])
    in_dst = dst_on <= local < std_on if dst_on < std_on else not (std_on <= local < dst_on)
    return local + dt.timedelta(minutes=tz["bias"] + (tz["dbias"] if in_dst else tz["sbias"]))


def decode_recur(b):
    r = {}
    (_, _, r["freq"], r["ptype"], _, r["first"], r["period"], _) = struct.unpack_from("<5HIII", b, 0)
    o = 22
    if r["ptype"] == 1:
        (r["mask"],) = struct.unpack_from("<I", b, o); o += 4
    elif r["ptype"] in (2, 4):
        (r["day"],) = struct.unpack_from("<I", b, o); o += 4
    elif r["ptype"] == 3:
        r["mask"], r["n"] = struct.unpack_from("<II", b, o); o += 8
    r["end"], r["count"], r["fdow"], nd = struct.unpack_from("<IIII", b, o); o += 16
    r["deleted"] = set(struct.unpack_from("<%dI" % nd, b, o)); o += 4 * nd
    (nm,) = struct.unpack_from("<I", b, o); o += 4
    o += 4 * nm
    r["start"], r["enddate"] = struct.unpack_from("<II", b, o); o += 8
    o += 8  # reader and writer version 2
    r["soff"], r["eoff"] = struct.unpack_from("<II", b, o); o += 8
    (ne,) = struct.unpack_from("<H", b, o); o += 2
    r["exceptions"] = []
    for _ in range(ne):
        s, e, orig, flags = struct.unpack_from("<IIIH", b, o); o += 14
        if flags & 1:
            (n1, n2) = struct.unpack_from("<HH", b, o); o += 4 + n2
        for bit in (2, 4, 8):
            if flags & bit:
                o += 4
        if flags & 0x10:
            (n1, n2) = struct.unpack_from("<HH", b, o); o += 4 + n2
        for bit in (0x20, 0x40, 0x80, 0x100):
            if flags & bit:
                o += 4
        r["exceptions"].append((s, orig))
    return r


def months(minutes):
    d = EPOCH + dt.timedelta(minutes=minutes)
    return (d.year - 1601) * 12 + d.month - 1


def matches(r, day):
    m = day * 1440
    d = (EPOCH + dt.timedelta(days=day)).date()
    wd = d.isoweekday() % 7
    if r["ptype"] == 0:
        return (m - r["first"]) % r["period"] == 0
    if r["ptype"] == 1:
        week_start = m - ((wd - r["fdow"]) % 7) * 1440
        return bool(r["mask"] & (1 << wd)) and (week_start - r["first"]) // 10080 % r["period"] == 0
    if (months(m) - months(r["first"])) % r["period"]:
        return False
    last = (dt.date(d.year + d.month // 12, d.month % 12 + 1, 1) - dt.timedelta(days=1)).day
    if r["ptype"] == 2:
        return d.day == min(r["day"], last)
    if r["ptype"] == 4:
        return d.day == last
    hits = [k for k in range(1, last + 1) if r["mask"] & (1 << (dt.date(d.year, d.month, k).isoweekday() % 7))]
    return d.day == (hits[-1] if r["n"] == 5 else hits[r["n"] - 1] if r["n"] <= len(hits) else -1)


def expand_pst(r, tz, n):
    out, day, seen = [], r["start"] // 1440, 0
    while len(out) < n and day * 1440 <= r["enddate"]:
        if matches(r, day):
            seen += 1
            if r["end"] == 0x2022 and seen > r["count"]:
                break
            if day * 1440 not in r["deleted"]:
                out.append(to_utc(EPOCH + dt.timedelta(minutes=day * 1440 + r["soff"]), tz))
        day += 1
    for s, _ in r["exceptions"]:
        out.append(to_utc(EPOCH + dt.timedelta(minutes=s), tz))
    return sorted(out)[:n]


def expand_source(src, n):
    zone = ZoneInfo(src["zone"])
    start = dt.datetime.fromisoformat(src["dtstart"]).replace(tzinfo=zone)
    removed = {dt.datetime.fromisoformat(x) for x in src.get("removed", []) + list(src.get("moved", {}).keys())}
    out = []
    for when in rrulestr("RRULE:" + src["rrule"], dtstart=start):
        if when.replace(tzinfo=None) not in removed:
            out.append(when)
        if len(out) >= n + len(removed):
            break
    out += [dt.datetime.fromisoformat(x).replace(tzinfo=zone) for x in src.get("moved", {}).values()]
    utc = sorted(w.astimezone(dt.timezone.utc).replace(tzinfo=None) for w in out)
    return utc[:n]


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    sources = json.load(open(os.environ["RECURRENCE_SOURCES"]))
    ids = named_ids(f)
    pid = lambda guid, lid: ids.get((guid, lid))

    def walk(folder):
        for k in range(folder.number_of_sub_messages):
            msg = folder.get_sub_message(k)
            p = props(msg)
            recur = p.get(pid(APPT, 0x8216))
            tzs = p.get(pid(APPT, 0x8233))
            rtype = p.get(pid(APPT, 0x8231))
            text = p.get(pid(APPT, 0x8232))
            recurring = p.get(pid(APPT, 0x8223))
            tzdef = p.get(pid(APPT, 0x8260)) or p.get(pid(APPT, 0x825E))
            key = ""
            if tzdef is not None:
                d = tzdef.data
                (cch,) = struct.unpack_from("<H", d, 6)
                key = d[8:8 + 2 * cch].decode("utf-16-le")
            rset, rdelta, rsignal = (p.get(pid(COMMON, lid)) for lid in (0x8503, 0x8501, 0x8560))
            reminder = "none"
            if rset is not None and rset.data[0]:
                (ft,) = struct.unpack("<Q", rsignal.data)
                signal = EPOCH + dt.timedelta(microseconds=ft // 10)
                when = "future" if dt.datetime.utcnow() < signal < dt.datetime(4500, 1, 1) else signal.isoformat()
                reminder = "%d/%s" % (struct.unpack("<i", rdelta.data)[0], when)
            body = (msg.plain_text_body or b"").decode("utf-8", "replace").strip("\0")
            print("PROPS %s|recurring=%s|type=%s|tz=%s|attachments=%d|reminder=%s|pattern=%s|body=%s" % (
                msg.subject, recurring.data[0] if recurring is not None else None,
                struct.unpack("<i", rtype.data)[0] if rtype is not None else None, key,
                msg.number_of_attachments, reminder, text.data_as_string if text is not None else "", body))
            if msg.subject in sources and recur is not None:
                r = decode_recur(recur.data)
                tz = decode_tz(tzs.data) if tzs is not None else {"bias": 0, "sbias": 0, "dbias": 0, "std": (0,) * 8, "dst": (0,) * 8}
                got, want = expand_pst(r, tz, 20), expand_source(sources[msg.subject], 20)
                if got == want:
                    print("OK %s" % msg.subject)
                else:
                    print("BAD %s: pst %s source %s" % (msg.subject, [g.isoformat() for g in got], [w.isoformat() for w in want]))
        for k in range(folder.number_of_sub_folders):
            walk(folder.get_sub_folder(k))

    walk(f.get_root_folder())


main()
