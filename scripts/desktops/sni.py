#!/usr/bin/python3
"""Look at a StatusNotifierItem and its com.canonical.dbusmenu menu as a tray host does.

  sni.py items                 registered items (from org.kde.StatusNotifierWatcher)
  sni.py props [ITEM]          the item's properties (Id, Title, ToolTip, IconName, IconPixmap sizes...)
  sni.py icon FILE.png [ITEM]  the largest IconPixmap as a PNG
  sni.py layout [ITEM]         AboutToShow(0), then GetLayout(0, -1, []) printed entry by entry
  sni.py click LABEL [ITEM]    Event(id, "clicked") on the entry whose label is LABEL (mnemonics stripped)
  sni.py watch SECONDS [ITEM]  print the item's and the menu's signals for SECONDS
  sni.py wait SECONDS          wait until an item is registered, print it (exit 1 if none)
  sni.py host                  exit 0 when a watcher runs and a tray host has registered with it
  sni.py labels [ITEM]         the menu's entries, one a line ("-" for a separator)
  sni.py activate [ITEM]       Activate(0, 0): what a host sends on a left click
  sni.py sum [ITEM]            a digest of the IconPixmap: which icon the host is shown
  sni.py look PANEL.ppm [ITEM] the icon against a screenshot of the panel: its contrast with the
                               panel's colour, how many panel pixels have the icon's colours,
                               and the centre of the densest icon-wide group of them (x y)
ITEM is "busname/path"; by default the first registered item.
"""
import sys, time, struct, zlib, hashlib
from collections import Counter
import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
W = 'org.kde.StatusNotifierWatcher'
SNI = 'org.kde.StatusNotifierItem'
DM = 'com.canonical.dbusmenu'


def items():
    try:
        w = bus.get_object(W, '/StatusNotifierWatcher')
        return [str(x) for x in w.Get(W, 'RegisteredStatusNotifierItems',
                                      dbus_interface='org.freedesktop.DBus.Properties')]
    except dbus.DBusException as e:
        print('no watcher:', e.get_dbus_name(), file=sys.stderr)
        return []


def host_registered():
    try:
        w = bus.get_object(W, '/StatusNotifierWatcher')
        return bool(w.Get(W, 'IsStatusNotifierHostRegistered',
                          dbus_interface='org.freedesktop.DBus.Properties'))
    except dbus.DBusException:
        return False


def split(item):
    # Qt registers "service/path"? or just the unique name (then the path is /StatusNotifierItem)
    if '/' in item:
        i = item.index('/')
        return item[:i].rstrip('@'), item[i:]  # GNOME's watcher lists "name@/path"
    return item, '/StatusNotifierItem'


def pick(argv_item):
    if argv_item:
        return split(argv_item)
    it = items()
    if not it:
        sys.exit('no item registered')
    return split(it[0])


def py(v):
    if isinstance(v, dbus.Boolean):
        return bool(v)
    if isinstance(v, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(v)
    if isinstance(v, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.Int16, dbus.UInt16, dbus.Byte)):
        return int(v)
    if isinstance(v, dbus.Array) and v.signature == 'y':
        return bytes(v)
    if isinstance(v, dbus.ByteArray):
        return bytes(v)
    if isinstance(v, (dbus.Array, list)):
        return [py(x) for x in v]
    if isinstance(v, (dbus.Struct, tuple)):
        return tuple(py(x) for x in v)
    if isinstance(v, (dbus.Dictionary, dict)):
        return {py(k): py(x) for k, x in v.items()}
    return v


def pixmaps_desc(pm):
    return ['%dx%d(%dB)' % (w, h, len(d)) for (w, h, d) in pm]


def props(item):
    name, path = item
    o = bus.get_object(name, path)
    p = py(o.GetAll(SNI, dbus_interface='org.freedesktop.DBus.Properties'))
    for k in sorted(p):
        v = p[k]
        if k.endswith('Pixmap'):
            v = pixmaps_desc(v)
        elif k == 'ToolTip':
            iname, ipm, title, text = v
            v = {'icon': iname, 'pixmaps': pixmaps_desc(ipm), 'title': title, 'text': text}
        print('%-20s %r' % (k, v))
    return p


