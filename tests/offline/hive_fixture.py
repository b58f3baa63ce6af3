"""Registry hive files for the offline-cleaning tests (run with /usr/bin/python3,
whose `hivex` comes from python3-hivex). Only the empty hive is laid out by hand;
keys and values go through hivex, the library the cleaner itself uses."""
import struct

import hivex

REG_SZ, REG_EXPAND_SZ, REG_BINARY = 1, 2, 3
BIN = 0x1000  # one hbin holds the root key and its sk
ROOT_NAME = b"ROOT"


def _set_checksum(base):
    x = 0
    for (d,) in struct.iter_unpack("<I", bytes(base[:0x1FC])):
        x ^= d
    struct.pack_into("<I", base, 0x1FC, {0: 1, 0xFFFFFFFF: 0xFFFFFFFE}.get(x, x))


def sid(authority, *subs):
    return (struct.pack("<BB", 1, len(subs)) + authority.to_bytes(6, "big")
            + b"".join(struct.pack("<I", s) for s in subs))


def security_descriptor(grants, flags=0):
    """A self-relative security descriptor: owner Administrators, group SYSTEM, and a DACL that
    allows each (sid, mask) of grants, with ACE flags flags."""
    owner, group = sid(5, 32, 544), sid(5, 18)
    aces = b"".join(struct.pack("<BBHI", 0, flags, 8 + len(who), mask) + who for who, mask in grants)
    acl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), len(grants), 0) + aces
    owner_at = 20 + len(acl)
    head = struct.pack("<BBHIIII", 1, 0, 0x8004, owner_at, owner_at + len(owner), 0, 20)
    return head + acl + owner + group


def _cell(payload):
    size = (4 + len(payload) + 7) & ~7
    return struct.pack("<i", -size) + payload + bytes(size - 4 - len(payload))


def make_empty_hive(path):
    nk_off = 0x20
    nk_len = (4 + 0x4C + len(ROOT_NAME) + 7) & ~7
    sk_off = nk_off + nk_len
    nk = struct.pack(
        "<2sHQ15IHH", b"nk", 0x2C,      # hive entry, no delete, ASCII name
        0, 0, 0xFFFFFFFF,               # timestamp, access bits, no parent
        0, 0, 0xFFFFFFFF, 0xFFFFFFFF,   # subkeys: counts, lists
        0, 0xFFFFFFFF,                  # values: count, list
        sk_off, 0xFFFFFFFF,             # security, class name
        0, 0, 0, 0, 0,                  # max lengths, workvar
        len(ROOT_NAME), 0) + ROOT_NAME
    # Everyone gets full key access, inherited by subkeys, so the hive carries no access surprises.
    sd = security_descriptor([(sid(1, 0), 0xF003F)], flags=0x02)
    # A single sk links to itself; the root key is its only user.
    sk = struct.pack("<2sHIIII", b"sk", 0, sk_off, sk_off, 1, len(sd)) + sd
    cells = _cell(nk) + _cell(sk)
    free = BIN - 0x20 - len(cells)
    hbin = (struct.pack("<4sIIQQI", b"hbin", 0, BIN, 0, 0, 0)
            + cells + struct.pack("<i", free) + bytes(free - 4))

    base = bytearray(0x1000)  # clean (seq 1/1), version 1.5, primary file, one bin
    struct.pack_into("<4sIIQ7I", base, 0, b"regf", 1, 1, 0, 1, 5, 0, 1, nk_off, BIN, 1)
    _set_checksum(base)
    with open(path, "wb") as f:
        f.write(bytes(base) + hbin)


def _child(h, node, name):
    # hivex folds only ASCII case; Windows folds all of it.
    for c in h.node_children(node):
        if h.node_name(c).upper() == name.upper():
            return c
    return None


def _walk(h, key_path, create):
    node = h.root()
    for part in filter(None, key_path.split("\\")):
        child = _child(h, node, part)
        if child is None:
            if not create:
                return None
            child = h.node_add_child(node, part)
        node = child
    return node


def build_hive(path, layout):
    """A new hive with the keys of layout, {"A\\B": [(name, type, str or bytes), ...]}."""
    make_empty_hive(path)
    h = hivex.Hivex(path, write=True)
    for key_path, values in layout.items():  # text as the registry keeps it: UTF-16LE with its NUL
        h.node_set_values(_walk(h, key_path, create=True),
                          [{"key": name, "t": type_, "value": (data + "\0").encode("utf-16-le") if isinstance(data, str)
                            else bytes(data)} for name, type_, data in values])
    h.commit(path)


def read_values(path, key_path):
    """[(name, type, raw bytes)] in hive order, or None if the key is missing."""
    h = hivex.Hivex(path)
    node = _walk(h, key_path, create=False)
    if node is None:
        return None
    return [(h.value_key(v),) + tuple(h.value_value(v)) for v in h.node_values(node)]


def make_dirty(path):
    """Primary sequence one ahead of the secondary, as after an interrupted write."""
    with open(path, "r+b") as f:
        base = bytearray(f.read(0x200))
        struct.pack_into("<I", base, 4, struct.unpack_from("<I", base, 8)[0] + 1)
        _set_checksum(base)
        f.seek(0)
        f.write(base)


def repeat_first_value(path, key_path):
    """The key's value list names its first value twice: libhivex reads it, and aborts when
    it deletes the values."""
    node = _walk(hivex.Hivex(path), key_path, create=False)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        nk = data.index(b"nk", node)
        at = BIN + struct.unpack_from("<I", data, nk + 0x28)[0] + 4  # the list's first entry
        data[at + 4:at + 8] = data[at:at + 4]
        f.seek(0)
        f.write(data)
