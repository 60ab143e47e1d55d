"""Checks of the local service double itself, from the Linux side.

Every socket operation has a time-out, and the double runs with a short
lifetime, so a fault in the double fails these tests instead of hanging them.
"""

import base64
import calendar
import datetime
import hashlib
import json
import os
import re
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLE = os.path.join(HERE, "..", "..", "tools", "service_double", "service_double.py")
CERTS = os.environ.get("VELMARQUIN_CERTS", os.path.join(HERE, "..", "..", "build", "certs"))
NOW = 1710547200  # 2024-03-16 00:00:00 UTC, a Saturday
TIMEOUT = 10
GONE = (ConnectionError, ssl.SSLError, OSError)
# A long-lived session of the real service (2025-07-06): the message that
# opens a new bar (the old bar's du twice, then a small timescale_update),
# and the du that moves the new bar.
REAL_NEW_BAR = [json.loads(p) for p in (
    '{"m":"du","p":["cs_kjvmuwkghjuz",{"s1031":{"s":[{"i":299,"v":[1751833020.0,108756.4,108756.41,108756.4,'
    '108756.4,0.30534]}],"ns":{"d":"","indexes":"nochange"},"t":"s1031","lbs":{"bar_close_time":1751833080}}}]}',
    '{"m":"du","p":["cs_kjvmuwkghjuz",{"s1031":{"s":[{"i":299,"v":[1751833020.0,108756.4,108756.41,108756.4,'
    '108756.4,0.30534]}],"ns":{"d":"","indexes":"nochange"},"t":"s1031","lbs":{"bar_close_time":1751833080}}}]}',
    '{"m":"timescale_update","p":["cs_kjvmuwkghjuz",{"s1031":{"s":[{"i":300,"v":[1751833080.0,108756.4,108756.4,'
    '108756.4,108756.4,0.0]}],"ns":{"d":"","indexes":"nochange"},"t":"s1031","lbs":{"bar_close_time":1751833140}}},'
    '{"index":300,"zoffset":0,"changes":[1751833080.0],"marks":[[5,1751818680,300]],"index_diff":[]}],'
    '"t":1751833081,"t_ms":1751833081324}',
    '{"m":"du","p":["cs_kjvmuwkghjuz",{"s1031":{"s":[{"i":300,"v":[1751833080.0,108756.4,108756.41,108756.4,'
    '108756.41,0.04904]}],"ns":{"d":"","indexes":"nochange"},"t":"s1031","lbs":{"bar_close_time":1751833140}}}]}')]


def units(text):
    """The length of a text as a JavaScript string (UTF-16 code units)."""
    return len(text.encode("utf-16-le")) // 2


def frame(text):
    """A service frame: its length counts UTF-16 code units, its payload is UTF-8."""
    text = text.decode() if isinstance(text, bytes) else text
    return b"~m~%d~m~" % units(text) + text.encode()


def payloads(message):
    """The payloads of the service frames in one message (bytes or str),
    reading each length as UTF-16 code units."""
    text = message.decode() if isinstance(message, bytes) else message
    wide = text.encode("utf-16-le")  # two bytes per code unit
    out = []
    pos = 0
    while wide[pos:pos + 6] == "~m~".encode("utf-16-le"):
        digits_end = wide.index("~m~".encode("utf-16-le"), pos + 6)
        n = int(wide[pos + 6:digits_end].decode("utf-16-le"))
        start = digits_end + 6
        out.append(wide[start:start + 2 * n].decode("utf-16-le"))  # fails inside a surrogate pair
        pos = start + 2 * n
    assert pos == len(wide), "bytes outside frames: %r" % wide[pos:pos + 100].decode("utf-16-le", "replace")
    return out


def msg(name, *params):
    return json.dumps({"m": name, "p": list(params)}, separators=(",", ":"))


def symbol_param(symbol, session=None):
    spec = {"symbol": symbol, "adjustment": "splits"}
    if session:
        spec["session"] = session
    return "=" + json.dumps(spec, separators=(",", ":"))


def start_double(lifetime=120):
    work = tempfile.mkdtemp()
    port_file = os.path.join(work, "ports.json")
    proc = subprocess.Popen([sys.executable, DOUBLE, "--certs", CERTS, "--port-file", port_file,
                             "--lifetime", str(lifetime)], stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not os.path.exists(port_file) and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.05)
    with open(port_file, encoding="utf-8") as f:
        return proc, json.load(f)


class WsClient:
    """A minimal RFC 6455 client: masked frames, one message at a time."""

    def __init__(self, tls):
        self.tls = tls
        self.payload_bytes = 0  # of every frame read, control frames included

    def exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.tls.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def send_frame(self, opcode, data, fin=True, mask=True):
        n = len(data)
        head = bytes([(0x80 if fin else 0) | opcode])
        bit = 0x80 if mask else 0
        if n < 126:
            head += bytes([bit | n])
        elif n < 65536:
            head += bytes([bit | 126]) + struct.pack(">H", n)
        else:
            head += bytes([bit | 127]) + struct.pack(">Q", n)
        if mask:
            key = os.urandom(4)
            head += key
            data = bytes(b ^ key[i % 4] for i, b in enumerate(data))
        self.tls.sendall(head + data)

    def send(self, text):
        self.send_frame(1, text.encode() if isinstance(text, str) else text)

    def frame(self):
        """(opcode, fin, data) of the next frame."""
        head = self.exact(2)
        n = head[1] & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.exact(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.exact(8))[0]
        assert not head[1] & 0x80, "server frames are never masked"
        self.payload_bytes += n
        return head[0] & 0x0F, bool(head[0] & 0x80), self.exact(n)

    def message(self):
        """(opcode, bytes) of the next whole message; control frames come alone."""
        parts = []
        opcode = None
        while True:
            op, fin, data = self.frame()
            if op >= 8:
                return op, data
            opcode = op if opcode is None else opcode
            parts.append(data)
            if fin:
                return opcode, b"".join(parts)

    def text(self):
        opcode, data = self.message()
        assert opcode == 1, "expected a text message, got opcode %d" % opcode
        return data.decode()

    def json_messages(self, count):
        """The next count JSON payloads, heartbeats echoed as the plug-in does."""
        out = []
        while len(out) < count:
            for p in payloads(self.text()):
                if p.startswith("~h~"):
                    self.send(frame(p))
                else:
                    out.append(json.loads(p))
        return out

    def close(self):
        try:
            self.tls.close()
        except OSError:
            pass


class DoubleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.proc, cls.ports = start_double()
        cls.context = ssl.create_default_context(cafile=os.path.join(CERTS, "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        cls.proc.stdin.close()  # the double ends when its input closes
        cls.proc.wait(timeout=10)

    # ---- helpers ----------------------------------------------------------

    def control(self, method, path, body=None):
        data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.ports["control"], path), method=method,
                                         data=data)
        with urllib.request.urlopen(request, timeout=TIMEOUT) as reply:
            return reply.read().decode()

    def scenario(self, body):
        self.assertEqual(json.loads(self.control("POST", "/scenario", body)), {"ok": True})

    def recording(self, wait_kind=None, count=1):
        query = "?wait_kind=%s&wait_count=%d&timeout_ms=5000" % (wait_kind, count) if wait_kind else ""
        return json.loads(self.control("GET", "/recording" + query))

    def events(self, kind, wait=0):
        return [e for e in self.recording(kind if wait else None, wait) if e["kind"] == kind]

    def connect(self, port="service"):
        plain = socket.create_connection(("127.0.0.1", self.ports[port]), timeout=TIMEOUT)
        try:
            return self.context.wrap_socket(plain, server_hostname="localhost")
        except BaseException:
            plain.close()
            raise

    def https(self, raw):
        with self.connect() as tls:
            tls.sendall(raw)
            data = b""
            while True:
                chunk = tls.recv(65536)
                if not chunk:
                    break
                data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head.split(b" ")[1]), body

    def get(self, target, origin="https://localhost"):
        """A GET as the plug-in sends it: with the web site's Origin and Referer."""
        headers = "Origin: %s\r\nReferer: %s/\r\n" % (origin, origin) if origin else ""
        return self.https(("GET %s HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % (target, headers)).encode())

    def upgrade(self, key):
        """(TLS socket, the answer's head) of a WebSocket upgrade request."""
        tls = self.connect()
        tls.sendall(("GET /socket.io/websocket HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                     % key).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = tls.recv(1)
            if not chunk:
                tls.close()
                raise ConnectionError("closed during the upgrade: %r" % head)
            head += chunk
        return tls, head

    def websocket(self, expect_hello=True):
        key = base64.b64encode(os.urandom(16)).decode()
        tls, head = self.upgrade(key)
        accept = base64.b64encode(hashlib.sha1(key.encode() + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
        if head.split(b"\r\n")[0] != b"HTTP/1.1 101 Switching Protocols":
            tls.close()
            self.fail("upgrade refused: %r" % head.split(b"\r\n")[0])
        self.assertIn(b"Sec-WebSocket-Accept: " + accept + b"\r\n", head)
        client = WsClient(tls)
        if expect_hello:
            hello = payloads(client.text())
            self.assertEqual(len(hello), 1)
            self.assertIn('"session_id":"<0.', hello[0])
        return client

    def chart(self, client, symbol="NASDAQ:AAPL", resolution="1D", count=100, series="sds_1", answers=4,
              token="unauthorized_user_token"):
        """Opens a chart session as the plug-in does; returns the resolve
        answer and the create_series answers (series_loading,
        timescale_update, series_timeframe, series_completed)."""
        for m in (msg("set_auth_token", token), msg("chart_create_session", "cs_1", ""),
                  msg("switch_timezone", "cs_1", "Etc/UTC"),
                  msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param(symbol, "regular"))):
            client.send(frame(m))
        resolved = client.json_messages(1)[0]
        client.send(frame(msg("create_series", "cs_1", series, "s1", "sds_sym_1", resolution, count)))
        if resolved["m"] != "symbol_resolved":
            return resolved, client.json_messages(2)
        return resolved, client.json_messages(answers)

    @staticmethod
    def bars(payload):
        key = [k for k in payload["p"][1] if k.startswith("sds")][0]
        return [b["v"] for b in payload["p"][1][key]["s"]]

    # ---- the framer ---------------------------------------------------------

    def test_framer_masking_fragments_ping_and_close(self):
        self.scenario({"ws": {"script": [{"expect": 2}, {"send_size": 20000, "fragment": 8192},
                                         {"send": "short"}, {"expect": 1}, {"close": 1000}]}})
        client = self.websocket(expect_hello=False)
        client.send("h\u00e9llo")
        # One message in three frames, with a ping between its fragments.
        client.send_frame(1, b"one ", fin=False)
        client.send_frame(9, b"are you there")
        client.send_frame(0, b"two ", fin=False)
        client.send_frame(0, b"three", fin=True)
        self.assertEqual(client.frame(), (10, True, b"are you there"))
        sizes = []
        while True:
            op, fin, data = client.frame()
            sizes.append((op, fin, len(data)))
            if fin:
                break
        self.assertEqual(sizes, [(1, False, 8192), (0, False, 8192), (0, True, 20000 - 2 * 8192)])
        self.assertEqual(client.text(), "short")
        client.send("last")
        op, data = client.message()
        self.assertEqual((op, struct.unpack(">H", data[:2])[0]), (8, 1000))
        client.send_frame(8, struct.pack(">H", 1000))
        client.close()

        self.recording("ws_end")
        texts = [e["text"] for e in self.events("ws_message")]
        # Recorded text is the message's bytes, one character per byte.
        self.assertEqual(texts, ["h\u00e9llo".encode().decode("latin-1"), "one two three", "last"])
        self.assertEqual([e["data"] for e in self.events("ws_ping")], ["are you there"])
        self.assertEqual([e["code"] for e in self.events("ws_close_sent")], [1000])
        self.assertEqual([e["code"] for e in self.events("ws_close")], [1000])

    def test_client_close_is_answered_and_unmasked_frames_are_reported(self):
        self.scenario({"ws": {"script": [{"echo": True}]}})
        client = self.websocket(expect_hello=False)
        client.send_frame(1, b"plain", mask=False)
        self.assertEqual(client.text(), "plain")
        client.send_frame(8, struct.pack(">H", 4001) + b"bye")
        op, data = client.message()
        self.assertEqual((op, data), (8, struct.pack(">H", 4001)))
        client.close()
        closes = self.events("ws_close", wait=1)
        self.assertEqual((closes[0]["code"], closes[0]["reason"]), (4001, "bye"))
        self.assertEqual([e["what"] for e in self.events("violation")], ["unmasked client frame"])

    def test_script_sends_frames_raw_bytes_and_drops(self):
        raw = base64.b64encode(b"\x81\x03abc").decode()
        self.scenario({"ws": {"script": [{"hello": True}, {"send_frames": ["~h~1", "{\"m\":\"x\",\"p\":[]}"]},
                                         {"send_raw": raw}, {"drop": True}]}})
        client = self.websocket()
        self.assertEqual(payloads(client.text()), ["~h~1", '{"m":"x","p":[]}'])
        self.assertEqual(client.text(), "abc")
        with self.assertRaises(GONE):
            client.frame()  # the TCP connection went without a close frame
        client.close()

    # ---- the service conversation -------------------------------------------

    def test_history_conversation_rounds_are_deterministic_and_end_with_the_history(self):
        def conversation(seed):
            self.scenario({"ws": {"seed": seed, "now": NOW + 4000, "history": 250}})
            client = self.websocket()
            resolved, answers = self.chart(client, resolution="5", count=100)
            self.assertEqual(resolved["m"], "symbol_resolved")
            self.assertEqual(resolved["p"][:2], ["cs_1", "sds_sym_1"])
            self.assertEqual(resolved["p"][2]["pro_name"], "NASDAQ:AAPL")
            rounds = [answers]
            for ask in (100, 100, 100):
                client.send(frame(msg("request_more_data", "cs_1", "sds_1", ask)))
                rounds.append(client.json_messages(3 if len(rounds) < 3 else 1))
            client.close()
            return rounds

        first = conversation(7)
        self.assertEqual(first, conversation(7))
        self.assertNotEqual(first, conversation(8))
        self.assertEqual([m["m"] for m in first[0]],
                         ["series_loading", "timescale_update", "series_timeframe", "series_completed"])
        # [cs, series, update mode, key, why]; an anonymous session's stock data is delayed.
        self.assertEqual(first[0][3], {"m": "series_completed", "t": NOW + 4000, "t_ms": (NOW + 4000) * 1000,
                                       "p": ["cs_1", "sds_1", "delayed_streaming_900", "s1",
                                             {"rt_update_period": 5}]})
        # The 24 hours up to the newest bar: 288 five-minute bars, only 100 handed out yet.
        self.assertEqual(first[0][2]["p"], ["cs_1", "sds_1", "s1", 0, 99, "LASTSESSION", True])
        self.assertEqual(first[1][1]["p"][3:5], [0, 199])  # indexes count from the oldest bar sent
        newest, older, oldest = self.bars(first[0][1]), self.bars(first[1][0]), self.bars(first[2][0])
        self.assertEqual((len(newest), len(older), len(oldest)), (100, 100, 50))  # 250 bars of history
        self.assertEqual([m["p"][4] for m in (first[1][2], first[2][2], first[3][0])],
                         [{"rt_update_period": 5}] + [{"rt_update_period": 0, "data_completed": "end"}] * 2)
        times = [b[0] for b in oldest + older + newest]
        self.assertTrue(all(isinstance(t, float) for t in times))
        self.assertEqual(times[-1], float(NOW + 3900))  # aligned to 5 minutes, the newest bar is now's
        self.assertTrue(all(b - a == 300 for a, b in zip(times, times[1:])), "no overlap, no gap")
        for t, o, h, l, c, v in oldest + older + newest:
            self.assertTrue(0 < l <= min(o, c) <= max(o, c) <= h and v > 0)

    def series_bars(self, ws, symbol, resolution, count, rounds=1):
        """The bars (oldest first) a signed-in client gets for one series in
        one scenario: create_series, then rounds - 1 request_more_data."""
        self.scenario({"ws": dict({"min_connection_gap_ms": 0, "heartbeat": {"interval_ms": 0}}, **ws)})
        client = self.websocket()
        resolved, answers = self.chart(client, symbol=symbol, resolution=resolution, count=count,
                                       token="test-token-123")
        self.assertEqual(answers[1]["m"], "timescale_update", (ws, symbol, resolution))
        got = self.bars(answers[1])
        for _ in range(rounds - 1):
            client.send(frame(msg("request_more_data", "cs_1", "sds_1", count)))
            got = self.bars(client.json_messages(3)[0]) + got
        client.close()
        return got

    def test_history_anchor_keeps_the_bars_when_now_moves(self):
        day = 86400
        anchor = NOW + 3 * day + 7200  # Tuesday 02:00 UTC: Monday's session is the newest that opened
        for symbol, resolution, count, early, late in (
                ("NASDAQ:AAPL", "1D", 150, NOW - 2 * day + 15 * 3600, NOW + 2 * day + 15 * 3600),  # Thu, Mon
                ("SP:SPX", "1D", 150, NOW - day + 3600, NOW + 3600),  # no volume; Thursday's bar is the newest
                ("BINANCE:BTCUSDT", "60", 200, NOW, NOW + day),
                ("NASDAQ:AAPL", "1", 1000, NOW + 3600 + 30, NOW + day),
                ("NASDAQ:AAPL", "1W", 50, NOW - 8 * day, NOW),
                ("NASDAQ:AAPL", "1M", 20, NOW - 40 * day, NOW)):  # February's bar, then March's
            case = (symbol, resolution)
            earlier = self.series_bars({"seed": 5, "now": early, "history_anchor": anchor}, symbol, resolution,
                                       count, rounds=2)
            later = self.series_bars({"seed": 5, "now": late, "history_anchor": anchor}, symbol, resolution,
                                     count, rounds=2)
            # The times are those without the anchor: the newest bar is the one that holds now.
            self.assertEqual([b[0] for b in later],
                             [b[0] for b in self.series_bars({"seed": 5, "now": late}, symbol, resolution, count,
                                                             rounds=2)], case)
            by_time = {b[0]: b for b in later}
            common = [b for b in earlier if b[0] in by_time]
            self.assertGreater(len(common), count // 2, case)
            self.assertGreater(later[-1][0], earlier[-1][0], case)
            self.assertIn(earlier[-1], common, case)  # the earlier newest bar is complete in the later one
            self.assertEqual(common, [by_time[b[0]] for b in common], case)
        # Without the anchor the walk starts at now: the same bar has other values.
        before, after = (self.series_bars({"seed": 5, "now": now}, "BINANCE:BTCUSDT", "60", 100)
                         for now in (NOW, NOW + 3600))
        self.assertEqual([b[0] for b in before[1:]], [b[0] for b in after[:-1]])
        self.assertTrue(all(a != b for a, b in zip(before[1:], after[:-1])))

        # At most 100000 bars ahead of now; the session goes on after a refusal.
        for resolution, ahead, answer in (("1", 100000 * 60, "series_completed"),
                                          ("1", 100001 * 60, "history_anchor is more than 100000 bars ahead of now"),
                                          ("60", 100001 * 60, "series_completed")):
            self.scenario({"ws": {"now": NOW, "history_anchor": NOW + ahead, "heartbeat": {"interval_ms": 0},
                                  "max_series": 0}})
            client = self.websocket()
            _, answers = self.chart(client, resolution=resolution, count=10, answers=1,
                                    token="test-token-123")
            if answers[0]["m"] == "series_loading":
                answers += client.json_messages(3)
            self.assertEqual(answers[-1]["m"] if answer == "series_completed" else answers[-1],
                             answer if answer == "series_completed" else
                             {"m": "series_error", "p": ["cs_1", "sds_1", "s1", answer]}, resolution)
            client.send(frame(msg("create_series", "cs_1", "sds_2", "s2", "sds_sym_1", "1D", 10)))
            self.assertEqual(client.json_messages(4)[-1]["m"], "series_completed")
            client.close()
        # A scenario without "now" whose anchor the clock has passed.
        self.scenario({"ws": {"history_anchor": time.time() + 0.3}})
        time.sleep(0.4)
        client = self.websocket()
        _, answers = self.chart(client, count=10, answers=1)
        self.assertEqual(answers[0]["p"][3], "history_anchor is before now")
        client.close()

        for bad in ({"now": NOW, "history_anchor": NOW - 1}, {"history_anchor": time.time() - 60},
                    {"history_anchor": "tomorrow"}, {"history_anchor": True},
                    {"splits": []}, {"splits": {"NASDAQ:AAPL": {"before": NOW}}},
                    {"splits": {"NASDAQ:AAPL": {"before": NOW, "ratio": 0}}},
                    {"splits": {"NASDAQ:AAPL": {"before": NOW, "ratio": -2}}},
                    {"splits": {"NASDAQ:AAPL": {"before": "x", "ratio": 2}}},
                    {"splits": {"NASDAQ:AAPL": {"before": NOW, "ratio": 2, "after": 1}}}):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                self.control("POST", "/scenario", {"ws": bad})
            self.assertEqual(caught.exception.code, 400, bad)
            caught.exception.close()

    def test_a_split_adjusts_the_older_bars_of_every_series_but_not_quotes(self):
        day = 86400
        for symbol, key, resolution, before, ratio, decimals in (
                ("NASDAQ:AAPL", "NASDAQ:AAPL", "1D", NOW - 100 * day, 4, 2),
                ("AAPL", "NASDAQ:AAPL", "1D", NOW - 100 * day, 4, 2),  # the bare symbol means its first listing
                ("SP:SPX", "SP:SPX", "1D", NOW - 50 * day, 2.5, 2),  # no volume
                ("NASDAQ:MSFT", "NASDAQ:MSFT", "60", NOW - 5 * day, 3, 2),
                ("TSE:7203", "TSE:7203", "1D", NOW - 30 * day, 10, 1),
                ("KRX:005930", "KRX:005930", "1D", NOW - 30 * day, 1e6, 0)):  # below one step: the step
            case = (symbol, resolution)
            ws = {"seed": 3, "now": NOW}
            plain = self.series_bars(ws, symbol, resolution, 120, rounds=2)
            split = self.series_bars(dict(ws, splits={key: {"before": before, "ratio": ratio}}), symbol, resolution,
                                     120, rounds=2)
            self.assertEqual([b[0] for b in split], [b[0] for b in plain], case)
            self.assertTrue(plain[0][0] < before <= plain[-1][0], case)
            for p, s in zip(plain, split):
                if p[0] < before:
                    self.assertEqual(s[1:5], [max(round(x / ratio, decimals), 10.0 ** -decimals) for x in p[1:5]],
                                     case)
                    self.assertEqual(s[5:], [v * ratio for v in p[5:]], case)
                else:
                    self.assertEqual(s, p, case)
            self.assertEqual(len(plain[0]), 5 if symbol == "SP:SPX" else 6)

        # A split still to come adjusts every bar, the one a du moves too;
        # other symbols and the quotes stay as they were.
        def answers(ws):
            self.scenario({"ws": dict({"seed": 3, "now": NOW, "series_reply": "timescale+du"}, **ws)})
            client = self.websocket()
            out = self.chart(client, resolution="60", count=10, answers=5)[1]
            client.send(frame(msg("quote_create_session", "qs_1")) +
                        frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))
            out += client.json_messages(2)
            client.close()
            return out

        plain = answers({})
        split = answers({"splits": {"NASDAQ:AAPL": {"before": NOW + day, "ratio": 2}}})
        other = answers({"splits": {"NASDAQ:MSFT": {"before": NOW + day, "ratio": 2}}})
        self.assertEqual(other, plain)
        self.assertEqual(split[5:], plain[5:])  # qsd, quote_completed
        (p_du,), (s_du,) = self.bars(plain[4]), self.bars(split[4])
        self.assertEqual(s_du[:2], [p_du[0], round(self.bars(plain[1])[-1][1] / 2, 2)])
        self.assertEqual(s_du[5] - self.bars(split[1])[-1][5], p_du[5] - self.bars(plain[1])[-1][5])
        self.assertEqual([b[1:5] for b in self.bars(split[1])],
                         [[round(x / 2, 2) for x in b[1:5]] for b in self.bars(plain[1])])

    def test_anchor_split_reply_delay_and_limits_combine(self):
        anchor, day = NOW + 86400, 86400
        base = {"seed": 9, "now": NOW, "history_anchor": anchor,
                "splits": {"NASDAQ:AAPL": {"before": NOW - 20 * day, "ratio": 2}}}
        alone = self.series_bars(base, "NASDAQ:AAPL", "1D", 100)
        self.scenario({"ws": dict(base, reply_delay_ms=150, max_sessions=2, max_series=1,
                                  min_connection_gap_ms=0, heartbeat={"interval_ms": 0})})
        client = self.websocket()
        sent = time.monotonic()
        client.send(b"".join(frame(m) for m in (
            msg("chart_create_session", "cs_1", ""), msg("quote_create_session", "qs_1"),
            msg("chart_create_session", "cs_2", ""),
            msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL")),
            msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 100),
            msg("create_series", "cs_1", "sds_2", "s1", "sds_sym_1", "1D", 100))))
        got = client.json_messages(7)
        self.assertGreaterEqual(time.monotonic() - sent, 0.15)
        client.close()
        self.assertEqual([m["m"] for m in got], ["critical_error", "symbol_resolved", "series_loading",
                                                 "timescale_update", "series_timeframe", "series_completed",
                                                 "critical_error"])
        self.assertEqual(got[0]["p"], ["cs_2", "max sessions rate reached"])
        self.assertEqual(got[6]["p"][1], "exceed limit of series in the session")
        self.assertEqual(self.bars(got[3]), alone)

    def test_bars_per_request_can_be_capped(self):
        self.scenario({"ws": {"max_per_request": 30, "history": 100}})
        client = self.websocket()
        _, answers = self.chart(client, count=50)
        self.assertEqual(len(self.bars(answers[1])), 30)
        client.send(frame(msg("request_more_data", "cs_1", "sds_1", 50)))
        self.assertEqual(len(self.bars(client.json_messages(3)[0])), 30)
        client.close()

    def test_resolutions_align_bar_times(self):
        def starts(resolution, symbol="BINANCE:BTCUSDT", **ws):
            self.scenario({"ws": dict(now=NOW + 12345, **ws)})
            client = self.websocket()
            _, answers = self.chart(client, symbol=symbol, resolution=resolution, count=4)
            client.close()
            return [int(b[0]) for b in self.bars(answers[1])]

        day = 86400
        self.assertEqual(starts("1"), [NOW + 12300 - 60 * (3 - i) for i in range(4)])
        self.assertEqual(starts("60"), [NOW + 10800 - 3600 * (3 - i) for i in range(4)])
        self.assertEqual(starts("1D"), [NOW - day * (3 - i) for i in range(4)])
        monday = NOW - 5 * day  # the week of 2024-03-11
        self.assertEqual(starts("1W"), [monday - 7 * day * (3 - i) for i in range(4)])
        self.assertEqual(starts("1M"), [calendar.timegm((2023, 12, 1, 0, 0, 0))] +
                         [calendar.timegm((2024, m, 1, 0, 0, 0)) for m in (1, 2, 3)])
        weekdays = starts("1D", skip_weekends=True)
        self.assertEqual([datetime.datetime.fromtimestamp(t, datetime.timezone.utc).weekday() for t in weekdays],
                         [1, 2, 3, 4])

        # A daily bar is stamped when its trading date's session opens (now is
        # Saturday 03:25 UTC, New York already on summer time, Chicago too).
        friday = NOW - day
        for symbol, ws, newest in (
                ("NASDAQ:AAPL", {}, friday + 13 * 3600 + 1800),       # 09:30 New York: Saturday's not open yet
                # Exchanges have no Saturday bar: the newest is Friday's.
                ("FX_IDC:EURUSD", {}, friday - 2 * 3600),             # Friday's bar opens Thursday 22:00 UTC
                ("FX_IDC:EURUSD", {"skip_weekends": False}, friday + 22 * 3600),  # a Saturday bar, when asked for
                ("OANDA:EURUSD", {"skip_weekends": True}, friday - 3 * 3600),  # Friday's: Thursday 17:00 New York
                ("CME_MINI:ES1!", {}, friday - 2 * 3600),             # 17:00 Chicago the evening before
                ("TSE:7203", {}, friday),                             # 09:00 Tokyo is 00:00 UTC
                ("NASDAQ:AAPL", {"daily_stamps": "midnight"}, friday)):
            got = starts("1D", symbol, **ws)
            self.assertEqual(got[-1], newest, (symbol, ws))
            self.assertEqual(len(set(t % day for t in got)), 1, "no change of clocks in these four days")

    def test_latest_bar_poll_shapes(self):
        self.scenario({"ws": {"now": NOW}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, series="sds_live_1")
        self.assertEqual(list(answers[1]["p"][1]), ["sds_live_1"])  # keyed by the series asked for
        self.assertEqual(len(self.bars(answers[1])), 3)
        self.assertEqual(answers[3]["p"][1], "sds_live_1")
        client.close()

        self.scenario({"ws": {"now": NOW, "series_reply": "du"}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, series="sds_live_1", answers=2)
        self.assertEqual([m["m"] for m in answers], ["series_loading", "du"])
        self.assertEqual(len(self.bars(answers[1])), 3)
        client.close()

        self.scenario({"ws": {"now": NOW, "du_after_series": True, "updates": {"interval_ms": 20, "count": 1}}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, answers=6)
        self.assertEqual([m["m"] for m in answers], ["series_loading", "timescale_update", "series_timeframe",
                                                     "series_completed", "du", "du"])
        self.assertEqual(self.bars(answers[5])[0][0], self.bars(answers[1])[-1][0], "the newest bar moves")
        client.close()

    def test_unknown_symbols_and_resolutions_give_errors(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0}})
        client = self.websocket()
        resolved, answers = self.chart(client, symbol="NOWHERE:XYZ")
        self.assertEqual(resolved, {"m": "symbol_error", "p": ["cs_1", "sds_sym_1", "invalid symbol"]})
        self.assertEqual(answers, [{"m": "series_loading", "p": ["cs_1", "sds_1", "s1"]},
                                   {"m": "series_error", "p": ["cs_1", "sds_1", "s1", "resolve error"]}])
        client.close()

        client = self.websocket()
        _, answers = self.chart(client, resolution="7X", answers=1)
        self.assertEqual(answers[0]["m"], "series_error")
        client.send(frame(msg("create_series", "cs_1", "sds_2", "s2", "sds_sym_1", "1D", "many")))
        self.assertEqual(client.json_messages(1)[0]["m"], "critical_error")
        client.close()

        # A symbol of the scenario is known, with its own history length.
        self.scenario({"symbols": {"X:Y": {"history": 2, "price": 10.0}},
                       "ws": {"unknown_symbols": ["NASDAQ:AAPL"], "min_connection_gap_ms": 0}})
        client = self.websocket()
        _, answers = self.chart(client, symbol="X:Y", count=100)
        self.assertEqual(len(self.bars(answers[1])), 2)
        client.close()
        client = self.websocket()
        self.assertEqual(self.chart(client)[0]["m"], "symbol_error")
        client.close()

    def test_quote_poll_moves_and_partial_updates(self):
        def poll(**ws):
            self.scenario({"ws": dict(now=NOW, min_connection_gap_ms=0, **ws)})
            client = self.websocket()
            for m in (msg("set_auth_token", "unauthorized_user_token"), msg("quote_create_session", "qs_1"),
                      msg("quote_set_fields", "qs_1", "lp", "ch"),
                      msg("quote_add_symbols", "qs_1", symbol_param("BINANCE:BTCUSDT"))):
                client.send(frame(m))
            return client

        name = symbol_param("BINANCE:BTCUSDT")
        echoed = '={"adjustment":"splits","symbol":"BINANCE:BTCUSDT"}'  # written again by the service
        client = poll(updates={"interval_ms": 20, "count": 2})
        full, completed = client.json_messages(2)
        self.assertEqual((full["m"], full["p"][1]["n"], full["p"][1]["s"]), ("qsd", echoed, "ok"))
        v = full["p"][1]["v"]
        self.assertEqual((v["lp_time"], v["pro_name"], v["type"]), (NOW, "BINANCE:BTCUSDT", "crypto"))
        self.assertEqual(completed, {"m": "quote_completed", "p": ["qs_1", echoed]})
        updates = [json.loads(p) for p in payloads(client.text())]  # two partial qsd in one message
        self.assertEqual([list(u["p"][1]["v"]) for u in updates],
                         [["volume"], ["lp", "ch", "chp", "lp_time", "volume"]])
        self.assertNotEqual(updates[1]["p"][1]["v"]["lp"], v["lp"])
        client.close()
        # A second poll in the same scenario sees a moved price.
        client = self.websocket()
        for m in (msg("quote_create_session", "qs_2"), msg("quote_add_symbols", "qs_2", name)):
            client.send(frame(m))
        self.assertNotEqual(client.json_messages(1)[0]["p"][1]["v"]["lp"], updates[1]["p"][1]["v"]["lp"])
        client.close()

        client = poll(quote={"fields": {"lp_time": None, "trade_time": 1}})
        v2 = client.json_messages(1)[0]["p"][1]["v"]
        self.assertNotIn("lp_time", v2)
        self.assertEqual(v2["trade_time"], 1)
        client.close()
        client = poll(quote={"first_without_lp": True})
        first, second = client.json_messages(2)
        self.assertNotIn("lp", first["p"][1]["v"])
        self.assertIn("lp", second["p"][1]["v"])
        client.close()
        client = poll(quote={"partial_without_lp": True}, updates={"interval_ms": 20, "count": 1})
        client.json_messages(2)
        self.assertEqual([list(json.loads(p)["p"][1]["v"]) for p in payloads(client.text())], [["volume"]] * 2)
        client.close()

    def test_heartbeats_and_their_echoes_are_recorded(self):
        self.scenario({"ws": {"heartbeat": {"with_first_answer": True}}})
        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:MSFT"))))
        first = payloads(client.text())
        self.assertEqual(first[0], "~h~1")  # in front of the first answer, in the same message
        self.assertIn("symbol_resolved", first[1])
        client.send(frame("~h~1"))
        client.send(frame("~h~9"))
        client.close()
        end = self.events("ws_end", wait=1)[0]
        self.assertEqual([(e["text"], e["expected"]) for e in self.events("heartbeat_echo")],
                         [("~h~1", True), ("~h~9", False)])
        self.assertEqual((end["heartbeats_sent"], end["heartbeats_echoed"], end["heartbeats_unanswered"]),
                         (1, 1, []))
        self.assertEqual(end["messages"], 4)

        self.scenario({"ws": {"heartbeat_first": True, "heartbeat": {"first_number": 98}}})
        client = self.websocket()
        self.assertEqual(payloads(client.text()), ["~h~98"])
        client.close()
        self.assertEqual(self.events("ws_end", wait=1)[0]["heartbeats_unanswered"], ["~h~98"])

        # Every connection counts from 1 (or first_number), and the frame's
        # length grows with the number.
        for beat, count, expected in (({"interval_ms": 20}, 10, ["~m~4~m~~h~%d" % n for n in range(1, 10)] +
                                       ["~m~5~m~~h~10"]),
                                      ({"interval_ms": 20, "first_number": 98}, 4,
                                       ["~m~5~m~~h~98", "~m~5~m~~h~99", "~m~6~m~~h~100", "~m~6~m~~h~101"])):
            self.scenario({"ws": {"heartbeat": beat, "min_connection_gap_ms": 0}})
            for _ in range(2):
                client = self.websocket()
                self.assertEqual([client.text() for _ in range(count)], expected, beat)
                client.close()

        self.scenario({"ws": {"heartbeat": {"interval_ms": 50, "require_echo_ms": 200}}})
        client = self.websocket()
        self.assertEqual(payloads(client.text()), ["~h~1"])
        with self.assertRaises(GONE):
            for _ in range(100):
                client.frame()  # not echoed: the double drops the connection
        self.assertEqual([e["text"] for e in self.events("heartbeat_missed", wait=1)], ["~h~1"])
        client.close()

    # ---- what the real service sends ------------------------------------------

    def until_completed(self, client):
        """(bars, the last object of series_completed, its update mode) of one
        create_series or request_more_data answer."""
        bars = []
        for _ in range(10):
            m = client.json_messages(1)[0]
            if m["m"] == "timescale_update":
                bars += self.bars(m)
            if m["m"] == "series_completed":
                return len(bars), m["p"][4], m["p"][2]
        self.fail("no series_completed")

    def test_frame_lengths_count_utf16_code_units(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0}})
        # A client frame's length counts UTF-16 code units of its UTF-8 payload;
        # the double frames its answers the same way.
        for symbol, name in (("TSE:7203", "\u30c8\u30e8\u30bf\u81ea\u52d5\u8eca"),
                             ("KRX:005930", "\uc0bc\uc131\uc804\uc790"),
                             ("TSE:9861", "\U00020bb7\u91ce\u5bb6\u30db\u30fc\u30eb\u30c7\u30a3\u30f3\u30b0\u30b9"),
                             ("EURONEXT:MC", "LVMH Mo\u00ebt Hennessy Louis Vuitton")):
            client = self.websocket()
            wanted = "=" + json.dumps({"symbol": symbol, "note": name}, ensure_ascii=False)
            resolve = json.dumps({"m": "resolve_symbol", "p": ["cs_1", "sds_sym_1", wanted]}, ensure_ascii=False)
            client.send(frame(msg("chart_create_session", "cs_1", "")) + frame(resolve))
            raw = client.text()
            (payload,) = payloads(raw)
            self.assertTrue(raw.startswith("~m~%d~m~" % units(payload)), symbol)
            self.assertNotEqual(units(payload), len(payload.encode()))
            self.assertIn(name if symbol != "EURONEXT:MC" else "Mo\u00ebt", payload)  # raw UTF-8, no \u escapes
            self.assertEqual(json.loads(payload)["p"][2]["pro_name"], symbol)
            client.close()
        self.assertEqual(self.events("violation"), [])

        toyota = "\u30c8\u30e8\u30bf".encode()
        for data, what in (("~m~1~m~\U00020bb7".encode(), "length ends inside a UTF-8 sequence"),
                           (b"~m~2~m~\xff\xfe", "not valid UTF-8"),
                           (b"~m~4~m~a" + toyota[:4], "message ends inside a UTF-8 sequence"),
                           (b"~m~9~m~" + toyota, "6 code units short")):  # a length counted in bytes
            self.scenario({})
            client = self.websocket()
            client.send(data)
            self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["wrong data"]}'])
            self.assertEqual(client.message()[0], 8)
            client.close()
            self.assertIn(what, self.events("violation", wait=1)[0]["what"], data)

    def test_replay_sends_texts_verbatim_instead_of_answers(self):
        resolved = frame(json.dumps({"m": "symbol_resolved", "p": ["cs_1", "sds_sym_1", {
            "name": "7203", "pro_name": "TSE:7203", "local_description": "\u30c8\u30e8\u30bf"}]},
            ensure_ascii=False)).decode()
        big = (frame('{"m":"timescale_update","p":["cs_1",{"sds_1":{"s":[],"ns":{"d":"%s","indexes":[]},'
                     '"t":"s1"}}]}' % ("x" * 1500000)) + frame("~h~5")).decode()
        self.scenario({"ws": {"replay": [
            {"on": "resolve_symbol", "text": resolved, "connection": 1},
            {"on": "create_series", "text": big, "connection": 1},
            {"on": "request_more_data", "text": "~m~5~m~first", "connection": 1},
            {"on": "request_more_data", "text": "~m~6~m~second", "then": "close", "connection": 1},
            {"on": "create_series", "text": "~m~5~m~stall", "then": "stall", "connection": 2},
            {"on": "resolve_symbol", "text": "~m~4~m~drop", "then": "drop", "connections": [3]},
            {"on": "resolve_symbol", "text": resolved, "connections": [4]}], "min_connection_gap_ms": 0}})

        client = self.websocket()
        for m in (msg("set_auth_token", "unauthorized_user_token"), msg("chart_create_session", "cs_1", ""),
                  msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("TSE:7203"))):
            client.send(frame(m))
        self.assertEqual(client.text(), resolved)
        client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1", 300)))
        self.assertEqual(client.text(), big)
        for expected in ("~m~5~m~first", "~m~6~m~second"):  # successive entries for the same message
            client.send(frame(msg("request_more_data", "cs_1", "sds_1", 100)))
            self.assertEqual(client.text(), expected)
        op, data = client.message()
        self.assertEqual((op, data[:2]), (8, struct.pack(">H", 1000)))
        client.close()

        client = self.websocket()  # the second connection stalls after its replay
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        self.assertEqual(client.json_messages(1)[0]["m"], "symbol_resolved")  # the double's own answer
        client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 10)))
        self.assertEqual(client.text(), "~m~5~m~stall")
        client.send(frame(msg("request_more_data", "cs_1", "sds_1", 10)))
        client.tls.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            client.frame()
        client.close()

        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        self.assertEqual(client.text(), "~m~4~m~drop")
        with self.assertRaises(GONE):
            client.frame()
        client.close()

        # A replayed answer still counts: the double answers the series on the symbol itself.
        client = self.websocket()
        resolved_answer, answers = self.chart(client, symbol="TSE:7203")
        self.assertEqual(resolved_answer["p"][2]["local_description"], "\u30c8\u30e8\u30bf")
        self.assertEqual([m["m"] for m in answers],
                         ["series_loading", "timescale_update", "series_timeframe", "series_completed"])
        client.close()
        self.assertEqual([(e["connection"], e["on"], e["index"]) for e in self.events("replay", wait=7)],
                         [(1, "resolve_symbol", 0), (1, "create_series", 1), (1, "request_more_data", 2),
                          (1, "request_more_data", 3), (2, "create_series", 4), (3, "resolve_symbol", 5),
                          (4, "resolve_symbol", 6)])
        self.assertEqual(len([e for e in self.events("ws_message") if e["connection"] == 2]), 4)

        for bad in ({"on": "create_series"}, {"on": "x", "text": "", "then": "later"}, {"on": "x", "text": "", "n": 1}):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                self.control("POST", "/scenario", {"ws": {"replay": [bad]}})
            self.assertEqual(caught.exception.code, 400)
            caught.exception.close()

    def test_replays_and_script_steps_rename_sessions_to_the_clients_own(self):
        name = "\u30c8\u30e8\u30bf\U00020bb7"  # the last character is two UTF-16 code units
        # Spaces and "1.50" show that only the name changes, nothing is re-serialised.
        du = '{"m": "du", "p": [ "cs_x" , {"sds_1": {"v": 1.50, "n": "%s"}}]}' % name
        qsd = '{"m":"qsd","p":["qs_1",{"n":"TSE:7203","s":"ok","v":{"local_description":"%s"}}]}' % name
        kept = [b"~m~07~m~~h~1234",  # a length with a leading zero shows the frame was not framed again
                frame('{"m":"x","p":["sds_1","cs_x"]}'),  # "p"[0] is no session name
                frame('{"m":"y","q":{"p":["cs_x"]},"p":[1]}'),  # the name is not "p"[0]
                frame('~h~{"p":["cs_x"]}')]
        broken = b'~m~99~m~{"m":"z","p":["cs_x"]}'  # not a whole frame: it and the rest go as they are

        def text(cs, qs):
            """The test's text, with the names it should arrive with."""
            return b"".join([frame(du.replace("cs_x", cs))] + kept + [frame(qsd.replace("qs_1", qs)), broken])

        made_up = text("cs_x", "qs_1").decode()
        self.assertTrue(made_up.startswith("~m~%d~m~" % units(du)))
        self.scenario({"ws": {"min_connection_gap_ms": 0, "replay": [
            {"on": "create_series", "text": made_up, "rename": True, "connection": 1},
            {"on": "quote_add_symbols", "text": made_up, "rename": True, "connection": 1},
            {"on": "request_more_data", "text": made_up, "connection": 1},  # without rename: verbatim
            {"on": "set_auth_token", "text": made_up, "rename": True, "connection": 2}]}})
        client = self.websocket()
        for m in (msg("chart_create_session", "cs_A", ""), msg("chart_create_session", "cs_B", ""),
                  msg("quote_create_session", "qs_A"), msg("quote_create_session", "qs_B"),
                  msg("resolve_symbol", "cs_A", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
            client.send(frame(m))
        self.assertEqual(client.json_messages(1)[0]["m"], "symbol_resolved")
        for sent, expected in (
                # The session the message named, the newest of the other kind.
                (msg("create_series", "cs_A", "sds_1", "s1", "sds_sym_1", "1D", 10), text("cs_A", "qs_B")),
                (msg("quote_add_symbols", "qs_A", "NASDAQ:AAPL"), text("cs_B", "qs_A")),
                (msg("request_more_data", "cs_A", "sds_1", 10), made_up.encode())):
            client.send(frame(sent))
            got = client.message()[1]
            self.assertEqual(got, expected, sent)
        client.close()
        client = self.websocket()  # no session yet: nothing to rename to
        client.send(frame(msg("set_auth_token", "unauthorized_user_token")))
        self.assertEqual(client.message()[1], made_up.encode())
        client.close()
        self.assertEqual([(e["on"], e.get("renamed")) for e in self.events("replay", wait=4)],
                         [("create_series", 2), ("quote_add_symbols", 2), ("request_more_data", None),
                          ("set_auth_token", 0)])

        # Script steps rename to the newest sessions among the client messages read so far.
        du_frames = [du, "~h~3", qsd]
        self.scenario({"ws": {"script": [
            {"hello": True}, {"send_frames": du_frames, "rename": True},  # no session seen yet
            {"expect": 1}, {"send": made_up, "rename": True}, {"send_frames": du_frames, "rename": True},
            {"expect": 1}, {"send_frames": du_frames, "rename": True, "fragment": 16}, {"send": made_up},
            {"expect": 1}]}})
        client = self.websocket()

        def frames(cs, qs):
            return frame(du.replace("cs_x", cs)) + frame("~h~3") + frame(qsd.replace("qs_1", qs))

        self.assertEqual(client.message()[1], frames("cs_x", "qs_1"))
        client.send(frame(msg("chart_create_session", "cs_S0", "")) + frame(msg("quote_create_session", "qs_S1")) +
                    frame(msg("chart_create_session", "cs_S1", "")))
        self.assertEqual(client.message()[1], text("cs_S1", "qs_S1"))
        self.assertEqual(client.message()[1], frames("cs_S1", "qs_S1"))
        client.send(frame(msg("resolve_symbol", "cs_S1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))) +
                    frame(msg("chart_create_session", "cs_S2", "")))
        self.assertEqual(client.message()[1], frames("cs_S2", "qs_S1"))
        self.assertEqual(client.message()[1], made_up.encode())
        client.send(frame(msg("quote_create_session", "qs_S3")))
        client.close()

        for bad in ({"replay": [{"on": "x", "text": "", "rename": "yes"}]},
                    {"script": [{"hello": True, "rename": True}]},
                    {"script": [{"send_size": 10, "rename": True}]},
                    {"script": [{"send_frames": "~h~1", "rename": True}]},
                    {"script": [{"send": "x", "rename": 1}]}):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                self.control("POST", "/scenario", {"ws": bad})
            self.assertEqual(caught.exception.code, 400, bad)
            caught.exception.close()

    def test_bar_limit_and_why_a_series_stopped(self):
        more, end, limit = ({"rt_update_period": 5}, {"rt_update_period": 0, "data_completed": "end"},
                            {"rt_update_period": 0, "data_completed": "limit"})
        anonymous, signed_in = "unauthorized_user_token", "test-token-123"
        for token, resolution, ws, asks, expected in (
                (anonymous, "1", {}, [4000, 4000, 100], [(4000, more), (1000, limit), (0, limit)]),
                (anonymous, "5", {"bar_limit": 30}, [20, 20], [(20, more), (10, limit)]),
                (anonymous, "5", {"bar_limit": 30, "history": 30}, [20, 20], [(20, more), (10, end)]),
                (anonymous, "5", {"bar_limit": 0, "history": 6000}, [5500, 1000], [(5500, more), (500, end)]),
                (anonymous, "1D", {"history": 6000}, [6000, 10], [(6000, end), (0, end)]),
                (signed_in, "1", {"history": 6000}, [4000, 4000, 100], [(4000, more), (2000, end), (0, end)])):
            self.scenario({"ws": dict({"now": NOW}, **ws)})
            client = self.websocket()
            for m in (msg("set_auth_token", token), msg("chart_create_session", "cs_1", ""),
                      msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
                client.send(frame(m))
            client.json_messages(1)
            got = []
            for i, ask in enumerate(asks):
                client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", resolution, ask) if i == 0
                                  else msg("request_more_data", "cs_1", "sds_1", ask)))
                count, why, mode = self.until_completed(client)
                got.append((count, why))
            client.close()
            self.assertEqual(got, expected, (token, resolution, ws))
            self.assertEqual(mode, "streaming" if token == signed_in else "delayed_streaming_900")

    def test_index_bars_quote_volumes_and_refused_symbols(self):
        self.scenario({"ws": {"now": NOW, "history": 5, "series_reply": "timescale+du",
                              "denied_symbols": ["NASDAQ:TSLA"], "min_connection_gap_ms": 0}})
        # An index has no volume: five-value bars, in the update as well.
        for symbol, width in (("NASDAQ:NDX", 5), ("NASDAQ:AAPL", 6)):
            client = self.websocket()
            _, answers = self.chart(client, symbol=symbol, answers=5)
            self.assertEqual({len(b) for b in self.bars(answers[1]) + self.bars(answers[4])}, {width}, symbol)
            client.close()

        client = self.websocket()
        resolved, answers = self.chart(client, symbol="NASDAQ:TSLA")
        self.assertEqual(resolved, {"m": "symbol_error", "p": ["cs_1", "sds_sym_1", "permission denied"]})
        self.assertEqual([m["m"] for m in answers], ["series_loading", "series_error"])
        names = ["NASDAQ:NDX", "TSE:9861", "NOWHERE:XYZ", "NASDAQ:TSLA"]
        client.send(frame(msg("quote_create_session", "qs_1")))
        client.send(frame(msg("quote_add_symbols", "qs_1", *names)))
        raw = []
        for _ in range(20):
            raw += payloads(client.text())
            if sum('"quote_completed"' in p for p in raw) == len(names):
                break
        client.close()
        qsd = {}
        for name in names:  # each symbol's qsd, then its quote_completed
            i = raw.index(msg("quote_completed", "qs_1", name))
            qsd[name] = raw[i - 1]
        self.assertIn('"volume":1e+100', qsd["NASDAQ:NDX"])
        keys = list(json.loads(qsd["TSE:9861"])["p"][1]["v"])
        self.assertLess(keys.index("local_description"), keys.index("lp"))
        self.assertLess(keys.index("description"), keys.index("lp_time"))
        self.assertEqual(json.loads(qsd["NOWHERE:XYZ"])["p"][1],
                         {"n": "NOWHERE:XYZ", "s": "error", "errmsg": "no_such_symbol", "v": {}})
        self.assertEqual(json.loads(qsd["NASDAQ:TSLA"])["p"][1],
                         {"n": "NASDAQ:TSLA", "s": "permission_denied", "errmsg": "Permission denied",
                          "v": {"alternative": "NASDAQ:TSLA"}})

    def test_auth_tokens_the_service_does_not_accept_end_the_connection(self):
        self.scenario({"signin": {"username": "u", "password": "p", "token": "tok-1"},
                       "ws": {"tokens": ["tok-2"], "min_connection_gap_ms": 0}})
        for token, accepted in (("unauthorized_user_token", True), ("tok-1", True), ("tok-2", True),
                                ("test-token-123", False), ("bogus", False), (["x"], False)):
            client = self.websocket()
            client.send(frame(msg("set_auth_token", token)))
            client.send(frame(msg("chart_create_session", "cs_1", "")) +
                        frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
            if accepted:  # no answer to the token itself
                self.assertEqual(client.json_messages(1)[0]["m"], "symbol_resolved", token)
            else:
                self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["bad auth token"]}'])
                op, data = client.message()
                self.assertEqual((op, data[:2]), (8, struct.pack(">H", 1000)), token)
            client.close()

    def test_too_many_connections_at_once_get_429(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0}})
        clients = [self.websocket() for _ in range(6)]
        with self.assertRaises(AssertionError):
            self.websocket()
        clients.pop().close()
        self.events("ws_end", wait=1)
        clients.append(self.websocket())
        for client in clients:
            client.close()
        self.assertEqual([e["reply"] for e in self.events("http")], [101] * 6 + [429, 101])

    # ---- faults -----------------------------------------------------------

    def test_stall_drop_and_close_after_some_messages(self):
        self.scenario({"ws": {"fault": {"kind": "stall", "after_messages": 2}}})
        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        client.send(frame(msg("set_locale", "en", "US")))
        client.tls.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            client.frame()
        client.close()
        self.assertEqual(len(self.events("ws_message", wait=3)), 3, "a stalled double still records")
        self.assertEqual(self.events("fault")[0]["at_message"], 2)

        self.scenario({"ws": {"fault": {"kind": "drop", "on": "create_series"}}})
        client = self.websocket()
        with self.assertRaises(GONE):
            self.chart(client)
        client.close()

        self.scenario({"ws": {"fault": {"kind": "close", "after_messages": 1, "code": 1011}}})
        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        op, data = client.message()
        self.assertEqual((op, struct.unpack(">H", data[:2])[0]), (8, 1011))
        client.close()

        self.scenario({"ws": {"close_after_answers": True}})
        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        self.assertEqual(client.json_messages(1)[0]["m"], "symbol_resolved")
        self.assertEqual(client.message()[0], 8)
        client.close()

    def test_upgrade_faults_and_per_connection_choice(self):
        self.scenario({"ws": {"refuse_upgrade": 403}})
        status, _ = self.https(b"GET /socket.io/websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                               b"Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n\r\n")
        self.assertEqual(status, 403)
        self.assertEqual(self.events("http")[0]["reply"], 403)

        # Only the second conversation is refused; the first and third go through.
        self.scenario({"ws": {"fault": {"kind": "refuse", "status": 429, "connection": 2}, "min_connection_gap_ms": 0}})
        self.websocket().close()
        with self.assertRaises(AssertionError):
            self.websocket()
        self.websocket().close()
        self.assertEqual([e["reply"] for e in self.events("http")], [101, 429, 101])

        self.scenario({"ws": {"drop_upgrade": True}})
        with self.assertRaises(GONE):
            self.websocket()

    def test_injected_frames_and_errors(self):
        self.scenario({"ws": {"faults": [{"kind": "huge_length", "after_messages": 1},
                                         {"kind": "split", "on": "resolve_symbol", "split_at": 5},
                                         {"kind": "critical_error", "on": "create_series"}]}})
        client = self.websocket()
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        self.assertEqual(client.text(), "~m~" + "9" * 40 + '~m~{"m":"noise","p":[]}')
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        pieces = [client.text() for _ in range(2)]  # one frame cut at byte 5, in two messages
        self.assertEqual(len(pieces[0]), 5)
        self.assertIn("symbol_resolved", payloads(pieces[0] + pieces[1])[0])
        client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 10)))
        # The third element names the message and its parameters, as the service prints them.
        self.assertEqual(client.json_messages(1)[0], {"m": "critical_error", "p": [
            "cs_1", "invalid_parameters", 'method: create_series. args: "[cs_1, sds_1, s1, sds_sym_1, 1D, 10]"']})
        client.close()

        self.scenario({"ws": {"pack_frames": True, "fault": {"kind": "protocol_error", "on": "request_more_data"}}})
        client = self.websocket()
        for m in (msg("chart_create_session", "cs_1", ""),
                  msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
            client.send(frame(m))
        client.text()
        client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 10)))
        self.assertEqual([json.loads(p)["m"] for p in payloads(client.text())],
                         ["series_loading", "timescale_update", "series_timeframe", "series_completed"])  # one message
        client.send(frame(msg("request_more_data", "cs_1", "sds_1", 10)))
        self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["wrong data"]}'])
        self.assertEqual(client.message()[0], 8)
        client.close()

        self.scenario({"ws": {"fault": {"kind": "symbol_error", "on": "resolve_symbol", "text": "no such"}}})
        client = self.websocket()
        self.assertEqual(self.chart(client)[0], {"m": "symbol_error", "p": ["cs_1", "sds_sym_1", "no such"]})
        client.close()

    def test_several_megabytes_in_one_message(self):
        self.scenario({"ws": {"fault": {"kind": "huge_message", "size": 3 << 20}}})
        client = self.websocket()
        self.assertEqual(len(payloads(client.text())[0]), 3 << 20)
        client.close()

    def test_badly_framed_client_messages_end_with_protocol_error(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0}})
        client = self.websocket()
        client.send("~m~10~m~short")
        self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["wrong data"]}'])
        self.assertEqual(client.message()[0], 8)
        client.close()
        self.assertIn("bad framing", self.events("violation", wait=1)[0]["what"])

        client = self.websocket()  # a session used before it was created
        client.send(frame(msg("create_series", "cs_9", "sds_1", "s1", "sds_sym_1", "1D", 10)))
        self.assertEqual(client.json_messages(1)[0]["m"], "critical_error")
        client.close()

    # ---- streaming ------------------------------------------------------------

    def pushes(self, connection=1):
        return json.loads(self.control("GET", "/pushes?connection=%d" % connection))[0]

    @staticmethod
    def read_until(client, done, limit=3000):
        """The messages (each a list of JSON payloads; heartbeats echoed and
        left out) up to the first that holds a payload for which done is
        true."""
        out = []
        for _ in range(limit):
            message = []
            for p in payloads(client.text()):
                if p.startswith("~h~"):
                    client.send(frame(p))
                else:
                    message.append(json.loads(p))
            out.append(message)
            if any(done(m) for m in message):
                return out
        raise AssertionError("not seen in %d messages" % limit)

    @classmethod
    def shape(cls, value):
        """The structure of decoded frames: keys in order, texts and numbers
        by kind; a series id key (a dict key of "p"[1]) and the content of
        "marks" left out."""
        if isinstance(value, dict):
            return [(("series" if isinstance(v, dict) and "s" in v and "ns" in v else k),
                     [] if k == "marks" else cls.shape(v)) for k, v in value.items()]
        if isinstance(value, list):
            return [cls.shape(v) for v in value]
        return "text" if isinstance(value, str) else "number" if isinstance(value, (int, float)) else value

    @staticmethod
    def completed(qs, name):
        return lambda m: m == {"m": "quote_completed", "p": [qs, name]}

    @staticmethod
    def quoted(name):
        return lambda m: m["m"] == "qsd" and m["p"][1]["n"] == name

    def test_streamed_quotes_come_full_then_partial_until_removed(self):
        self.scenario({"ws": {"now": NOW, "stream": {"quote_ms": 25}}})
        client = self.websocket()
        aapl = symbol_param("NASDAQ:AAPL")
        aapl_n = '={"adjustment":"splits","symbol":"NASDAQ:AAPL"}'  # as the service writes it again
        symbols = ["NASDAQ:AAPL", "BINANCE:BTCUSDT", "NASDAQ:NDX"]
        names = [aapl] + symbols[1:]  # several symbols in one quote_add_symbols, as added texts
        echoes = [aapl_n] + symbols[1:]  # their "n"
        for m in (msg("set_auth_token", "unauthorized_user_token"), msg("quote_create_session", "qs_1"),
                  msg("quote_set_fields", "qs_1", "lp", "volume"), msg("quote_add_symbols", "qs_1", *names),
                  msg("quote_fast_symbols", "qs_1", "NASDAQ:AAPL", "BINANCE:BTCUSDT", "NASDAQ:NDX", "NYSE:IBM")):
            client.send(frame(m))
        messages = [self.read_until(client, lambda m: True)[-1] for _ in range(120)]
        price = ("lp", "ch", "chp", "lp_time", "volume")
        shapes = set()
        for echo, symbol in zip(echoes, symbols):
            mine = [m for m in sum(messages, []) if self.quoted(echo)(m) or self.completed("qs_1", echo)(m)]
            self.assertEqual(mine[0]["p"][1]["v"]["pro_name"], symbol)
            self.assertEqual(mine[1], {"m": "quote_completed", "p": ["qs_1", echo]})
            partial = mine[2:]
            self.assertGreater(len(partial), 10, echo)
            for m in partial:
                self.assertEqual((m["p"][0], m["p"][1]["s"]), ("qs_1", "ok"))
            times = [m["p"][1]["v"]["lp_time"] for m in partial if "lp_time" in m["p"][1]["v"]]
            self.assertTrue(NOW <= times[0] and times == sorted(times), "the server's clock moves on")
        for message in messages:
            if all(m["m"] == "qsd" and "pro_name" not in m["p"][1]["v"] for m in message):
                self.assertEqual(len({m["p"][1]["n"] for m in message}), 1, "a pair is one symbol's")
                shapes.add(tuple(tuple(m["p"][1]["v"]) for m in message))
        # Only what changed, as the service sends it: the volume alone, a
        # price with or without its time (and chp), the time alone, and a
        # volume and a price in one message.
        self.assertEqual(shapes, {(("volume",),), (price,), (("volume", "lp", "ch", "chp"),),
                                  (("volume", "lp", "ch"),), (("volume",), ("lp", "ch")), (("lp_time",),),
                                  (("volume",), price)})
        self.assertEqual([(e["symbol"], e["text"], e["n"], e["session"], e["s"]) for e in self.events("subscribe")],
                         [(symbol, name, echo, "qs_1", "ok") for name, echo, symbol in zip(names, echoes, symbols)])
        self.assertEqual(self.events("fast")[0]["not_subscribed"], ["NYSE:IBM"])

        # About one push per symbol every 25 ms.
        before, started = self.pushes()["symbols"], time.monotonic()
        time.sleep(0.5)
        after, elapsed = self.pushes()["symbols"], time.monotonic() - started
        for symbol in symbols:
            self.assertTrue(0.5 * elapsed / 0.025 <= after[symbol] - before[symbol] <= 1.2 * elapsed / 0.025 + 2,
                            (symbol, after[symbol] - before[symbol], elapsed))

        # A name is removed as it was added: the plain name and the "n" the
        # service wrote leave the symbol streaming; its own text stops it,
        # and nothing of it comes after the answer to the next message.
        client.send(frame(msg("quote_remove_symbols", "qs_1", "NASDAQ:AAPL", aapl_n)) +
                    frame(msg("quote_add_symbols", "qs_1", "NASDAQ:MSFT")))
        self.read_until(client, self.completed("qs_1", "NASDAQ:MSFT"))
        self.read_until(client, self.quoted(aapl_n))
        client.send(frame(msg("quote_remove_symbols", "qs_1", aapl)) +
                    frame(msg("quote_add_symbols", "qs_1", "NASDAQ:TSLA")))
        self.read_until(client, self.completed("qs_1", "NASDAQ:TSLA"))
        stopped = self.pushes()["symbols"]["NASDAQ:AAPL"]
        time.sleep(0.15)
        client.send(frame(msg("quote_add_symbols", "qs_1", "NYSE:IBM")))
        later = sum(self.read_until(client, self.completed("qs_1", "NYSE:IBM")), [])
        self.assertFalse([m for m in later if self.quoted(aapl_n)(m)])
        self.assertTrue([m for m in later if self.quoted("BINANCE:BTCUSDT")(m)])
        self.assertEqual(self.pushes()["symbols"]["NASDAQ:AAPL"], stopped)
        self.assertEqual([e["text"] for e in self.events("remove_unmatched")], ["NASDAQ:AAPL", aapl_n])

        # Deleting the session stops every symbol of it.
        client.send(frame(msg("quote_delete_session", "qs_1")))
        unsubscribed = self.events("unsubscribe", wait=6)
        self.assertEqual([(e["text"], e["why"]) for e in unsubscribed],
                         [(aapl, "quote_remove_symbols")] + [(n, "quote_delete_session") for n in
                                                             names[1:] + ["NASDAQ:MSFT", "NASDAQ:TSLA", "NYSE:IBM"]])
        frozen = self.pushes()
        time.sleep(0.15)
        self.assertEqual(self.pushes(), frozen)
        client.close()
        end = self.events("ws_end", wait=1)[0]
        self.assertEqual(end["pushes"], {k: v for k, v in frozen.items() if k not in ("open", "connection")})
        self.assertEqual(end["pushes"]["messages"], sum(end["pushes"]["symbols"].values()))
        self.assertFalse(self.pushes()["open"])

    def test_streamed_bars_move_the_newest_and_add_new_ones_until_removed(self):
        self.scenario({"ws": {"now": NOW + 30, "stream": {"bar_ms": 20, "new_bar_every": 3}, "max_series": 0}})
        client = self.websocket()
        _, answers = self.chart(client, symbol="BINANCE:BTCUSDT", resolution="1", count=3)
        first = self.bars(answers[1])
        pushes = [self.read_until(client, lambda m: True)[-1] for _ in range(7)]
        self.assertEqual({(m["p"][0], tuple(m["p"][1])) for m in sum(pushes, [])}, {("cs_1", ("sds_1",))})
        got = [[(m["m"], b["i"], b["v"][0]) for m in push for b in m["p"][1]["sds_1"]["s"]] for push in pushes]
        # Every third push starts the next minute's bar: the old bar's du (its
        # last trade, then its final values again), then a timescale_update
        # opening the next index, all in one message; the next du moves the new bar.
        t0, t1, t2 = (first[-1][0] + 60 * n for n in range(3))  # NOW, then the next two minutes
        self.assertEqual(got, [[("du", 2, t0)], [("du", 2, t0)],
                               [("du", 2, t0), ("du", 2, t0), ("timescale_update", 3, t1)],
                               [("du", 3, t1)], [("du", 3, t1)],
                               [("du", 3, t1), ("du", 3, t1), ("timescale_update", 4, t2)], [("du", 4, t2)]])
        for push, index, opened in ((pushes[2], 3, t1), (pushes[5], 4, t2)):
            old, again, new = push
            self.assertEqual(old, again)
            old_bar, new_bar = old["p"][1]["sds_1"]["s"][0]["v"], new["p"][1]["sds_1"]["s"][0]["v"]
            self.assertEqual(new_bar[:5], [opened] + [old_bar[4]] * 4, "a new bar opens at the last close")
            self.assertEqual((old["p"][1]["sds_1"]["lbs"], new["p"][1]["sds_1"]["lbs"]),
                             ({"bar_close_time": opened}, {"bar_close_time": opened + 60}))
            self.assertEqual(new["p"][2], {"index": index, "zoffset": 0, "changes": [opened], "marks": [],
                                           "index_diff": []})
            self.assertTrue(NOW + 30 <= new["t"] <= new["t_ms"] / 1000 < NOW + 60, new)
        # Frame for frame shaped as the real service's new bar and the du after it.
        self.assertEqual(self.shape(pushes[2] + pushes[3]), self.shape(REAL_NEW_BAR))

        client.send(frame(msg("create_series", "cs_1", "sds_2", "s2", "sds_sym_1", "5", 3)))
        self.read_until(client, lambda m: m["m"] == "series_completed" and m["p"][1] == "sds_2")
        # Removed: nothing of sds_1 after the answer to the next message, sds_2 goes on.
        client.send(frame(msg("remove_series", "cs_1", "sds_1")) +
                    frame(msg("resolve_symbol", "cs_1", "sds_sym_2", symbol_param("NASDAQ:AAPL"))))
        self.read_until(client, lambda m: m["m"] == "symbol_resolved")
        time.sleep(0.1)
        client.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_3", symbol_param("NASDAQ:MSFT"))))
        later = sum(self.read_until(client, lambda m: m["m"] == "symbol_resolved"), [])
        self.assertEqual({tuple(m["p"][1]) for m in later if m["m"] == "du"}, {("sds_2",)})
        client.send(frame(msg("chart_delete_session", "cs_1")))
        self.assertEqual([(e["series"], e["why"]) for e in self.events("series_removed", wait=2)],
                         [("sds_1", "remove_series"), ("sds_2", "chart_delete_session")])
        frozen = self.pushes()
        time.sleep(0.1)
        self.assertEqual(self.pushes(), frozen)
        self.assertEqual([(e["series"], e["symbol"], e["resolution"], e["session"]) for e in self.events("series")],
                         [("sds_1", "BINANCE:BTCUSDT", "1", "cs_1"), ("sds_2", "BINANCE:BTCUSDT", "5", "cs_1")])
        # Each new bar is one message with two du frames; every other push one du.
        self.assertEqual(frozen["du"], sum(frozen["series"].values()) + frozen["new_bars"])
        self.assertGreaterEqual(frozen["new_bars"], 2)
        client.close()

    def test_series_over_the_session_limit_are_refused_alone(self):
        self.scenario({"ws": {"now": NOW, "max_series": 2, "stream": {"quote_ms": 30, "bar_ms": 30}}})
        client = self.websocket()
        self.chart(client, resolution="1", count=3)
        client.send(frame(msg("quote_create_session", "qs_1")) +
                    frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))
        self.read_until(client, self.completed("qs_1", "NASDAQ:AAPL"))

        def create(series, name="create_series", cs="cs_1", resolution="1"):
            client.send(frame(msg(name, cs, series, "s1", "sds_sym_1", resolution, 3)))
            got = self.read_until(client, lambda m: m["m"] == "critical_error" or
                                  (m["m"] == "series_completed" and m["p"][1] == series))[-1]
            return [m for m in got if m["m"] in ("critical_error", "series_completed")][-1]

        def refusal(series, name="create_series", resolution="1"):
            # The service names the refused message and its parameters.
            return {"m": "critical_error", "p": ["cs_1", "exceed limit of series in the session",
                                                 'method: %s. args: "[cs_1, %s, s1, sds_sym_1, %s, 3]"'
                                                 % (name, series, resolution)]}

        self.assertEqual(create("sds_2")["m"], "series_completed")
        self.assertEqual(create("sds_3"), refusal("sds_3"))
        # The connection, the quotes and both live series go on.
        seen = set()
        for _ in range(300):
            for m in self.read_until(client, lambda m: True)[-1]:
                seen.add(m["p"][1]["n"] if m["m"] == "qsd" else tuple(m["p"][1]) if m["m"] == "du" else m["m"])
            if {"NASDAQ:AAPL", ("sds_1",), ("sds_2",)} <= seen:
                break
        self.assertLessEqual({"NASDAQ:AAPL", ("sds_1",), ("sds_2",)}, seen)
        # A removed series keeps its slot: nothing new fits, not even the
        # removed id again, whether created or modified into being; a live
        # series may still be modified, and another session has slots of its own.
        client.send(frame(msg("remove_series", "cs_1", "sds_2")))
        for series, name in (("sds_3", "create_series"), ("sds_2", "create_series"), ("sds_4", "modify_series")):
            self.assertEqual(create(series, name), refusal(series, name))
        self.assertEqual(create("sds_1", "modify_series", resolution="5")["m"], "series_completed")
        client.send(frame(msg("chart_create_session", "cs_2", "")) +
                    frame(msg("resolve_symbol", "cs_2", "sds_sym_1", symbol_param("NASDAQ:MSFT"))))
        for series in ("sds_1", "sds_2"):
            self.assertEqual(create(series, cs="cs_2")["m"], "series_completed")
        self.assertEqual([(e["series"], e["live"], e["created"]) for e in self.events("series_refused")],
                         [("sds_3", 2, 2), ("sds_3", 1, 2), ("sds_2", 1, 2), ("sds_4", 1, 2)])
        self.assertEqual(self.events("ws_end"), [])
        client.close()

        # One series per session unless the scenario says otherwise (0: no limit).
        for ws, second in (({}, "critical_error"), ({"max_series": 0}, "series_completed")):
            self.scenario({"ws": dict(now=NOW, **ws)})
            client = self.websocket()
            self.chart(client, resolution="1", count=3)
            client.send(frame(msg("remove_series", "cs_1", "sds_1")))
            self.assertEqual(create("sds_2")["m"], second, ws)
            client.close()

    # ---- prices set over the control port ----------------------------------

    def set_price(self, symbol, price):
        before = time.time()
        answer = json.loads(self.control("POST", "/price", {"symbol": symbol, "price": price}))
        self.assertEqual(set(answer), {"ok", "pushed", "t"})
        self.assertTrue(answer["ok"])
        self.assertTrue(before <= answer["t"] <= time.time(), "t is taken while the request is served")
        return answer["pushed"]

    def subscribe(self, client, *names):
        """Opens quote session qs_1 with these texts; the payloads up to the
        last one's quote_completed."""
        client.send(frame(msg("quote_create_session", "qs_1")) + frame(msg("quote_add_symbols", "qs_1", *names)))
        return sum(self.read_until(client, self.completed("qs_1", names[-1])), [])

    def assertQuotes(self, values, price):
        """lp is price exactly; ch and chp (when the frame has it) are the
        change from one previous close, chp in percent of it."""
        self.assertEqual(values["lp"], price)
        previous = values["lp"] - values["ch"]
        self.assertGreater(previous, 0)
        if "chp" in values:
            self.assertAlmostEqual(values["chp"], values["ch"] / previous * 100.0, delta=0.0051)

    def test_a_set_price_is_pushed_at_once_and_quoted_until_the_next_scenario(self):
        # No periodic pushes: whatever arrives unasked came from POST /price.
        self.scenario({"ws": {"now": NOW + 30, "stream": {"quote_ms": 0}, "min_connection_gap_ms": 0}})
        aapl = symbol_param("NASDAQ:AAPL")
        watcher = self.websocket()  # connection 1: AAPL quoted (as an added text) and charted
        _, answers = self.chart(watcher, resolution="1", count=5)
        newest = self.bars(answers[1])[-1]
        self.subscribe(watcher, aapl, "NASDAQ:MSFT")
        other = self.websocket()  # connection 2: the same ticker on another exchange, and other symbols
        self.chart(other, symbol="BMV:AAPL", resolution="1", count=5)
        self.subscribe(other, "BMV:AAPL", "NASDAQ:MSFT", "NASDAQ:NOPE")

        # Refused bodies change nothing and push nothing.
        for bad in (b"{not json", b"[]", b'{"symbol":"NASDAQ:AAPL"}', b'{"price":1}',
                    b'{"symbol":"NASDAQ:AAPL","price":"123.456"}', b'{"symbol":"NASDAQ:AAPL","price":true}',
                    b'{"symbol":"NASDAQ:AAPL","price":0}', b'{"symbol":"NASDAQ:AAPL","price":-1}',
                    b'{"symbol":"NASDAQ:AAPL","price":NaN}', b'{"symbol":"","price":1}',
                    b'{"symbol":"NASDAQ:NOPE","price":1}', b'{"symbol":"NASDAQ:AAPL","price":1,"when":0}'):
            with self.assertRaises(urllib.error.HTTPError, msg=bad) as caught:
                self.control("POST", "/price", bad)
            self.assertEqual(caught.exception.code, 400, bad)
            refusal = json.loads(caught.exception.read())
            caught.exception.close()
            self.assertEqual((refusal["ok"], bool(refusal["error"])), (False, True), bad)
        self.assertEqual([self.pushes(n)["messages"] for n in (1, 2)], [0, 0])

        # Written before the answer: one message with one partial qsd, one
        # with a du moving the newest bar's close, both on the watcher only.
        # The price has more decimals than the symbol's: it is carried exactly.
        self.assertEqual(self.set_price("NASDAQ:AAPL", 123.456), 2)
        got = [self.read_until(watcher, lambda m: True)[-1] for _ in range(2)]
        self.assertEqual([len(message) for message in got], [1, 1])
        by_name = {message[0]["m"]: message[0] for message in got}
        self.assertEqual(set(by_name), {"qsd", "du"})
        qs, quote = by_name["qsd"]["p"]
        self.assertEqual((qs, quote["n"], quote["s"], list(quote["v"])),
                         ("qs_1", '={"adjustment":"splits","symbol":"NASDAQ:AAPL"}', "ok",
                          ["lp", "ch", "chp", "lp_time", "volume"]))  # "n" as the service wrote it
        self.assertQuotes(quote["v"], 123.456)
        self.assertGreaterEqual(quote["v"]["lp_time"], NOW + 30)
        cs, series = by_name["du"]["p"]
        [bar] = series["sds_1"]["s"]
        self.assertEqual((cs, bar["i"], bar["v"][0], bar["v"][4]), ("cs_1", 4, newest[0], 123.456))
        self.assertTrue(bar["v"][2] >= 123.456 >= bar["v"][3], bar)
        self.assertEqual({k: v for k, v in self.pushes(1).items() if k != "open"},
                         {"connection": 1, "messages": 2, "qsd": 1, "du": 1, "new_bars": 0,
                          "symbols": {"NASDAQ:AAPL": 1}, "series": {"sds_1": 1}})
        # Nothing reached the other connection: the answer to its next
        # message is the first thing it reads.
        other.send(frame(msg("quote_add_symbols", "qs_1", "NYSE:IBM")))
        later = sum(self.read_until(other, self.completed("qs_1", "NYSE:IBM")), [])
        self.assertEqual([(m["m"], m["p"][1]["n"] if m["m"] == "qsd" else m["p"][1]) for m in later],
                         [("qsd", "NYSE:IBM"), ("quote_completed", "NYSE:IBM")])
        self.assertEqual(self.pushes(2)["messages"], 0)

        # A poll on a new connection quotes that price, and its series' newest bar closes there.
        poller = self.websocket()
        full = [m for m in self.subscribe(poller, "NASDAQ:AAPL") if m["m"] == "qsd"]
        self.assertEqual(len(full), 1)
        self.assertEqual(full[0]["p"][1]["v"]["pro_name"], "NASDAQ:AAPL")
        self.assertQuotes(full[0]["p"][1]["v"], 123.456)
        _, answers = self.chart(poller, resolution="1", count=5)
        polled = self.bars(answers[1])[-1]
        self.assertEqual((polled[0], polled[4]), (newest[0], 123.456))
        self.assertTrue(polled[2] >= 123.456 >= polled[3], polled)

        # The next price reaches both connections that hold the symbol.
        self.assertEqual(self.set_price("NASDAQ:AAPL", 130.5), 4)
        for client in (watcher, poller):
            got = sum((self.read_until(client, lambda m: True)[-1] for _ in range(2)), [])
            self.assertQuotes([m for m in got if m["m"] == "qsd"][0]["p"][1]["v"], 130.5)
            self.assertEqual([m for m in got if m["m"] == "du"][0]["p"][1]["sds_1"]["s"][0]["v"][4], 130.5)
        self.assertEqual(self.set_price("BMV:AAPL", 2000), 2)
        self.assertEqual(self.pushes(1)["messages"], 4)
        self.assertEqual(self.pushes(2)["symbols"], {"BMV:AAPL": 1})
        for client in (watcher, other, poller):
            client.close()

        # A new scenario forgets the price: the quote moves from the symbol's own again.
        self.scenario({"ws": {"now": NOW + 30}})
        self.assertEqual(self.set_price("NASDAQ:MSFT", 99.0), 0)
        client = self.websocket()
        [quote] = [m for m in self.subscribe(client, "NASDAQ:AAPL") if m["m"] == "qsd"]
        self.assertLess(abs(quote["p"][1]["v"]["lp"] - 173.0), 5.0)
        client.close()

    def test_a_set_price_holds_against_the_moving_stream(self):
        self.scenario({"ws": {"now": NOW + 30, "stream": {"quote_ms": 10, "bar_ms": 10, "new_bar_every": 3}}})
        client = self.websocket()
        self.chart(client, symbol="BINANCE:BTCUSDT", resolution="1", count=5)
        self.subscribe(client, "BINANCE:BTCUSDT")
        for _ in range(10):  # the stream is under way
            self.read_until(client, lambda m: True)
        self.assertEqual(self.set_price("BINANCE:BTCUSDT", 12345.678), 2)  # three decimals, two for the symbol
        # Pushes written before the price still carry the moving one; from
        # the first that carries the set price on, every price and close is it.
        prices, closes = [], []
        for _ in range(60):
            for m in self.read_until(client, lambda m: True)[-1]:
                if m["m"] == "qsd" and "lp" in m["p"][1]["v"]:
                    prices.append(m["p"][1]["v"])
                elif m["m"] == "du":
                    closes.append(m["p"][1]["sds_1"]["s"][0]["v"])
        for name, values, price in (("quotes", prices, lambda v: v["lp"]), ("bars", closes, lambda v: v[4])):
            first = next((i for i, v in enumerate(values) if price(v) == 12345.678), None)
            self.assertIsNotNone(first, name)
            self.assertGreater(len(values) - first, 5, name)
            self.assertEqual({price(v) for v in values[first:]}, {12345.678}, name)
        for v in prices:
            if v["lp"] == 12345.678:
                self.assertQuotes(v, 12345.678)
        new_bars = [v for v in closes if v[1:5] == [12345.678] * 4]
        self.assertTrue(new_bars, "a new bar opens, and stays, at the set price")
        client.close()

    def test_json_form_symbols_are_echoed_as_the_service_writes_them_and_removed_as_sent(self):
        aapl = '={"symbol":"NASDAQ:AAPL","adjustment":"splits"}'
        cases = [  # (text added, its "n": no spaces, the keys in another order than the client's)
            (aapl, '={"adjustment":"splits","symbol":"NASDAQ:AAPL"}'),
            ('={ "symbol" : "NASDAQ:MSFT",\n "session": "regular", "adjustment": "splits" }',
             '={"adjustment":"splits","session":"regular","symbol":"NASDAQ:MSFT"}'),
            ('={"adjustment":"splits","symbol":"NYSE:IBM"}', '={"symbol":"NYSE:IBM","adjustment":"splits"}'),
            ('={"symbol":"NOWHERE:XYZ","adjustment":"splits"}', '={"adjustment":"splits","symbol":"NOWHERE:XYZ"}'),
            ('={"symbol":"NASDAQ:TSLA"}', '={"symbol":"NASDAQ:TSLA"}'),
            ("BINANCE:BTCUSDT", "BINANCE:BTCUSDT")]
        for quote in ({}, {"echo_subscribed_text": True}):
            self.scenario({"ws": {"now": NOW, "quote": quote}})
            client = self.websocket()
            client.send(frame(msg("quote_create_session", "qs_1")) +
                        frame(msg("quote_add_symbols", "qs_1", *[text for text, _ in cases])))
            got = client.json_messages(2 * len(cases))
            for (text, echo), (qsd, completed) in zip(cases, zip(got[::2], got[1::2])):
                n = text if quote else echo
                self.assertEqual((qsd["m"], qsd["p"][1]["n"], completed), ("qsd", n, {"m": "quote_completed",
                                                                                      "p": ["qs_1", n]}), quote)
            client.close()

        # The price pushed over the control port carries the "n"; a removal
        # names the text as added, the echo matches nothing.
        self.scenario({"ws": {"now": NOW, "heartbeat": {"interval_ms": 0}}})
        client = self.websocket()
        self.subscribe(client, aapl, "NASDAQ:MSFT")
        self.assertEqual(self.set_price("NASDAQ:AAPL", 150.25), 1)
        [pushed] = client.json_messages(1)
        self.assertEqual(pushed["p"][1]["n"], cases[0][1])
        client.send(frame(msg("quote_remove_symbols", "qs_1", cases[0][1])))
        self.assertEqual(self.events("remove_unmatched", wait=1)[0]["text"], cases[0][1])
        self.assertEqual(self.set_price("NASDAQ:AAPL", 150.5), 1)
        self.assertEqual(client.json_messages(1)[0]["p"][1]["v"]["lp"], 150.5)
        client.send(frame(msg("quote_remove_symbols", "qs_1", aapl)))
        self.assertEqual([(e["text"], e["why"]) for e in self.events("unsubscribe", wait=1)],
                         [(aapl, "quote_remove_symbols")])
        self.assertEqual(self.set_price("NASDAQ:AAPL", 151.0), 0)
        self.assertEqual(self.pushes()["symbols"], {"NASDAQ:AAPL": 2})
        client.close()

    def read_for(self, client, seconds):
        """Every payload that comes within seconds (heartbeats echoed), as
        (seconds since the start, payload)."""
        out, started = [], time.monotonic()
        while time.monotonic() - started < seconds:
            for p in payloads(client.text()):
                if p.startswith("~h~"):
                    client.send(frame(p))
                out.append((time.monotonic() - started, p))
        return out

    def test_a_connection_frozen_by_its_token_only_beats_and_a_banned_one_is_refused(self):
        self.scenario({"ws": {"now": NOW, "frozen_after_token": True, "min_connection_gap_ms": 0,
                              "heartbeat": {"interval_ms": 40, "require_echo_ms": 400},
                              "stream": {"quote_ms": 20, "bar_ms": 20}}})
        client = self.websocket()
        self.subscribe(client, "BINANCE:BTCUSDT")  # answered and streaming before the token
        self.read_until(client, self.quoted("BINANCE:BTCUSDT"))
        # A token the service would refuse: frozen all the same, not refused.
        client.send(frame(msg("set_auth_token", "expired")) + frame(msg("chart_create_session", "cs_1", "")) +
                    frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))) +
                    frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1", 10)) +
                    frame(msg("quote_add_symbols", "qs_1", "NASDAQ:MSFT")))
        self.assertEqual(self.events("frozen", wait=1)[0]["at_message"], 3)
        pushed = self.pushes()
        got = self.read_for(client, 0.8)
        late = [p for t, p in got if t > 0.3]
        self.assertGreater(len(late), 5)
        self.assertTrue(all(p.startswith("~h~") for p in late), late)  # only heartbeats, still counting up
        self.assertEqual([int(p[3:]) for p in late], list(range(int(late[0][3:]), int(late[0][3:]) + len(late))))
        self.assertFalse([p for t, p in got if not p.startswith("~h~") and '"BINANCE:BTCUSDT"' not in p])
        self.assertEqual(self.pushes(), pushed)  # nothing pushed since, /price included
        self.assertEqual(self.set_price("BINANCE:BTCUSDT", 70000.0), 0)
        self.assertEqual(self.events("ws_end"), [])
        # The echoes are still checked: a client that stops echoing is dropped.
        with self.assertRaises(GONE):
            for _ in range(100):
                client.frame()
        end = self.events("ws_end", wait=1)[0]
        self.assertGreater(end["heartbeats_echoed"], 10)
        self.assertTrue(self.events("heartbeat_missed"))
        self.assertEqual([e["kind"] for e in self.events("series") + self.events("violation")], [])
        client.close()

        # A freeze fault picks its connection; a banned account's token gets
        # its protocol_error, then a close.
        for ws, token in (({"fault": {"kind": "freeze", "on": "set_auth_token", "connection": 1}}, "bogus"),
                          ({"protocol_error_on_token": "banned"}, "unauthorized_user_token")):
            self.scenario({"ws": dict(min_connection_gap_ms=0, heartbeat={"interval_ms": 50}, **ws)})
            for number in (1, 2):
                client = self.websocket()
                client.send(frame(msg("set_auth_token", token)) + frame(msg("quote_create_session", "qs_1")) +
                            frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))
                if "fault" in ws and number == 1:
                    self.assertEqual(payloads(client.text()), ["~h~1"])
                    self.assertEqual(payloads(client.text()), ["~h~2"])
                else:
                    self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["%s"]}'
                                                               % ("bad auth token" if "fault" in ws else "banned")])
                    op, data = client.message()
                    self.assertEqual((op, data), (8, struct.pack(">H", 1000)))
                    client.send_frame(8, data)
                client.close()
            self.assertEqual(sorted((e["connection"], e["how"]) for e in self.events("ws_end", wait=2)),
                             [(1, "client went"), (2, "bad auth token")] if "fault" in ws else
                             [(1, "banned"), (2, "banned")])

    def test_long_connections_are_closed_without_a_status_code_after_a_while(self):
        # Whatever the connection is doing: streaming, or with an answer still due.
        for ws, due in (({"stream": {"quote_ms": 20}}, None),
                        ({"reply_delay_ms": 2000}, msg("quote_add_symbols", "qs_1", "NASDAQ:MSFT"))):
            self.scenario({"ws": dict(close_after_s=0.5, heartbeat={"interval_ms": 50}, **ws)})
            client = self.websocket()
            opened = time.monotonic()
            client.send(frame(msg("quote_create_session", "qs_1")) +
                        frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))
            if due:
                client.send(frame(due))
            seen = []
            for _ in range(1000):
                op, data = client.message()
                if op == 8:
                    break
                seen += [p for p in payloads(data) if not p.startswith("~h~")]
            self.assertEqual(data, b"", "a close frame without a status code")
            self.assertTrue(0.45 <= time.monotonic() - opened < 1.5, ws)
            self.assertFalse([p for p in seen if "MSFT" in p], "the answer still due never comes")
            self.assertEqual(bool(seen), due is None, "streaming until the close")
            client.send_frame(8, b"")
            self.assertEqual([e["code"] for e in self.events("ws_close_sent", wait=1)], [1005])
            self.assertEqual([e["how"] for e in self.events("ws_end", wait=1)], ["server closed after 0.5 s"])
            client.close()

    def test_timed_faults_hit_only_the_chosen_connection(self):
        def subscribe(client):
            client.send(frame(msg("quote_create_session", "qs_1")) +
                        frame(msg("quote_add_symbols", "qs_1", "BINANCE:BTCUSDT")))
            self.read_until(client, self.completed("qs_1", "BINANCE:BTCUSDT"))

        for fault, how in (({"kind": "drop"}, "fault drop"), ({"kind": "stall"}, "fault stall"),
                           ({"kind": "close", "code": 1011}, "fault close")):
            self.scenario({"ws": {"stream": {"quote_ms": 20}, "heartbeat": {"interval_ms": 50},
                                  "fault": dict(fault, after_ms=300, connection=1)}})
            opened = time.monotonic()
            client = self.websocket()
            subscribe(client)
            if how == "fault drop":
                with self.assertRaises(GONE):
                    self.read_until(client, lambda m: False)
            elif how == "fault close":
                with self.assertRaises(AssertionError) as caught:
                    self.read_until(client, lambda m: False)  # a close frame is not a text message
                self.assertIn("opcode 8", str(caught.exception))
                client.send_frame(8, struct.pack(">H", 1011))
            else:
                client.tls.settimeout(0.4)  # pushes and heartbeats stop
                with self.assertRaises(socket.timeout):
                    self.read_until(client, lambda m: False)
                client.tls.settimeout(TIMEOUT)
                recording = self.recording()
                stalled = [e["seq"] for e in recording if e["kind"] == "fault"][0]
                self.assertFalse([e for e in recording if e["kind"] == "heartbeat_sent" and e["seq"] > stalled])
                counted = self.pushes()
                client.send(frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))  # read, never answered
                self.events("ws_message", wait=3)
                self.assertEqual(self.pushes(), counted)
            self.assertGreaterEqual(time.monotonic() - opened, 0.29, how)
            client.close()
            # The reconnection streams on past the same moment.
            client = self.websocket()
            subscribe(client)
            time.sleep(0.45)
            self.read_until(client, self.quoted("BINANCE:BTCUSDT"))
            client.close()
            ends = self.events("ws_end", wait=2)
            self.assertEqual([(e["connection"], e["how"]) for e in ends], [(1, how), (2, "client went")], how)
            self.assertGreater(ends[1]["pushes"]["qsd"], 15)
            self.assertEqual([(e["connection"], e["fault"], e["after_ms"]) for e in self.events("fault")],
                             [(1, fault["kind"], 300)])

    # ---- limits at scale, latency and accounts ------------------------------

    def upgrade_answer(self):
        """(status, Retry-After value or None, client or None) of one upgrade."""
        tls, head = self.upgrade(base64.b64encode(os.urandom(16)).decode())
        lines = head.split(b"\r\n")
        retry = [line.split(b":", 1)[1].strip().decode() for line in lines if line.lower().startswith(b"retry-after:")]
        status = int(lines[0].split(b" ")[1])
        if status != 101:
            tls.close()
            return status, (retry or [None])[0], None
        return status, (retry or [None])[0], WsClient(tls)

    def test_upgrades_too_close_together_or_over_the_open_limit_get_429(self):
        # (seconds to wait before the upgrade, status, Retry-After)
        for ws, steps in (
                # Spacing counts from the previous request, refused or not: the
                # third comes 600 ms after the first but 300 ms after the second.
                ({"min_connection_gap_ms": 500, "retry_after_s": 7},
                 [(0, 101, None), (0.3, 429, "7"), (0.3, 429, "7"), (0.6, 101, None)]),
                ({}, [(0, 101, None), (0, 429, None), (0.2, 101, None)]),  # 100 ms by default
                ({"min_connection_gap_ms": 0, "max_open_connections": 2, "retry_after_s": 3},
                 [(0, 101, None), (0, 101, None), (0, 429, "3")])):
            self.scenario({"ws": ws})
            clients = []
            for wait, status, retry in steps:
                time.sleep(wait)
                got_status, got_retry, client = self.upgrade_answer()
                clients += [client] if client else []
                self.assertEqual((got_status, got_retry), (status, retry), (ws, len(clients)))
            for client in clients:
                client.close()
            self.assertEqual([(e["connection"], e["reply"]) for e in self.events("http")],
                             [(i + 1, status) for i, (_, status, _) in enumerate(steps)], ws)

    def test_sessions_over_the_limit_are_refused_and_the_connection_lives_on(self):
        self.scenario({"ws": {"max_sessions": 3, "min_connection_gap_ms": 0}})
        client = self.websocket()
        # Deleted sessions count: the limit is on sessions created over the connection's life.
        for m in (msg("chart_create_session", "cs_1", ""), msg("quote_create_session", "qs_1"),
                  msg("chart_delete_session", "cs_1"), msg("chart_create_session", "cs_2", ""),
                  msg("chart_create_session", "cs_3", ""), msg("quote_create_session", "qs_2"),
                  msg("resolve_symbol", "cs_2", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
            client.send(frame(m))
        got = sum(self.read_until(client, lambda m: m["m"] == "symbol_resolved"), [])
        self.assertEqual(got[:-1], [{"m": "critical_error", "p": ["cs_3", "max sessions rate reached"]},
                                    {"m": "critical_error", "p": ["qs_2", "max sessions rate reached"]}])
        # A refused session does not exist; the others, and the connection, go on.
        client.send(frame(msg("resolve_symbol", "cs_3", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        self.assertEqual(client.json_messages(1)[0], {"m": "critical_error",
                                                      "p": ["", "invalid_parameters", "resolve_symbol"]})
        client.send(frame(msg("quote_add_symbols", "qs_1", "NASDAQ:AAPL")))
        self.assertEqual([m["m"] for m in client.json_messages(2)], ["qsd", "quote_completed"])
        self.assertEqual([(e["connection"], e["session"], e["message"], e["opened"])
                          for e in self.events("session_refused")],
                         [(1, "cs_3", "chart_create_session", 3), (1, "qs_2", "quote_create_session", 3)])
        self.assertEqual(self.events("ws_end"), [])
        # Each connection counts its own.
        other = self.websocket()
        other.send(frame(msg("chart_create_session", "cs_1", "")) +
                   frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        self.assertEqual(other.json_messages(1)[0]["m"], "symbol_resolved")
        client.close()
        other.close()

        # 200 by default; 0 lifts the limit.
        for ws, refused in (({}, ["cs_201"]), ({"max_sessions": 0}, [])):
            self.scenario({"ws": ws})
            client = self.websocket()
            client.send(b"".join(frame(msg("chart_create_session", "cs_%d" % i, "")) for i in range(1, 251)))
            client.send(frame(msg("resolve_symbol", "cs_250", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
            got = client.json_messages(1)
            while got[-1]["p"][1] == "max sessions rate reached" and len(got) < 300:
                got += client.json_messages(1)
            client.close()
            self.assertEqual([m["p"][0] for m in got[:-1]], ["cs_%d" % i for i in range(201, 251)] if refused else [])
            self.assertEqual({m["p"][1] for m in got[:-1]}, {"max sessions rate reached"} if refused else set())
            self.assertEqual(got[-1]["m"], "critical_error" if refused else "symbol_resolved", ws)

    def read_timed(self, client, done, since):
        """(seconds after since, payload) of every payload up to the first
        for which done is true, heartbeats included (and echoed)."""
        out = []
        for _ in range(1000):
            for p in payloads(client.text()):
                if p.startswith("~h~"):
                    client.send(frame(p))
                out.append((time.monotonic() - since, p if p.startswith("~h~") else json.loads(p)))
                if not p.startswith("~h~") and done(out[-1][1]):
                    return out
        self.fail("not seen")

    def test_reply_delay_pipelines_answers_and_leaves_heartbeats_alone(self):
        self.scenario({"ws": {"reply_delay_ms": 400, "heartbeat": {"interval_ms": 100}, "min_connection_gap_ms": 0,
                              "max_series": 0},
                       "search_origin": False, "http": [{"path": "/accounts/signin/", "delay_ms": 200}]})
        # The search and the sign-in wait as long; a route's own delay adds to it.
        for raw, least in ((b"GET /symbol_search?text=AAPL HTTP/1.1\r\n\r\n", 0.4),
                           (b"POST /accounts/signin/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 0.6)):
            started = time.monotonic()
            self.assertEqual(self.https(raw)[0], 200)
            self.assertTrue(least <= time.monotonic() - started < least + 0.3, raw)

        client = self.websocket()  # the hello is not delayed
        opened = time.monotonic()
        client.send(frame(msg("chart_create_session", "cs_1", "")) +
                    frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
        got = self.read_timed(client, lambda m: m["m"] == "symbol_resolved", opened)
        beats = [t for t, p in got if p == "~h~1"]
        self.assertTrue(beats and beats[0] < 0.3, beats)  # heartbeats keep their own time
        self.assertGreaterEqual(got[-1][0], 0.4)

        # Two requests back to back: both answers come one delay later, not two.
        sent = time.monotonic()
        for series in ("sds_1", "sds_2"):
            client.send(frame(msg("create_series", "cs_1", series, "s1", "sds_sym_1", "1D", 100)))
        got = [(t, p) for t, p in self.read_timed(
            client, lambda m: m["m"] == "series_completed" and m["p"][1] == "sds_2", sent) if isinstance(p, dict)]
        self.assertTrue(0.4 <= got[0][0] and got[-1][0] < 0.7, [(round(t, 3), p["m"]) for t, p in got])
        self.assertEqual([(p["m"], p["p"][1] if p["m"] != "timescale_update" else list(p["p"][1])[0]) for _, p in got],
                         [(name, series) for series in ("sds_1", "sds_2") for name in
                          ("series_loading", "timescale_update", "series_timeframe", "series_completed")])

        # Six chart sessions at once, 10000 daily bars each: every answer, in
        # the order the requests went.
        sessions = ["cs_%s" % c for c in "abcdef"]
        for cs in sessions:
            for m in (msg("chart_create_session", cs, ""),
                      msg("resolve_symbol", cs, "sds_sym_1", symbol_param("NASDAQ:MSFT")),
                      msg("create_series", cs, "sds_1", "s1", "sds_sym_1", "1D", 10000)):
                client.send(frame(m))
        got = client.json_messages(30)
        self.assertEqual([(m["m"], m["p"][0]) for m in got],
                         [(name, cs) for cs in sessions for name in
                          ("symbol_resolved", "series_loading", "timescale_update", "series_timeframe",
                           "series_completed")])
        self.assertEqual({len(self.bars(m)) for m in got if m["m"] == "timescale_update"}, {10000})
        client.close()
        end = self.events("ws_end", wait=1)[0]
        self.assertGreater(end["heartbeats_echoed"], 0)  # echoes are taken as they come, never answered
        self.assertEqual(self.events("violation"), [])

        # Whatever ends a conversation still does, after the answers before it.
        self.scenario({"ws": {"reply_delay_ms": 200, "min_connection_gap_ms": 0,
                              "faults": [{"kind": "close", "code": 1011, "on": "request_more_data", "connection": 1},
                                         {"kind": "drop", "on": "request_more_data", "connection": 2}]}})
        for ending in ("fault close", "fault drop"):
            client = self.websocket()
            _, answers = self.chart(client)
            self.assertEqual(answers[-1]["m"], "series_completed")
            client.send(frame(msg("request_more_data", "cs_1", "sds_1", 10)) +
                        frame(msg("resolve_symbol", "cs_1", "sds_sym_2", symbol_param("NASDAQ:MSFT"))))
            if ending == "fault close":
                op, data = client.message()
                self.assertEqual((op, data[:2]), (8, struct.pack(">H", 1011)))
                client.send_frame(8, data[:2])
            else:
                with self.assertRaises(GONE):
                    client.frame()
            client.close()
        for data, answer in ((frame(msg("set_auth_token", "bogus")), "bad auth token"),
                             (b"~m~10~m~short", "wrong data")):
            client = self.websocket()
            client.send(data)
            self.assertEqual(payloads(client.text()), ['{"m":"protocol_error","p":["%s"]}' % answer])
            op, data = client.message()
            self.assertEqual(op, 8)
            client.send_frame(8, data[:2])
            client.close()
        ends = self.events("ws_end", wait=4)
        self.assertEqual([(e["connection"], e["how"]) for e in ends],
                         [(1, "fault close"), (2, "fault drop"), (3, "bad auth token"), (4, "protocol error")])

    def test_a_long_history_does_not_hold_up_other_connections(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0, "history": 40000}})
        busy, other = self.websocket(), self.websocket()
        for client in (busy, other):
            client.send(frame(msg("chart_create_session", "cs_1", "")) +
                        frame(msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))))
            client.json_messages(1)
        # About 0.3 s of work for the double, and nobody reads it meanwhile.
        busy.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 40000)))
        time.sleep(0.02)
        sent = time.monotonic()
        other.send(frame(msg("resolve_symbol", "cs_1", "sds_sym_2", symbol_param("NASDAQ:MSFT"))))
        self.assertEqual(other.json_messages(1)[0]["m"], "symbol_resolved")
        waited = time.monotonic() - sent
        answers = busy.json_messages(4)
        self.assertEqual(len(self.bars(answers[1])), 40000)
        for client in (busy, other):
            client.close()
        self.assertLess(waited, 0.15)  # in one go it waits for the whole history, about 0.5 s

    def sign_in(self, form):
        raw = ("POST /accounts/signin/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Content-Length: %d\r\n\r\n%s" % (len(form), form)).encode()
        return json.loads(self.https(raw)[1])

    def token_answer(self, token):
        """The first answer after set_auth_token: symbol_resolved (with its
        series' update mode) when the token is accepted, protocol_error
        otherwise."""
        client = self.websocket()
        try:
            for m in (msg("set_auth_token", token), msg("chart_create_session", "cs_1", ""),
                      msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
                client.send(frame(m))
            first = client.json_messages(1)[0]
            if first["m"] != "symbol_resolved":
                return first
            client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 10)))
            return client.json_messages(4)[-1]["p"][2]
        finally:
            client.close()

    def test_sign_in_as_real_accounts(self):
        def decode(part):
            self.assertNotIn("=", part)
            return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))

        right, wrong = "username=u&password=p&remember=on", "username=u&password=q&remember=on"
        self.scenario({"signin": {"username": "u", "password": "p", "jwt_lifetime_s": 2},
                       "ws": {"min_connection_gap_ms": 0}})
        before = time.time()
        tokens = [self.sign_in(right)["user"]["auth_token"] for _ in range(2)]
        after = time.time()
        self.assertEqual(self.sign_in(wrong)["code"], "invalid_credentials")
        claims = []
        for token in tokens:
            header, payload, signature = token.split(".")
            self.assertEqual(decode(header), {"alg": "HS256", "typ": "JWT"})
            claims.append(decode(payload))
            self.assertEqual(list(claims[-1]), ["user_id", "exp", "iat", "jti"])
            self.assertTrue(int(before) <= claims[-1]["iat"] <= after and claims[-1]["exp"] == claims[-1]["iat"] + 2)
            self.assertTrue(signature and "=" not in signature)
        self.assertEqual(claims[1]["jti"], claims[0]["jti"] + 1)
        # A fresh token is a signed-in one; one the double never issued is refused.
        self.assertEqual(self.token_answer(tokens[0]), "streaming")
        forged = tokens[0].split(".")
        forged[1] = base64.urlsafe_b64encode(json.dumps(dict(claims[0], jti=999999)).encode()).decode().rstrip("=")
        refused = {"m": "protocol_error", "p": ["bad auth token"]}
        self.assertEqual(self.token_answer(".".join(forged)), refused)
        # Once exp has passed, the token is refused like any unknown one.
        time.sleep(max(0.0, claims[1]["exp"] - time.time()) + 0.05)
        for token in tokens:
            self.assertEqual(self.token_answer(token), refused)
        self.assertEqual(self.token_answer("test-token-123"), "streaming")

        captcha = {"error": "Please confirm that you are not a robot by clicking the captcha box.",
                   "code": "recaptcha_required"}
        two_factor = {"error": "2FA_required", "code": "2FA_required", "two_factor_types": [{"name": "totp"}]}
        for signin, forms, expected in (
                # Any sign-in counts, accepted or not.
                ({"captcha_after": 2}, [wrong, right, right, wrong], ["invalid_credentials", "tok", captcha, captcha]),
                ({"captcha_after": 0}, [right], [captcha]),
                ({"two_factor": True}, [right, wrong], [two_factor, "invalid_credentials"])):
            self.scenario({"signin": dict({"username": "u", "password": "p", "token": "tok"}, **signin)})
            got = []
            for form in forms:
                answer = self.sign_in(form)
                got.append(answer["user"]["auth_token"] if "user" in answer else
                           answer["code"] if answer.get("code") == "invalid_credentials" else answer)
            self.assertEqual(got, expected, signin)

    def test_chart_page_carries_the_token_for_the_known_session_cookie_only(self):
        def page(cookie):
            header = "Cookie: %s\r\n" % cookie if cookie is not None else ""
            status, body = self.https(("GET /chart/ HTTP/1.1\r\nHost: localhost\r\n%s\r\n" % header).encode())
            self.assertEqual(status, 200)
            user = re.search(rb"window\.user = (\{.*?\});", body)
            return json.loads(user.group(1))

        signed_in = {"id": 1234567, "username": "u", "is_pro": True, "auth_token": "tok", "is_authenticated": True}
        anonymous = {"is_authenticated": False, "auth_token": None}
        account = {"username": "u", "password": "p", "token": "tok", "sessionid": "abc", "sessionid_sign": "v1.s"}
        for extra, cookie, expected in (
                ({}, "sessionid=abc; sessionid_sign=v1.s", signed_in),
                ({}, "other=1; sessionid=abc;sessionid_sign=v1.s", signed_in),
                ({}, "sessionid=abc", anonymous),  # the signature is asked for
                ({}, "sessionid=abd; sessionid_sign=v1.s", anonymous),
                ({}, None, anonymous),
                ({"cookie_expired": True}, "sessionid=abc; sessionid_sign=v1.s", anonymous)):
            self.scenario({"signin": dict(account, **extra)})
            self.assertEqual(page(cookie), expected, (extra, cookie))
            self.assertEqual(json.loads(self.control("GET", "/stats"))["chart_pages"], 1)
        # Without a sessionid_sign in the scenario the sessionid alone will do;
        # under jwt_lifetime_s each page carries a fresh token.
        self.scenario({"signin": {"sessionid": "abc", "jwt_lifetime_s": 60}})
        first, second = page("sessionid=abc")["auth_token"], page("sessionid=abc")["auth_token"]
        self.assertEqual(first.count("."), 2)
        self.assertNotEqual(first, second)

    def test_stats_count_for_benchmarks(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0, "max_open_connections": 2},
                       "signin": {"username": "u", "password": "p"}})
        first, second = self.websocket(), self.websocket()
        self.assertEqual(self.upgrade_answer()[0], 429)
        second.close()
        self.events("ws_end", wait=1)
        third = self.websocket()
        _, answers = self.chart(first, count=300)
        first.send(frame(msg("quote_create_session", "qs_1")) + frame(msg("quote_add_symbols", "qs_1", "NASDAQ:MSFT")))
        first.json_messages(2)
        first.send_frame(9, b"ping")  # control frames count too
        self.assertEqual(first.frame(), (10, True, b"ping"))
        self.get("/symbol_search?text=AAPL")
        self.get("/symbol_search?text=AAPL", origin=None)  # refused with 403, still a search
        self.sign_in("username=u&password=p")
        for client in (first, third):
            client.close()
        ends = {e["connection"]: e for e in self.events("ws_end", wait=3)}
        stats = json.loads(self.control("GET", "/stats"))
        self.assertEqual(stats, {"ws_upgrades": 4, "ws_refused_429": 1, "ws_opened": 3, "max_open_at_once": 2,
                                 "bytes_sent": first.payload_bytes + second.payload_bytes + third.payload_bytes,
                                 "sessions_opened": 2, "signins": 1, "searches": 2, "chart_pages": 0})
        self.assertEqual([ends[n]["bytes_sent"] for n in (1, 2, 4)],
                         [first.payload_bytes, second.payload_bytes, third.payload_bytes])
        self.assertGreater(first.payload_bytes, 300 * 40)  # the bars are in it
        # A scripted conversation is not the service's: it counts in its ws_end only.
        self.scenario({"ws": {"script": [{"send": "x" * 50}]}})
        client = self.websocket(expect_hello=False)
        self.assertEqual(client.text(), "x" * 50)
        client.close()
        self.assertEqual(self.events("ws_end", wait=1)[0]["bytes_sent"], 50)
        self.assertEqual(json.loads(self.control("GET", "/stats")),
                         {"ws_upgrades": 1, "ws_refused_429": 0, "ws_opened": 1, "max_open_at_once": 1,
                          "bytes_sent": 0, "sessions_opened": 0, "signins": 0, "searches": 0, "chart_pages": 0})

    def test_search_any_makes_up_stocks_the_data_side_knows(self):
        self.scenario({"search_any": True, "ws": {"min_connection_gap_ms": 0}})

        def search(query):
            status, body = self.get("/symbol_search?" + query)
            self.assertEqual(status, 200, query)
            return json.loads(body)

        made_up = search("text=zq%20x&type=stock")
        self.assertEqual(made_up, [])  # not a ticker
        made_up = search("text=zzq1&type=stock")
        self.assertIsInstance(made_up, list)
        self.assertEqual(len(made_up), 1)
        self.assertEqual({k: made_up[0].get(k) for k in ("symbol", "exchange", "type", "description")},
                         {"symbol": "ZZQ1", "exchange": "NASDAQ", "type": "stock", "description": "ZZQ1 Inc"})
        self.assertNotIn("prefix", made_up[0])
        self.assertEqual(search("text=ZZQ1"), made_up)
        # The table still answers what it has; the made-up listing is a stock.
        self.assertEqual([m["exchange"] for m in search("text=AAPL&type=stock")], ["NASDAQ", "BMV"])
        self.assertEqual(search("text=BTC&type=crypto")["symbols"][0]["exchange"], "COINBASE")
        self.assertEqual(search("text=ZZQ1&type=crypto"), [])
        for symbol, known in (("NASDAQ:ZZQ1", True), ("NASDAQ:ANYTHING.B", True), ("NYSE:ZZQ1", False),
                              ("NASDAQ:zzq1", False)):
            client = self.websocket()
            resolved, _ = self.chart(client, symbol=symbol)
            self.assertEqual(resolved["m"], "symbol_resolved" if known else "symbol_error", symbol)
            if known:
                info = resolved["p"][2]
                self.assertEqual((info["type"], info["description"]), ("stock", symbol.split(":")[1] + " Inc"))
            client.close()
        client = self.websocket()
        self.assertEqual(self.subscribe(client, "NASDAQ:ZZQ1")[0]["p"][1]["s"], "ok")
        client.close()
        self.scenario({})
        self.assertEqual(search("text=ZZQ1"), [])
        client = self.websocket()
        self.assertEqual(self.chart(client, symbol="NASDAQ:ZZQ1")[0]["m"], "symbol_error")
        client.close()

    # ---- HTTPS --------------------------------------------------------------

    def test_symbol_search(self):
        self.scenario({"ws": {"min_connection_gap_ms": 0}})

        def search(query, origin="https://localhost"):
            status, body = self.get("/symbol_search?" + query, origin)
            self.assertEqual(status, 200, query)
            return json.loads(body)

        # Stocks, funds and indices answer as a plain array; crypto, forex and
        # futures as {"symbols_remaining", "symbols"} with the matched text in <em>.
        for query, shape, first in (
                ("text=aapl&type=stock", list, {"symbol": "AAPL", "exchange": "NASDAQ", "currency_code": "USD"}),
                ("text=SPY&type=etf", list, {"symbol": "SPY", "exchange": "AMEX"}),
                ("text=MC&type=stock", list, {"symbol": "MC", "exchange": "Euronext Paris", "prefix": "EURONEXT",
                                              "description": "LVMH Mo\u00ebt Hennessy Louis Vuitton"}),
                ("text=7203", list, {"symbol": "7203", "exchange": "TSE", "local_description": "\u30c8\u30e8\u30bf"
                                     "\u81ea\u52d5\u8eca"}),
                ("text=BTC&type=crypto", dict, {"symbol": "<em>BTC</em>USD", "exchange": "COINBASE"}),
                ("text=HYPE&type=crypto", dict, {"symbol": "<em>HYPE</em>USDT.P", "type": "swap", "exchange": "Bybit",
                                                 "source_id": "BYBIT", "prefix": "BYBIT"}),
                ("text=EURUSD&type=forex", dict, {"symbol": "<em>EURUSD</em>", "exchange": "FX_IDC"}),
                ("text=ES1%21&type=futures", dict, {"symbol": "<em>ES</em>", "exchange": "CME_MINI"})):
            answer = search(query)
            self.assertIsInstance(answer, shape, query)
            if shape is dict:
                self.assertEqual(list(answer), ["symbols_remaining", "symbols"])
                answer = answer["symbols"]
            self.assertEqual({k: answer[0].get(k) for k in first}, first, query)
        aapl = search("text=aapl&type=stock")
        self.assertEqual([m["exchange"] for m in aapl], ["NASDAQ", "BMV"])
        self.assertEqual(list(aapl[0])[:4], ["symbol", "description", "type", "exchange"])
        self.assertEqual(search("text=ES1%21&type=futures")["symbols"][0]["contracts"][0]["symbol"], "ES1!")
        for query in ("text=SPY&type=stock", "text=BTC&type=stock", "text=NOSUCH&type=stock"):
            self.assertEqual(self.get("/symbol_search?" + query), (200, b"[]"), query)  # the type filters
        self.assertEqual(self.get("/elsewhere")[0], 404)
        # The search front end refuses a request that does not come from the web site.
        for origin in (None, "http://localhost"):
            self.assertEqual(self.get("/symbol_search?text=AAPL", origin)[0], 403, origin)

        # The data side knows a listing that has a prefix only under that prefix,
        # and a futures root only through its contracts.
        for symbol, known in (("BYBIT:HYPEUSDT.P", True), ("Bybit:HYPEUSDT.P", False), ("EURONEXT:MC", True),
                              ("Euronext Paris:MC", False), ("CME_MINI:ES", False), ("CME_MINI:ES1!", True)):
            client = self.websocket()
            resolved, _ = self.chart(client, symbol=symbol)
            self.assertEqual(resolved["m"], "symbol_resolved" if known else "symbol_error", symbol)
            client.close()

        for shape, query, expected in (
                ("array", "text=BTC&type=crypto", "BTCUSD"),
                ("v3", "text=AAPL&type=stock", "<em>AAPL</em>"),
                ("v3", "text=NOSUCH", None)):
            self.scenario({"search_shape": shape})
            answer = search(query)
            found = answer if shape == "array" else answer["symbols"]
            self.assertEqual(found[0]["symbol"] if found else None, expected, (shape, query))

        self.scenario({"search": {"aapl": {"status": 200, "body": "[{\"exchange\":\"X\"}]"}, "MSFT": []},
                       "search_origin": False})
        self.assertEqual(self.get("/symbol_search?text=AAPL&type=stock", None)[1], b'[{"exchange":"X"}]')
        self.assertEqual(self.get("/symbol_search?text=MSFT&type=stock", None)[1], b"[]")

    def test_http_faults(self):
        self.scenario({"http": [{"path": "/symbol_search", "status": 429, "times": 1},
                                {"path": "*", "method": "POST", "status": 500, "body": "x"},
                                {"path": "/stall", "stall": True}, {"path": "/drop", "drop": True}]})
        self.assertEqual(self.get("/symbol_search?text=AAPL&type=stock")[0], 429)
        self.assertEqual(self.get("/symbol_search?text=AAPL&type=stock")[0], 200)
        self.assertEqual(self.https(b"POST /accounts/signin/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), (500, b"x"))
        with self.connect() as tls:
            tls.sendall(b"GET /stall HTTP/1.1\r\n\r\n")
            tls.settimeout(1.0)
            with self.assertRaises(socket.timeout):
                tls.recv(1)
        with self.connect() as tls:
            tls.sendall(b"GET /drop HTTP/1.1\r\n\r\n")
            try:
                self.assertEqual(tls.recv(1), b"")
            except GONE:
                pass
        self.assertEqual([e["reply"] for e in self.events("http")], [429, 200, 500, "stall", "drop"])

    def test_sign_in(self):
        def sign_in(form):
            raw = ("POST /accounts/signin/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                   "Content-Length: %d\r\n\r\n%s" % (len(form), form)).encode()
            return json.loads(self.https(raw)[1])

        self.scenario({})
        self.assertEqual(sign_in("username=a&password=b&remember=on")["code"], "invalid_credentials")
        self.scenario({"signin": {"username": "me too", "password": "p\u00e9&", "token": "tok-1"}})
        self.assertEqual(sign_in("username=me%20too&password=p%C3%A9%26&remember=on")["user"]["auth_token"], "tok-1")
        self.assertEqual(sign_in("username=me%20too&password=wrong&remember=on")["error"],
                         "Invalid username or password")

    # ---- the recording and the control port ---------------------------------

    def test_recording_keeps_raw_bytes_in_order(self):
        self.scenario({})
        head = b"GET /symbol_search?text=A%20B&type=stock HTTP/1.1\r\nHost: x\r\nX-B: 2\r\nX-A: \xe9\r\n\r\n"
        self.https(head)
        self.https(b"POST /accounts/signin/ HTTP/1.1\r\nContent-Length: 5\r\n\r\nab\xffcd")
        first, second = self.events("http")
        self.assertEqual(first["raw_head"].encode("latin-1"), head)
        self.assertEqual(first["request_line"], "GET /symbol_search?text=A%20B&type=stock HTTP/1.1")
        self.assertEqual((first["path"], first["query"]), ("/symbol_search", "text=A%20B&type=stock"))
        self.assertEqual(first["headers"], [["Host", "x"], ["X-B", "2"], ["X-A", "\u00e9"]])
        self.assertEqual(second["body"].encode("latin-1"), b"ab\xffcd")
        self.assertEqual([e["seq"] for e in self.recording()], [0, 1])
        lines = self.control("GET", "/events?kind=http&field=body").split("\n")[:-1]
        self.assertEqual([base64.b64decode(x) for x in lines], [b"", b"ab\xffcd"])

    def test_control_rejects_mistyped_scenarios_and_resets(self):
        for bad in ({"ws": {"faultt": {}}}, {"ws": {"fault": {"kind": "explode"}}}, {"htp": []},
                    {"ws": {"stream": {"quote_ms": 1}}}, {"ws": {"stream": {"quotes_ms": 50}}},
                    {"ws": {"fault": {"kind": "drop", "after_ms": 5, "on": "create_series"}}},
                    {"ws": {"fault": {"kind": "refuse", "after_ms": 5}}}, {"ws": {"max_series": -1}},
                    {"ws": {"min_connection_gap_ms": -1}}, {"ws": {"retry_after_s": "5"}},
                    {"ws": {"max_sessions": 1.5}}, {"ws": {"reply_delay_ms": True}}, {"search_any": 1},
                    {"signin": {"jwt_lifetime_s": -1}},
                    {"signin": {"captcha_after": "2"}}, {"signin": {"two_factor": "yes"}}, {"signin": {"2fa": True}},
                    {"ws": {"frozen_after_token": 1}}, {"ws": {"protocol_error_on_token": ""}},
                    {"ws": {"protocol_error_on_token": True}}, {"ws": {"close_after_s": -1}},
                    {"ws": {"close_after_s": "60"}}, {"ws": {"quote": {"echo_subscribed_text": "yes"}}}):
            with self.assertRaises(urllib.error.HTTPError) as caught:
                self.control("POST", "/scenario", bad)
            self.assertEqual(caught.exception.code, 400)
            caught.exception.close()
        with self.assertRaises(urllib.error.HTTPError) as caught:
            self.control("POST", "/scenario", b"{not json")
        caught.exception.close()
        self.scenario({"http": [{"path": "*", "status": 500}]})
        self.get("/x")
        self.assertEqual(json.loads(self.control("POST", "/reset")), {"ok": True})
        self.assertEqual(self.recording(), [])
        self.assertEqual(self.get("/x")[0], 404)  # the scenario is gone too
        self.assertTrue(json.loads(self.control("GET", "/health"))["ok"])

    def test_a_new_scenario_ends_the_old_connections_and_keeps_them_out(self):
        self.scenario({"ws": {"script": [{"stall": True}]}})
        old = self.websocket(expect_hello=False)
        self.scenario({})
        with self.assertRaises(GONE):
            old.frame()
        old.close()
        time.sleep(0.2)
        self.assertEqual(self.recording(), [])

    def test_untrusted_port_refuses_verification_and_records_it(self):
        self.scenario({})
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.connect("untrusted")
        errors = self.events("tls_error", wait=1)
        self.assertEqual(errors[0]["port"], "untrusted")
        self.assertEqual(self.events("http"), [])

    # ---- the first checks, kept -------------------------------------------

    def test_symbol_search_and_recording(self):
        self.scenario({})
        status, body = self.https(b"GET /symbol_search?text=ES1%21&type=futures HTTP/1.1\r\nHost: x\r\n"
                                  b"Origin: https://x\r\nReferer: https://x/\r\nX-Probe: 1\r\n\r\n")
        self.assertEqual(json.loads(body)["symbols"][0]["exchange"], "CME_MINI")
        self.assertEqual(json.loads(body)["symbols"][0]["contracts"][0]["symbol"], "ES1!")
        self.assertEqual(self.get("/symbol_search?text=NOSUCH&type=stock")[1], b"[]")
        recording = self.recording()
        self.assertEqual(recording[0]["query"], "text=ES1%21&type=futures")
        self.assertIn("X-Probe: 1\r\n", recording[0]["raw_head"])

    def test_canned_status_and_refused_upgrade(self):
        self.scenario({"http": [{"method": "GET", "path": "/symbol_search", "status": 429}],
                       "ws": {"refuse_upgrade": 403}})
        self.assertEqual(self.get("/symbol_search?text=A")[0], 429)
        status, _ = self.https(b"GET /socket.io/websocket HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                               b"Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\n\r\n")
        self.assertEqual(status, 403)

    def test_series_rounds_are_deterministic_and_do_not_overlap(self):
        def conversation():
            self.scenario({"ws": {"seed": 7, "now": NOW, "history": 250}})
            client = self.websocket()
            _, answers = self.chart(client, resolution="5", count=100)
            client.send(frame(msg("request_more_data", "cs_1", "sds_1", 200)))
            answers += client.json_messages(3)
            client.close()
            return answers
        first = conversation()
        self.assertEqual(first, conversation())
        newest, older = self.bars(first[1]), self.bars(first[4])
        self.assertEqual((len(newest), len(older)), (100, 150))  # the history holds 250 bars
        times = [b[0] for b in older + newest]
        self.assertEqual(times, sorted(set(times)))
        self.assertTrue(all(b - a == 300 for a, b in zip(times, times[1:])))
        self.assertEqual(times[-1], float(NOW))
        self.assertEqual(first[6]["m"], "series_completed")

    def test_stall_fault_sends_nothing_more(self):
        self.scenario({"ws": {"fault": {"kind": "stall"}}})
        client = self.websocket()  # the hello comes first
        client.send(frame(msg("chart_create_session", "cs_1", "")))
        client.tls.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            client.frame()
        client.close()


class LifetimeTest(unittest.TestCase):
    def test_stops_by_itself(self):
        proc, _ = start_double(lifetime=1)
        self.assertEqual(proc.wait(timeout=15), 0)
        proc.stdin.close()
        proc, _ = start_double()
        proc.stdin.close()  # as when the test that started it goes
        self.assertEqual(proc.wait(timeout=15), 0)


if __name__ == "__main__":
    unittest.main()
