#!/usr/bin/env python3
"""An independent client for `velko emulator`: builds a sale request by hand,
sends it, and checks the answer's framing and fields."""
import socket
import struct
import subprocess
import sys


def field(code, value):
    return bytes([code, len(value)]) + value


def main(velko):
    proc = subprocess.Popen([velko, "emulator", "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, text=True)
    try:
        first = proc.stdout.readline().strip()
        assert first.startswith("listening on 127.0.0.1:"), first
        port = int(first.rsplit(":", 1)[1])
        assert port > 0, first

        body = (field(0x1B, b"643") + field(0x02, b"01") + field(0x03, b"0000000015")
                + field(0x01, b"PUR") + field(0x04, b"000000012345"))
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(struct.pack(">H", len(body)) + body)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                chunk = s.recv(4096)
                assert chunk, "connection closed after %d bytes" % len(data)
                data += chunk
        (length,) = struct.unpack(">H", data[:2])
        rest, fields = data[2:2 + length], {}
        while rest:
            code, n = rest[0], rest[1]
            if n == 0x82:
                n, head = struct.unpack(">H", rest[2:4])[0], 4
            else:
                head = 2
            fields.setdefault(code, rest[head:head + n])
            rest = rest[head + n:]
        assert fields.get(0xA1) == b"Y", fields
        assert fields.get(0x9B) == b"00", fields
        assert fields.get(0x83) == b"0000000015", fields
        assert fields.get(0x84) == b"000000012345", fields
        assert len(fields.get(0x98, b"")) == 12 and len(fields.get(0x8C, b"")) == 6, fields
        slip = fields[0x9C].decode("cp1251")
        assert "ОДОБРЕНО" in slip, slip
        print("ok: approved, slip of %d bytes" % len(fields[0x9C]))
    finally:
        proc.terminate()
        proc.wait(timeout=10)


if __name__ == "__main__":
    main(sys.argv[1])