def write_png(fn, w, h, argb):
    rows = []
    for y in range(h):
        row = bytearray(b'\0')
        for x in range(w):
            a, r, g, b = argb[(y * w + x) * 4:(y * w + x) * 4 + 4]
            row += bytes((r, g, b, a))
        rows.append(bytes(row))
    raw = b''.join(rows)
    def chunk(t, d):
        c = struct.pack('>I', len(d)) + t + d
        return c + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
    png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 6, 0, 0, 0))
    png += chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b'')
    open(fn, 'wb').write(png)


def menu_obj(item):
    name, path = item
    o = bus.get_object(name, path)
    mpath = o.Get(SNI, 'Menu', dbus_interface='org.freedesktop.DBus.Properties')
    return bus.get_object(name, mpath), str(mpath)


def flat(node, depth=0, out=None):
    out = [] if out is None else out
    nid, p, children = node
    out.append((int(nid), py(p), depth))
    for c in children:
        flat(py(c) if not isinstance(c, tuple) else c, depth + 1, out)
    return out


def layout(item, quiet=False):
    m, mpath = menu_obj(item)
    try:
        need = m.AboutToShow(0, dbus_interface=DM)
    except dbus.DBusException as e:
        need = 'error ' + e.get_dbus_name()
    rev, root = m.GetLayout(0, -1, dbus.Array([], signature='s'), dbus_interface=DM)
    root = py(root)
    entries = flat(root)
    if not quiet:
        try:
            ver = py(m.Get(DM, 'Version', dbus_interface='org.freedesktop.DBus.Properties'))
            st = py(m.Get(DM, 'Status', dbus_interface='org.freedesktop.DBus.Properties'))
        except dbus.DBusException:
            ver = st = '?'
        print('menu %s  revision %d  dbusmenu Version %s Status %s  AboutToShow(0) -> %s' %
              (mpath, rev, ver, st, need))
        for nid, p, depth in entries:
            if depth == 0:
                print('root id %d props %r' % (nid, p))
                continue
            kind = p.get('type', 'standard')
            if kind == 'separator':
                print('  %3d  ---- separator ----  %s' % (nid, {k: v for k, v in p.items() if k != 'type'}))
                continue
            extra = {k: v for k, v in p.items()
                     if k not in ('label', 'enabled', 'toggle-type', 'toggle-state', 'shortcut', 'visible')}
            print('  %3d  %-34r enabled=%-5s visible=%-5s toggle=%s/%s shortcut=%s %s' % (
                nid, p.get('label'), p.get('enabled', True), p.get('visible', True),
                p.get('toggle-type', '-'), p.get('toggle-state', '-'), p.get('shortcut', '-'),
                extra if extra else ''))
    return entries, m


def strip(label):
    return (label or '').replace('__', '\0').replace('_', '').replace('\0', '_')


def click(item, label):
    entries, m = layout(item, quiet=True)
    for nid, p, depth in entries:
        if depth and strip(p.get('label')) == label:
            m.Event(nid, 'clicked', dbus.Int32(0, variant_level=1), dbus.UInt32(int(time.time())),
                    dbus_interface=DM)
            print('clicked %d %r' % (nid, label))
            return
    sys.exit('no entry %r among %r' % (label, [strip(p.get('label')) for _, p, _ in entries]))


def watch(item, seconds):
    name, path = item
    t0 = time.time()
    def h(*args, **kw):
        print('%6.2fs %s.%s %s' % (time.time() - t0, kw['iface'], kw['member'],
                                  [py(a) if not isinstance(py(a), bytes) else '<bytes>' for a in args][:3]),
              flush=True)
    bus.add_signal_receiver(h, sender_keyword='sender', interface_keyword='iface',
                            member_keyword='member', bus_name=name, dbus_interface=SNI)
    bus.add_signal_receiver(h, interface_keyword='iface', member_keyword='member',
                            bus_name=name, dbus_interface=DM)
    loop = GLib.MainLoop()
    GLib.timeout_add(int(seconds * 1000), loop.quit)
    loop.run()


