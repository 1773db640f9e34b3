#!/usr/bin/python3
"""trace2svg.py - draws a trace of the UART emulation (libuartemu.so) as an SVG timing
diagram: per port the DTR, RTS and LOOP lines, the bytes on the transmitter (line, lost,
loopback, cut by DTR), the bytes read by the program (injected or from the line), the
line-status polls, and flushes, on one time axis in milliseconds.

    trace2svg.py [-o OUT.svg] [--pid PID] [--fd FD] [--from US] [--to US]
                 [--width PX] [--check] TRACE

Standard library only. --check parses the written SVG again as XML and fails (exit 1)
when it is not well-formed."""

import argparse
import sys
import xml.dom.minidom
from xml.sax.saxutils import escape

LANES = ["DTR", "RTS", "LOOP", "TX", "RX", "LSR"]
LANE_H = 26
LANE_GAP = 8
LEFT = 150
TOP = 50

COLORS = {
    "line": "#4a7fd4",
    "lost": "#b8b8b8",
    "loop": "#e89b2e",
    "cut": "#e05050",
    "inj": "#b070d0",
    "rx": "#3fa86b",
}


def parse(path):
    records = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            words = line.split()
            if len(words) < 4:
                continue
            try:
                t, pid = int(words[0]), int(words[1])
            except ValueError:
                continue
            fd = int(words[2]) if words[2].lstrip("-").isdigit() else -1
            fields = {}
            for w in words[4:]:
                k, _, v = w.partition("=")
                fields[k] = v
            records.append({"t": t, "pid": pid, "fd": fd, "event": words[3], "f": fields})
    return records


def num(fields, key, default=0):
    try:
        return int(fields.get(key, ""), 0)
    except ValueError:
        return default


def hexbytes(text):
    return [int(text[i:i + 2], 16) for i in range(0, len(text) - 1, 2)]


class Port:
    def __init__(self, pid, fd):
        self.pid, self.fd = pid, fd
        self.path = ""
        self.lines = {"DTR": [], "RTS": [], "LOOP": []}  # (t, level)
        self.tx = []    # (start, end, byte, kind)
        self.rx = []    # (t of the read, byte, injected, bytes after it in that read)
        self.lsr = []   # (first, last, polls, value or None)
        self.marks = []  # (t, label)


def collect(records, args):
    ports = {}
    for r in records:
        if args.pid and r["pid"] != args.pid:
            continue
        if r["fd"] < 0 or (args.fd is not None and r["fd"] != args.fd):
            continue
        if (args.t_from is not None and r["t"] < args.t_from or
                args.t_to is not None and r["t"] > args.t_to):
            continue
        key = (r["pid"], r["fd"])
        p = ports.get(key)
        ev, f, t = r["event"], r["f"], r["t"]
        if p is None:
            p = ports[key] = Port(*key)
        if ev in ("open", "attach"):
            p.path = f.get("path", p.path)
            p.marks.append((t, ev))
        elif ev == "close":
            p.marks.append((t, "close"))
        elif ev in ("dtr", "rts", "loop"):
            level = num(f, "v")
            p.lines[ev.upper()].append((t, level))
            cut = num(f, "cut")
            if ev == "dtr" and not level and cut:
                # the last `cut` line bytes not yet out when DTR dropped never got there
                left = cut
                for i in range(len(p.tx) - 1, -1, -1):
                    if left == 0:
                        break
                    s, e, b, kind = p.tx[i]
                    if kind == "line" and e > t:
                        p.tx[i] = (s, e, b, "cut")
                        left -= 1
        elif ev == "write":
            data = hexbytes(f.get("data", ""))
            start, end = num(f, "start", t), num(f, "end", t)
            n = len(data)
            kind = f.get("dest", "line")
            for i, b in enumerate(data):
                s = start + (end - start) * i / n
                e = start + (end - start) * (i + 1) / n
                p.tx.append((s, e, b, kind))
        elif ev == "rx":
            data = hexbytes(f.get("data", ""))
            inj = num(f, "inj")
            for i, b in enumerate(data):
                p.rx.append((t, b, i < inj, len(data) - 1 - i))
        elif ev == "lsr":
            value = None if "fail" in f else num(f, "v")
            p.lsr.append((t, num(f, "last", t), num(f, "polls", 1), value))
        elif ev == "flush":
            p.marks.append((t, "flush " + f.get("q", "")))
        elif ev == "drain":
            p.marks.append((t, "drain"))
    return [p for p in ports.values() if p.tx or p.rx or p.lsr or any(p.lines.values())]


