"""Checks of the local service double itself, from the Linux side."""

import base64
import hashlib
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLE = os.path.join(HERE, "..", "..", "tools", "service_double", "service_double.py")
CERTS = os.environ.get("VELMARQUIN_CERTS", os.path.join(HERE, "..", "..", "build", "certs"))


def frame(text):
    data = text.encode()
    return b"~m~%d~m~" % len(data) + data


class DoubleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        port_file = os.path.join(cls.work, "ports.json")
        cls.proc = subprocess.Popen([sys.executable, DOUBLE, "--certs", CERTS, "--port-file", port_file,
                                     "--lifetime", "120"], stdin=subprocess.PIPE)
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file, encoding="utf-8") as f:
            cls.ports = json.load(f)
        cls.context = ssl.create_default_context(cafile=os.path.join(CERTS, "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        cls.proc.stdin.close()  # the double ends when its input closes
        cls.proc.wait(timeout=10)

    def control(self, method, path, body=None):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.ports["control"], path), method=method,
                                         data=None if body is None else json.dumps(body).encode())
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.read().decode()

    def https(self, raw):
        with socket.create_connection(("127.0.0.1", self.ports["service"]), timeout=10) as plain:
            with self.context.wrap_socket(plain, server_hostname="localhost") as tls:
                tls.sendall(raw)
                data = b""
                while True:
                    chunk = tls.recv(65536)
                    if not chunk:
                        return data
                    data += chunk

    def websocket(self):
        plain = socket.create_connection(("127.0.0.1", self.ports["service"]), timeout=10)
        tls = self.context.wrap_socket(plain, server_hostname="localhost")
        key = base64.b64encode(os.urandom(16)).decode()
        tls.sendall(("GET /socket.io/websocket HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % key).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += tls.recv(1)
        accept = base64.b64encode(hashlib.sha1(key.encode() + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
        self.assertIn(b"101", head.split(b"\r\n")[0])
        self.assertIn(accept, head)
        return tls

    @staticmethod
    def send(tls, text):
        data = text if isinstance(text, bytes) else text.encode()
        mask = os.urandom(4)
        length = bytes([0x80 | len(data)]) if len(data) < 126 else bytes([0x80 | 126]) + struct.pack(">H", len(data))
        tls.sendall(bytes([0x81]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    @staticmethod
    def receive(tls):
        def exact(n):
            data = b""
            while len(data) < n:
                chunk = tls.recv(n - len(data))
                if not chunk:
                    raise ConnectionError("closed")
                data += chunk
            return data
        parts = b""
        while True:
            head = exact(2)
            n = head[1] & 0x7F
            if n == 126:
                n = struct.unpack(">H", exact(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", exact(8))[0]
            parts += exact(n)
            if head[0] & 0x80:
                return head[0] & 0x0F, parts.decode()

    def test_symbol_search_and_recording(self):
        self.control("POST", "/scenario", {})
        reply = self.https(b"GET /symbol_search?text=ES1%21&type=futures HTTP/1.1\r\nHost: x\r\nX-Probe: 1\r\n\r\n")
        body = json.loads(reply.split(b"\r\n\r\n", 1)[1])
        self.assertEqual(body[0]["exchange"], "CME_MINI")
        self.assertEqual(body[0]["contracts"][0]["symbol"], "ES1!")
        reply = self.https(b"GET /symbol_search?text=NOSUCH&type=stock HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(reply.endswith(b"[]"))
        recording = json.loads(self.control("GET", "/recording"))
        self.assertEqual(recording[0]["query"], "text=ES1%21&type=futures")
        self.assertIn("X-Probe: 1\r\n", recording[0]["raw_head"])

    def test_canned_status_and_refused_upgrade(self):
        self.control("POST", "/scenario", {"http": [{"method": "GET", "path": "/symbol_search", "status": 429}],
                                           "ws": {"refuse_upgrade": 403}})
        self.assertIn(b" 429 ", self.https(b"GET /symbol_search?text=A HTTP/1.1\r\nHost: x\r\n\r\n").split(b"\r\n")[0])
        reply = self.https(b"GET /socket.io/websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                           b"Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n\r\n")
        self.assertIn(b" 403 ", reply.split(b"\r\n")[0])

    def test_series_rounds_are_deterministic_and_do_not_overlap(self):
        def conversation():
            self.control("POST", "/scenario", {"ws": {"seed": 7, "now": 1710547200, "history": 250}})
            tls = self.websocket()
            opcode, hello = self.receive(tls)
            self.assertIn("session_id", hello)
            self.send(tls, frame('{"m":"resolve_symbol","p":["cs_1","sds_sym_1","={\\"symbol\\":\\"NASDAQ:AAPL\\"}"]}'))
            self.assertIn("symbol_resolved", self.receive(tls)[1])
            self.send(tls, frame('{"m":"create_series","p":["cs_1","sds_1","s1","sds_sym_1","5",100]}'))
            messages = [self.receive(tls)[1] for _ in range(3)]
            self.send(tls, frame('{"m":"request_more_data","p":["cs_1","sds_1",200]}'))
            messages += [self.receive(tls)[1] for _ in range(2)]
            tls.close()
            return messages
        first = conversation()
        self.assertEqual(first, conversation())
        self.assertIn("series_loading", first[0])
        newest = json.loads(first[1].split("~m~", 2)[2])["p"][1]["sds_1"]["s"]
        older = json.loads(first[3].split("~m~", 2)[2])["p"][1]["sds_1"]["s"]
        self.assertEqual(len(newest), 100)
        self.assertEqual(len(older), 150)  # the history holds 250 bars
        times = [b["v"][0] for b in older + newest]
        self.assertEqual(times, sorted(set(times)))
        self.assertTrue(all(b - a == 300 for a, b in zip(times, times[1:])))
        self.assertEqual(times[-1], 1710547200.0)
        self.assertIn("series_completed", first[4])

    def test_stall_fault_sends_nothing_more(self):
        self.control("POST", "/scenario", {"ws": {"fault": {"kind": "stall"}}})
        tls = self.websocket()
        self.receive(tls)  # hello
        self.send(tls, frame('{"m":"chart_create_session","p":["cs_1",""]}'))
        tls.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            self.receive(tls)
        tls.close()


if __name__ == "__main__":
    unittest.main()