def pixmap(item):
    o = bus.get_object(*item)
    pm = py(o.Get(SNI, 'IconPixmap', dbus_interface='org.freedesktop.DBus.Properties'))
    return max(pm, key=lambda t: t[0])


def luminance(c):
    v = [x / 255 for x in c]
    v = [x / 12.92 if x <= 0.03928 else ((x + 0.055) / 1.055) ** 2.4 for x in v]
    return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2]


def ratio(a, b):
    la, lb = luminance(a), luminance(b)
    return (max(la, lb) + 0.05) / (min(la, lb) + 0.05)


def look(ppm, item):
    _, size, _, px = open(ppm, 'rb').read().split(b'\n', 3)
    W, H = map(int, size.split())
    pixels = [tuple(px[i:i + 3]) for i in range(0, W * H * 3, 3)]
    bg = Counter(pixels).most_common(1)[0][0]
    w, h, d = pixmap(item)
    ink = [tuple(d[i + 1:i + 4]) for i in range(0, len(d), 4) if d[i] >= 160]
    # the contrast that at least a quarter of the icon's ink reaches against the panel
    contrasts = sorted((ratio(c, bg) for c in ink), reverse=True)
    contrast = contrasts[len(contrasts) // 4] if contrasts else 1.0
    colours = [c for c, _ in Counter(ink).most_common(48) if ratio(c, bg) >= 1.3]
    near = lambda p: any(max(abs(p[0] - c[0]), abs(p[1] - c[1]), abs(p[2] - c[2])) <= 24 for c in colours)
    hits = [(i % W, i // W) for i, p in enumerate(pixels) if p != bg and near(p)]
    # the icon is where most of them gather within an icon's width (text may share a colour)
    columns = Counter(x for x, _ in hits)
    left = max(range(W), key=lambda x0: sum(columns[x] for x in range(x0, x0 + H)), default=0)
    hits = [(x, y) for x, y in hits if left <= x < left + H]
    cx = sum(x for x, _ in hits) // len(hits) if hits else -1
    cy = sum(y for _, y in hits) // len(hits) if hits else -1
    print('%.2f %d %d %d #%02x%02x%02x' % (contrast, len(hits), cx, cy, *bg))


def main():
    a = sys.argv[1:]
    if not a:
        print(__doc__); return
    cmd = a[0]
    if cmd == 'items':
        for i in items():
            print(i)
    elif cmd == 'host':
        sys.exit(0 if host_registered() else 1)
    elif cmd == 'wait':
        end = time.time() + float(a[1])
        while time.time() < end:
            it = items()
            if it:
                print(it[0]); return
            time.sleep(0.25)
        sys.exit(1)
    elif cmd == 'props':
        props(pick(a[1] if len(a) > 1 else None))
    elif cmd == 'icon':
        item = pick(a[2] if len(a) > 2 else None)
        o = bus.get_object(*item)
        pm = py(o.Get(SNI, 'IconPixmap', dbus_interface='org.freedesktop.DBus.Properties'))
        w, h, d = max(pm, key=lambda t: t[0])
        write_png(a[1], w, h, d)
        print('wrote %s %dx%d' % (a[1], w, h))
    elif cmd == 'labels':
        entries, _ = layout(pick(a[1] if len(a) > 1 else None), quiet=True)
        for _, p, depth in entries:
            if depth:
                print('-' if p.get('type') == 'separator' else strip(p.get('label')))
    elif cmd == 'activate':
        o = bus.get_object(*pick(a[1] if len(a) > 1 else None))
        o.Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=SNI)
    elif cmd == 'sum':
        print(hashlib.md5(pixmap(pick(a[1] if len(a) > 1 else None))[2]).hexdigest()[:12])
    elif cmd == 'look':
        look(a[1], pick(a[2] if len(a) > 2 else None))
    elif cmd == 'layout':
        layout(pick(a[1] if len(a) > 1 else None))
    elif cmd == 'click':
        click(pick(a[2] if len(a) > 2 else None), a[1])
    elif cmd == 'watch':
        watch(pick(a[2] if len(a) > 2 else None), float(a[1]))
    else:
        print(__doc__)


main()