def times(port):
    ts = [t for t, _ in port.marks]
    ts += [s for s, _, _, _ in port.tx] + [e for _, e, _, _ in port.tx]
    ts += [t for t, _, _, _ in port.rx]
    ts += [a for a, _, _, _ in port.lsr] + [b for _, b, _, _ in port.lsr]
    for changes in port.lines.values():
        ts += [t for t, _ in changes]
    return ts


class View:
    """The time axis: t0..t1 (us) drawn over `width` pixels from LEFT."""

    def __init__(self, ports, args):
        all_t = [t for p in ports for t in times(p)]
        self.t0 = args.t_from if args.t_from is not None else min(all_t)
        self.t1 = args.t_to if args.t_to is not None else max(all_t)
        self.span = max(self.t1 - self.t0, 1)
        chars = [e - s for p in ports for s, e, _, _ in p.tx if e > s]
        self.char = min(chars) if chars else 1000.0
        # wide enough for a labelled box per character, within bounds
        self.width = args.width or int(min(max(1200, self.span * 22.0 / self.char), 24000))
        self.scale = self.width / self.span

    def x(self, t):
        return LEFT + (t - self.t0) * self.scale


def byte_box(out, x0, y, w, fill, extra, title, b):
    """One byte on a lane: its box, with its hex value inside when wide enough."""
    out.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="%s" stroke="#333" '
               'stroke-width="0.5"%s><title>%s</title></rect>'
               % (x0, y + 2, w, LANE_H - 4, fill, extra, title))
    if w >= 16:
        out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="white">%02x</text>'
                   % (x0 + w / 2, y + LANE_H // 2 + 4, b))


def draw_bytes(out, v, p, lane_y):
    """The transmitter's bytes at their wire times, and the bytes read."""
    for s, e, b, kind in p.tx:
        w = max((e - s) * v.scale, 0.5)
        dash = ' stroke-dasharray="3,2"' if kind in ("lost", "cut") else ""
        byte_box(out, v.x(s), lane_y["TX"], w, COLORS.get(kind, "#888"), dash,
                 "%02x %s" % (b, kind), b)
    w = max(v.char * v.scale, 2)
    prev_end = None
    for t, b, inj, after in p.rx:
        # a byte ends at its read; bytes read back to back are laid side by side
        start = t - (after + 1) * v.char
        if prev_end is not None and start < prev_end:
            start = prev_end
        prev_end = start + v.char
        byte_box(out, v.x(start), lane_y["RX"], w, COLORS["inj"] if inj else COLORS["rx"], "",
                 "%02x %s, read at %d us" % (b, "injected" if inj else "line", t - v.t0), b)


def draw_port(out, v, p, gy):
    """One port's lane group, its top at gy."""
    x = v.x
    out.append('<text x="10" y="%d" font-size="12" font-weight="bold">%s</text>'
               % (gy + 12, escape("pid %d fd %d %s" % (p.pid, p.fd, p.path))))
    lane_y = {}
    for li, name in enumerate(LANES):
        y = gy + 20 + li * (LANE_H + LANE_GAP)
        lane_y[name] = y
        out.append('<text x="10" y="%d">%s</text>' % (y + LANE_H // 2 + 4, name))
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#eee"/>'
                   % (LEFT, y + LANE_H, LEFT + v.width, y + LANE_H))
    # modem lines as levels
    for name in ("DTR", "RTS", "LOOP"):
        y = lane_y[name]
        level, last = 0, v.t0
        pts = []
        for t, value in sorted(p.lines[name]) + [(v.t1, None)]:
            yy = y + 4 if level else y + LANE_H - 4
            pts.append("%.1f,%d %.1f,%d" % (x(last), yy, x(t), yy))
            if value is not None:
                level, last = value, t
        out.append('<polyline fill="none" stroke="#222" stroke-width="1.5" points="%s"/>'
                   % " ".join(pts))
    draw_bytes(out, v, p, lane_y)
    # line-status waits
    y = lane_y["LSR"]
    for first, last, polls, value in p.lsr:
        w = max((last - first) * v.scale, 1.5)
        temt = value is not None and value & 1
        err = value is None or value & 0x0E
        color = "#e05050" if err else ("#3fa86b" if temt else "#999")
        label = "fail" if value is None else "0x%02x" % value
        out.append('<rect x="%.1f" y="%d" width="%.1f" height="%d" fill="#aaa">'
                   '<title>%d polls, last %s</title></rect>'
                   % (x(first), y + 8, w, LANE_H - 16, polls, label))
        if temt or err:
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" '
                       'stroke-width="2"/>' % (x(last), y, x(last), y + LANE_H, color))
    # flushes, drains, open/close
    top, bottom = lane_y["DTR"], lane_y["LSR"] + LANE_H
    for t, label in p.marks:
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#c03030" '
                   'stroke-dasharray="4,3"/>' % (x(t), top, x(t), bottom))
        out.append('<text x="%.1f" y="%d" fill="#c03030" font-size="9" '
                   'transform="rotate(-30 %.1f %d)">%s</text>'
                   % (x(t) + 2, top - 2, x(t) + 2, top - 2, escape(label)))


