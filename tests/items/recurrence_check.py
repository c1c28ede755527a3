# Reads every recurring appointment of a PST with pypff, decodes its
# PidLidAppointmentRecur, PidLidTimeZoneStruct and the recurrence's
# TZDEFINITION as [MS-OXOCAL] 2.2.1.44, 2.2.1.39 and 2.2.1.41 describe them
# (sharing nothing with the writer), expands the first 20 instances to UTC
# (each in the rule of its year), adds the appointments of the same subject
# that stand beside the series, and compares them with python-dateutil's
# expansion of the source rule given in the JSON file named by $RECURRENCE_SOURCES:
#   {"subject": {"rrule": "...", "dtstart": "2024-02-26T09:30:00", "zone": "America/New_York",
#                "removed": ["2024-03-11T09:30:00", ...], "moved": {"2024-03-06T09:30:00": "2024-03-06T14:00:00"}}}
# Prints "OK subject" or "BAD subject: why" per series, "PROPS subject ..."
# lines, "ZONE subject|key|year:flags ..." for each series' TZDEFINITION,
# "EXCEPTION subject|..." for each exception attachment (its embedded message
# read through libpff's C API, which the binding lacks) and "SINGLE subject|..."
# for an appointment with an instance's global object id.
import ctypes
import ctypes.util
import datetime as dt
import json
import os
import re
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


def decode_tzdef(b):
    # The header's size covers the flags, the key name and the rule count.
    (cb_header,) = struct.unpack_from("<H", b, 2)
    (cch,) = struct.unpack_from("<H", b, 6)
    key = b[8:8 + 2 * cch].decode("utf-16-le")
    (n,) = struct.unpack_from("<H", b, 2 + cb_header)
    rules, o = [], 4 + cb_header
    for _ in range(n):
        flags, year = struct.unpack_from("<HH", b, o + 4)
        bias, sbias, dbias = struct.unpack_from("<iii", b, o + 22)
        rules.append({"flags": flags, "year": year, "bias": bias, "sbias": sbias, "dbias": dbias,
                      "std": systime(b, o + 34), "dst": systime(b, o + 50)})
        o += 66
    return key, rules


def rule_of(rules, year):
    # A rule holds from its year until the next one's; the first also before.
    chosen = rules[0]
    for r in rules:
        if r["year"] <= year:
            chosen = r
    return chosen


def same_rule(a, b):
    pick = lambda r: (r["bias"], r["sbias"], r["dbias"], r["std"][1:6], r["dst"][1:6])
    return pick(a) == pick(b)


def to_utc(local, tz):
    if isinstance(tz, list):
        tz = rule_of(tz, local.year)
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
    # [RFC 5545] counts DTSTART as the first instance even when it is not on the
    # rule (python-dateutil does not): it is one of the COUNT.
    rule = src["rrule"]
    if next(iter(rrulestr("RRULE:" + rule, dtstart=start))) != start:
        out.append(start)
        rule = re.sub(r"COUNT=(\d+)", lambda m: "COUNT=%d" % (int(m.group(1)) - 1), rule)
    for when in rrulestr("RRULE:" + rule, dtstart=start):
        if when.replace(tzinfo=None) not in removed:
            out.append(when)
        if len(out) >= n + len(removed):
            break
    out += [dt.datetime.fromisoformat(x).replace(tzinfo=zone) for x in src.get("moved", {}).values()]
    utc = sorted(w.astimezone(dt.timezone.utc).replace(tzinfo=None) for w in out)
    return utc[:n]


class Libpff:
    """The parts of libpff's C API the binding lacks: an attachment's embedded
    message and a message's recipient table."""

    def __init__(self, path):
        lib = ctypes.CDLL(ctypes.util.find_library("pff") or "libpff.so.1")
        P, PP = ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)

        def fn(name, *args):
            f = getattr(lib, name)
            f.argtypes, f.restype = list(args), ctypes.c_int
            return f

        self.init = fn("libpff_file_initialize", PP, PP)
        self.open = fn("libpff_file_open", P, ctypes.c_char_p, ctypes.c_int, PP)
        self.by_id = fn("libpff_file_get_item_by_identifier", P, ctypes.c_uint32, PP, PP)
        self.attachment = fn("libpff_message_get_attachment", P, ctypes.c_int, PP, PP)
        self.attached = fn("libpff_attachment_get_item", P, PP, PP)
        self.recipients = fn("libpff_message_get_recipients", P, PP, PP)
        self.n_sets = fn("libpff_item_get_number_of_record_sets", P, ctypes.POINTER(ctypes.c_int), PP)
        self.set_at = fn("libpff_item_get_record_set_by_index", P, ctypes.c_int, PP, PP)
        self.entry = fn("libpff_record_set_get_entry_by_type", P, ctypes.c_uint32, ctypes.c_uint32, PP, ctypes.c_uint8, PP)
        self.size = fn("libpff_record_entry_get_data_size", P, ctypes.POINTER(ctypes.c_size_t), PP)
        self.data = fn("libpff_record_entry_get_data", P, ctypes.c_char_p, ctypes.c_size_t, PP)
        self.file = P()
        err = P()
        if self.init(ctypes.byref(self.file), ctypes.byref(err)) != 1 or \
                self.open(self.file, os.fsencode(path), 1, ctypes.byref(err)) != 1:
            raise OSError("libpff cannot open " + path)

    def _get(self, f, *args):
        out, err = ctypes.c_void_p(), ctypes.c_void_p()
        if f(*args, ctypes.byref(out), ctypes.byref(err)) != 1:
            raise OSError(f.__name__ + " failed")
        return out

    def embedded(self, identifier, index):
        message = self._get(self.by_id, self.file, identifier)
        return self._get(self.attached, self._get(self.attachment, message, index))

    def record_sets(self, item):
        n, err = ctypes.c_int(), ctypes.c_void_p()
        if self.n_sets(item, ctypes.byref(n), ctypes.byref(err)) != 1:
            return []
        return [self._get(self.set_at, item, k) for k in range(n.value)]

    def value(self, record_set, entry_type):
        """The raw bytes of a property of any type (flags: any value type, the
        tag as stored, not looked up in the name-to-id map); None when absent."""
        entry, err = ctypes.c_void_p(), ctypes.c_void_p()
        if self.entry(record_set, entry_type, 0, ctypes.byref(entry), 3, ctypes.byref(err)) != 1:
            return None
        size = ctypes.c_size_t()
        self.size(entry, ctypes.byref(size), ctypes.byref(err))
        buf = ctypes.create_string_buffer(size.value)
        if size.value and self.data(entry, buf, size.value, ctypes.byref(err)) != 1:
            return None
        return buf.raw

    def addresses(self, item):
        out = []
        for rs in self.record_sets(self._get(self.recipients, item)):
            v = self.value(rs, 0x3003) or self.value(rs, 0x39FE) or b""
            out.append(v.decode("utf-16-le").strip("\0"))
        return sorted(out)


