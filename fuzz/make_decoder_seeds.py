#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_decoder: a control byte, then a byte stream of messages."""
import os
import struct
import sys

HEADER, TYPES_END, END = 0x4D4F524B, 0x4B524F4D, 0x474E4142
S8, S16 = 0x40000000, 0x80000000


def word(v):
    return struct.pack('<Q', v & 0xFFFFFFFFFFFFFFFF)


def sx(v):  # type words are written sign-extended
    return v - (1 << 32) if v & 0x80000000 else v


def message(msg_id, params, total=None):
    """params: (type word, list of data words)."""
    types = [sx(t) for t, _ in params]
    data = [w for _, ws in params for w in ws]
    words = [HEADER, msg_id, len(params), 0] + types + [TYPES_END] + data + [END]
    words[3] = total if total is not None else len(words)
    return b''.join(word(w) for w in words)


def int32(v, kind=2):
    return (kind, [v])


def text16(s, code=25):
    units = s.encode('utf-16-le')
    units += b'\0' * (-len(units) % 8)
    return (code | S16, [len(s)] + list(struct.unpack('<%dQ' % (len(units) // 8), units)))


def bytes8(b, code=23):
    padded = b + b'\0' * (-len(b) % 8)
    return (code | S8, [len(b)] + list(struct.unpack('<%dQ' % (len(padded) // 8), padded)))


request = message(6, [int32(1), int32(0), text16('software\\tarnvel\\settings'), text16('name'), (9, [-1])])
seeds = {
    'request': b'\x00' + request,
    'request_split_32bit': b'\x85' + request,
    'reply': b'\x01' + message(7, [int32(0), text16('ok')]),
    'keepalive_then_request': b'\x02' + message(1, [int32(0)]) + request,
    'two_messages_end_loop': b'\x03' + message(2, [int32(5)]) + request,
    'every_code': b'\x04' + message(9, [int32(-1, 1), int32(2, 2), int32(3, 3), int32(4, 4), (5, [0xFF]),
                                        (6, [0x20AC]), (7, [-1]), (8, [-1]), (9, [-1]), (10, [-1]),
                                        bytes8(b'ab\0cd', 22), bytes8(b'123456789'), bytes8(b'\0\1', 26),
                                        text16('a\0b', 24), text16('')]),
    'plugin_channel': b'\x06' + message(3, [int32(1234, 4)]) + message(4, [int32(0, 4), (7, [0x1A4])]),
    'write_fails': b'\x40' + request,
    'count_21': b'\x07' + message(6, [int32(i) for i in range(21)]),
    'wrong_family_dropped': b'\x08' + message(6, [int32(1), (S8 | S16 | 23, [9, 0x3837363534333231, 0x39]),
                                                  (S8 | 25, [1, 0x41]), int32(2)]),
    'length_past_total': b'\x09' + message(6, [(25 | S16, [10, 0x41])]) + request,
    'negative_length': b'\x0a' + message(6, [(23 | S8, [-1, 0])]),
    'bad_trailer': b'\x0b' + message(6, [int32(1)])[:-8] + word(0x474E4141),
    'short_total': b'\x0c' + message(6, [int32(1), int32(2), int32(3)], total=9) + request,
    'truncated': b'\x0d' + request[:45],
    # Longer than one 4096-byte read of the broker's transport.
    'large_request': b'\x0e' + message(6, [int32(15), int32(0), text16('C:\\data\\tarnvel\\x.bin'), text16(''),
                                          text16('0123456789abcdef' * 160)]) + message(3, [int32(77, 4)]),
    # A length whose byte count wraps a 32-bit size.
    'length_wraps_32bit': b'\x8f' + message(6, [int32(11), int32(0), (25 | S16, [0x7FFFFFFF, 0x41]),
                                               text16(''), text16('')]),
}

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'corpus', 'fuzz_decoder')
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)
