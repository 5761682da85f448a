#!/usr/bin/env python3
"""Independent computation of the page cipher of encrypted SQLite documents,
written from the published algorithms (PDF password padding, MD5, RC4,
L'Ecuyer's generator, AES-128-CBC). Prints the known-answer values that
PageCodecTest.cpp checks."""
import hashlib
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

PAD = bytes.fromhex("28BF4E5E4E758A4164004E56FFFA01082E2E00B6D0683E802F0CA9FE6453697A")
SALT = bytes([ord('Q') ^ 0x11, ord('y') ^ 0x22, ord('p') ^ 0x33, ord('c') ^ 0x44])


def md5(b):
    return hashlib.md5(b).digest()


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    out = bytearray()
    i = j = 0
    for c in data:
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out.append(c ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def db_key(password):
    p = (password[:32] + PAD)[:32]
    h = md5(PAD)
    for _ in range(50):
        h = md5(h)
    o = p
    for i in range(20):
        o = rc4(bytes(x ^ i for x in h), o)
    k = md5(p + o)
    for _ in range(50):
        k = md5(k)
    return k


def to_i32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def iv_for(pgno):
    s = to_i32(pgno + 1)
    seq = b""
    for _ in range(4):
        q = int(s / 52774)          # C division truncates toward zero
        r = s - q * 52774
        s = 40692 * r - 3791 * q
        if s < 0:
            s += 2147483399
        seq += (s & 0xFFFFFFFF).to_bytes(4, "little")
    return md5(seq)


def page_key(key, pgno):
    return md5(key + (pgno & 0xFFFFFFFF).to_bytes(4, "little") + SALT)


def encipher(key, pgno, page):
    enc = Cipher(algorithms.AES(page_key(key, pgno)), modes.CBC(iv_for(pgno))).encryptor()
    return enc.update(page) + enc.finalize()


if __name__ == "__main__":
    for pw in [b"quillery", b"", b"0123456789abcdefghijklmnopqrstuvwxyzABCD"]:
        print("key", pw, db_key(pw).hex())
    k = db_key(b"quillery")
    for pg in [1, 2, 1000, 0x7FFFFFFE]:
        print("pgno", pg, "iv", iv_for(pg).hex(), "pagekey", page_key(k, pg).hex())
    page = bytes(i % 251 for i in range(1024))
    out = encipher(k, 3, page)
    print("page3 first32", out[:32].hex(), "sha256", hashlib.sha256(out).hexdigest())