def filetime(b):
    (ft,) = struct.unpack("<Q", b)
    return EPOCH + dt.timedelta(microseconds=ft // 10)


def instance_date(goid):
    # The instance's original date sits in bytes 16-19: year (big-endian), month, day.
    year, month, day = struct.unpack_from(">HBB", goid, 16)
    return "%04d-%02d-%02d" % (year, month, day) if year else "series"


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    c = Libpff(sys.argv[1])
    sources = json.load(open(os.environ["RECURRENCE_SOURCES"]))
    ids = named_ids(f)
    pid = lambda guid, lid: ids.get((guid, lid))
    series, singles = {}, {}

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
                key, rules = decode_tzdef(tzdef.data)
                print("ZONE %s|%s|%s" % (msg.subject, key, " ".join("%d:%d" % (r["year"], r["flags"]) for r in rules)))
            rset, rdelta, rsignal = (p.get(pid(COMMON, lid)) for lid in (0x8503, 0x8501, 0x8560))
            reminder = "none"
            if rset is not None and rset.data[0]:
                signal = filetime(rsignal.data)
                when = "future" if dt.datetime.utcnow() < signal < dt.datetime(4500, 1, 1) else signal.isoformat()
                reminder = "%d/%s" % (struct.unpack("<i", rdelta.data)[0], when)
            body = (msg.plain_text_body or b"").decode("utf-8", "replace").strip("\0")
            print("PROPS %s|recurring=%s|type=%s|tz=%s|attachments=%d|reminder=%s|pattern=%s|body=%s" % (
                msg.subject, recurring.data[0] if recurring is not None else None,
                struct.unpack("<i", rtype.data)[0] if rtype is not None else None, key,
                msg.number_of_attachments, reminder, text.data_as_string if text is not None else "", body))
            goid = p.get(pid(MEETING, 0x0003))
            if recur is not None:
                r = decode_recur(recur.data)
                tz = decode_tz(tzs.data) if tzs is not None else {"bias": 0, "sbias": 0, "dbias": 0, "std": (0,) * 8, "dst": (0,) * 8}
                if tzdef is not None:
                    # The struct is the rule of the series' start; the definition places every year.
                    start_year = (EPOCH + dt.timedelta(minutes=r["start"])).year
                    if not same_rule(tz, rule_of(rules, start_year)):
                        print("BAD %s: PidLidTimeZoneStruct is not the rule of %d" % (msg.subject, start_year))
                    tz = rules
                series[msg.subject] = (r, tz)
                for a in range(msg.number_of_attachments):
                    m = c.embedded(msg.identifier, a)
                    e = {}
                    for rs in c.record_sets(m)[:1]:
                        e = {name: c.value(rs, pid(guid, lid)) for name, guid, lid in (
                            ("start", APPT, 0x820D), ("replace", APPT, 0x8228), ("exception", MEETING, 0x000A),
                            ("goid", MEETING, 0x0003), ("set", COMMON, 0x8503), ("delta", COMMON, 0x8501))}
                    print("EXCEPTION %s|start=%s|replaces=%s|is_exception=%s|instance=%s|reminder=%s|attendees=%s" % (
                        msg.subject, filetime(e["start"]).isoformat(), filetime(e["replace"]).isoformat(),
                        e["exception"][0] if e.get("exception") else None,
                        instance_date(e["goid"]) if e.get("goid") else None,
                        struct.unpack("<i", e["delta"])[0] if e.get("set") and e["set"][0] else "none",
                        ",".join(c.addresses(m))))
            else:
                start = p.get(pid(APPT, 0x820D))
                if start is not None:
                    singles.setdefault(msg.subject, []).append(filetime(start.data))
                if goid is not None and instance_date(goid.data) != "series":
                    print("SINGLE %s|start=%s|instance=%s" % (msg.subject, filetime(start.data).isoformat(), instance_date(goid.data)))
        for k in range(folder.number_of_sub_folders):
            walk(folder.get_sub_folder(k))

    walk(f.get_root_folder())
    for subject, (r, tz) in series.items():
        if subject not in sources:
            continue
        got = sorted(expand_pst(r, tz, 20) + singles.get(subject, []))[:20]
        want = expand_source(sources[subject], 20)
        if got == want:
            print("OK %s" % subject)
        else:
            print("BAD %s: pst %s source %s" % (subject, [g.isoformat() for g in got], [w.isoformat() for w in want]))


main()