def draw(ports, args):
    v = View(ports, args)
    group_h = len(LANES) * (LANE_H + LANE_GAP) + 30
    height = TOP + group_h * len(ports) + 40
    total_w = LEFT + v.width + 40
    out = ['<?xml version="1.0" encoding="UTF-8"?>']
    out.append('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
               'viewBox="0 0 %d %d" font-family="monospace" font-size="11">'
               % (total_w, height, total_w, height))
    out.append('<rect x="0" y="0" width="%d" height="%d" fill="white"/>' % (total_w, height))
    out.append('<text x="10" y="18" font-size="13">UART emulation trace, t0 = %d us</text>'
               % v.t0)

    # time axis with ticks in ms
    step_ms = 1
    for candidate in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000):
        if candidate * 1000 * v.scale >= 70:
            step_ms = candidate
            break
    tick, axis_y = 0.0, height - 30
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
               % (LEFT, axis_y, LEFT + v.width, axis_y))
    while tick * 1000 <= v.span:
        tx = v.x(v.t0 + tick * 1000)
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>'
                   % (tx, TOP, tx, axis_y))
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%g ms</text>'
                   % (tx, axis_y + 14, round(tick, 3)))
        tick += step_ms

    for gi, p in enumerate(ports):
        draw_port(out, v, p, TOP + gi * group_h)
    # legend
    lx = 420
    for name in ("line", "lost", "cut", "loop", "rx", "inj"):
        out.append('<rect x="%d" y="%d" width="12" height="10" fill="%s"/>'
                   % (lx, 9, COLORS[name]))
        out.append('<text x="%d" y="%d">%s</text>' % (lx + 16, 18, name))
        lx += 60
    out.append("</svg>")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("trace")
    ap.add_argument("-o", "--output", default="-")
    ap.add_argument("--pid", type=int, default=0)
    ap.add_argument("--fd", type=int)
    ap.add_argument("--from", dest="t_from", type=int)
    ap.add_argument("--to", dest="t_to", type=int)
    ap.add_argument("--width", type=int, default=0)
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    ports = collect(parse(args.trace), args)
    if not ports:
        print("trace2svg: no port records in %s" % args.trace, file=sys.stderr)
        return 1
    svg = draw(ports, args)
    if args.output == "-":
        sys.stdout.write(svg)
    else:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(svg)
    if args.check:
        try:
            doc = xml.dom.minidom.parseString(svg.encode("utf-8"))
        except Exception as e:  # any parser error means the output is broken
            print("trace2svg: output is not well-formed XML: %s" % e, file=sys.stderr)
            return 1
        if doc.documentElement.tagName != "svg":
            print("trace2svg: root element is not svg", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
