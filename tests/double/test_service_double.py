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


def frame(text):
    data = text.encode() if isinstance(text, str) else text
    return b"~m~%d~m~" % len(data) + data


def payloads(message):
    """The payloads of the service frames in one message (bytes or str)."""
    data = message.encode() if isinstance(message, str) else message
    out = []
    while data.startswith(b"~m~"):
        digits_end = data.index(b"~m~", 3)
        n = int(data[3:digits_end])
        out.append(data[digits_end + 3:digits_end + 3 + n].decode())
        data = data[digits_end + 3 + n:]
    assert not data, "bytes outside frames: %r" % data[:50]
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

    def get(self, target):
        return self.https(("GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n" % target).encode())

    def websocket(self, expect_hello=True):
        tls = self.connect()
        key = base64.b64encode(os.urandom(16)).decode()
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

    def chart(self, client, symbol="NASDAQ:AAPL", resolution="1D", count=100, series="sds_1", answers=3):
        """Opens a chart session as the plug-in does; returns the create_series answers."""
        for m in (msg("set_auth_token", "unauthorized_user_token"), msg("chart_create_session", "cs_1", ""),
                  msg("switch_timezone", "cs_1", "Etc/UTC"),
                  msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param(symbol, "regular"))):
            client.send(frame(m))
        resolved = client.json_messages(1)[0]
        client.send(frame(msg("create_series", "cs_1", series, "s1", "sds_sym_1", resolution, count)))
        if resolved["m"] != "symbol_resolved":
            return resolved, client.json_messages(1)
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
                rounds.append(client.json_messages(2 if len(rounds) < 3 else 1))
            client.close()
            return rounds

        first = conversation(7)
        self.assertEqual(first, conversation(7))
        self.assertNotEqual(first, conversation(8))
        self.assertEqual([m["m"] for m in first[0]], ["series_loading", "timescale_update", "series_completed"])
        self.assertEqual(first[0][2]["p"], ["cs_1", "sds_1", "s1", "streaming", {"rt_update_period": 1}])
        newest, older, oldest = self.bars(first[0][1]), self.bars(first[1][0]), self.bars(first[2][0])
        self.assertEqual((len(newest), len(older), len(oldest)), (100, 100, 50))  # 250 bars of history
        self.assertEqual([m["m"] for m in first[3]], ["series_completed"])  # nothing older is left
        times = [b[0] for b in oldest + older + newest]
        self.assertTrue(all(isinstance(t, float) for t in times))
        self.assertEqual(times[-1], float(NOW + 3900))  # aligned to 5 minutes, the newest bar is now's
        self.assertTrue(all(b - a == 300 for a, b in zip(times, times[1:])), "no overlap, no gap")
        for t, o, h, l, c, v in oldest + older + newest:
            self.assertTrue(0 < l <= min(o, c) <= max(o, c) <= h and v > 0)

    def test_bars_per_request_can_be_capped(self):
        self.scenario({"ws": {"max_per_request": 30, "history": 100}})
        client = self.websocket()
        _, answers = self.chart(client, count=50)
        self.assertEqual(len(self.bars(answers[1])), 30)
        client.send(frame(msg("request_more_data", "cs_1", "sds_1", 50)))
        self.assertEqual(len(self.bars(client.json_messages(2)[0])), 30)
        client.close()

    def test_resolutions_align_bar_times(self):
        def starts(resolution, **ws):
            self.scenario({"ws": dict(now=NOW + 12345, **ws)})
            client = self.websocket()
            _, answers = self.chart(client, symbol="BINANCE:BTCUSDT", resolution=resolution, count=4)
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

    def test_latest_bar_poll_shapes(self):
        self.scenario({"ws": {"now": NOW}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, series="sds_live_1")
        self.assertEqual(list(answers[1]["p"][1]), ["sds_live_1"])  # keyed by the series asked for
        self.assertEqual(len(self.bars(answers[1])), 3)
        self.assertEqual(answers[2]["p"][1], "sds_live_1")
        client.close()

        self.scenario({"ws": {"now": NOW, "series_reply": "du"}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, series="sds_live_1", answers=2)
        self.assertEqual([m["m"] for m in answers], ["series_loading", "du"])
        self.assertEqual(len(self.bars(answers[1])), 3)
        client.close()

        self.scenario({"ws": {"now": NOW, "du_after_series": True, "updates": {"interval_ms": 20, "count": 1}}})
        client = self.websocket()
        _, answers = self.chart(client, resolution="60", count=3, answers=5)
        self.assertEqual([m["m"] for m in answers], ["series_loading", "timescale_update", "series_completed",
                                                     "du", "du"])
        self.assertEqual(self.bars(answers[4])[0][0], self.bars(answers[1])[-1][0], "the newest bar moves")
        client.close()

    def test_unknown_symbols_and_resolutions_give_errors(self):
        self.scenario({})
        client = self.websocket()
        resolved, answers = self.chart(client, symbol="NOWHERE:XYZ")
        self.assertEqual(resolved, {"m": "symbol_error", "p": ["cs_1", "sds_sym_1", "invalid symbol"]})
        self.assertEqual(answers[0], {"m": "series_error", "p": ["cs_1", "sds_1", "s1", "resolve error"]})
        client.send(frame(msg("quote_create_session", "qs_1")))
        client.send(frame(msg("quote_add_symbols", "qs_1", symbol_param("NOWHERE:XYZ"))))
        qsd = client.json_messages(1)[0]
        self.assertEqual((qsd["m"], qsd["p"][1]["s"]), ("qsd", "error"))
        client.close()

        client = self.websocket()
        _, answers = self.chart(client, resolution="7X", answers=1)
        self.assertEqual(answers[0]["m"], "series_error")
        client.send(frame(msg("create_series", "cs_1", "sds_2", "s2", "sds_sym_1", "1D", "many")))
        self.assertEqual(client.json_messages(1)[0]["m"], "critical_error")
        client.close()

        # A symbol of the scenario is known, with its own history length.
        self.scenario({"symbols": {"X:Y": {"history": 2, "price": 10.0}}, "ws": {"unknown_symbols": ["NASDAQ:AAPL"]}})
        client = self.websocket()
        _, answers = self.chart(client, symbol="X:Y", count=100)
        self.assertEqual(len(self.bars(answers[1])), 2)
        client.close()
        client = self.websocket()
        self.assertEqual(self.chart(client)[0]["m"], "symbol_error")
        client.close()

    def test_quote_poll_moves_and_partial_updates(self):
        def poll(**ws):
            self.scenario({"ws": dict(now=NOW, **ws)})
            client = self.websocket()
            for m in (msg("set_auth_token", "unauthorized_user_token"), msg("quote_create_session", "qs_1"),
                      msg("quote_set_fields", "qs_1", "lp", "ch"),
                      msg("quote_add_symbols", "qs_1", symbol_param("BINANCE:BTCUSDT"))):
                client.send(frame(m))
            return client

        name = symbol_param("BINANCE:BTCUSDT")
        client = poll(updates={"interval_ms": 20, "count": 2})
        full, completed = client.json_messages(2)
        self.assertEqual((full["m"], full["p"][1]["n"], full["p"][1]["s"]), ("qsd", name, "ok"))
        v = full["p"][1]["v"]
        self.assertEqual((v["lp_time"], v["pro_name"], v["type"]), (NOW, "BINANCE:BTCUSDT", "crypto"))
        self.assertEqual(completed, {"m": "quote_completed", "p": ["qs_1", name]})
        updates = client.json_messages(2)
        self.assertEqual([sorted(u["p"][1]["v"]) for u in updates],
                         [["ch", "chp", "lp", "lp_time", "volume"], ["volume"]])
        self.assertNotEqual(updates[0]["p"][1]["v"]["lp"], v["lp"])
        client.close()
        # A second poll in the same scenario sees a moved price.
        client = self.websocket()
        for m in (msg("quote_create_session", "qs_2"), msg("quote_add_symbols", "qs_2", name)):
            client.send(frame(m))
        self.assertNotEqual(client.json_messages(1)[0]["p"][1]["v"]["lp"], updates[0]["p"][1]["v"]["lp"])
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

        self.scenario({"ws": {"heartbeat_first": True}})
        client = self.websocket()
        self.assertEqual(payloads(client.text()), ["~h~1"])
        client.close()
        self.assertEqual(self.events("ws_end", wait=1)[0]["heartbeats_unanswered"], ["~h~1"])

        self.scenario({"ws": {"heartbeat": {"interval_ms": 50, "require_echo_ms": 200}}})
        client = self.websocket()
        self.assertEqual(payloads(client.text()), ["~h~1"])
        with self.assertRaises(GONE):
            for _ in range(100):
                client.frame()  # not echoed: the double drops the connection
        self.assertEqual([e["text"] for e in self.events("heartbeat_missed", wait=1)], ["~h~1"])
        client.close()

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
        self.scenario({"ws": {"fault": {"kind": "refuse", "status": 429, "connection": 2}}})
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
        self.assertEqual(client.json_messages(1)[0], {"m": "critical_error",
                                                      "p": ["cs_1", "invalid_parameters", "create_series"]})
        client.close()

        self.scenario({"ws": {"pack_frames": True, "fault": {"kind": "protocol_error", "on": "request_more_data"}}})
        client = self.websocket()
        for m in (msg("chart_create_session", "cs_1", ""),
                  msg("resolve_symbol", "cs_1", "sds_sym_1", symbol_param("NASDAQ:AAPL"))):
            client.send(frame(m))
        client.text()
        client.send(frame(msg("create_series", "cs_1", "sds_1", "s1", "sds_sym_1", "1D", 10)))
        self.assertEqual([json.loads(p)["m"] for p in payloads(client.text())],
                         ["series_loading", "timescale_update", "series_completed"])  # one message
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
        self.scenario({})
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

    # ---- HTTPS --------------------------------------------------------------

    def test_symbol_search(self):
        self.scenario({})
        status, body = self.get("/symbol_search?text=ES1%21&type=futures")
        root = json.loads(body)[0]
        self.assertEqual((status, root["symbol"], root["exchange"]), (200, "ES", "CME_MINI"))
        self.assertEqual(root["contracts"][0]["symbol"], "ES1!")
        aapl = json.loads(self.get("/symbol_search?text=aapl&type=stock")[1])
        self.assertEqual([(m["exchange"], m["currency_code"]) for m in aapl], [("NASDAQ", "USD"), ("BMV", "MXN")])
        self.assertEqual(list(aapl[0])[:4], ["symbol", "description", "type", "exchange"])
        self.assertEqual([m["exchange"] for m in json.loads(self.get("/symbol_search?text=EURUSD&type=forex")[1])],
                         ["FX_IDC", "OANDA"])
        self.assertEqual(self.get("/symbol_search?text=SPY&type=stock")[1], b"[]")  # the type filters
        self.assertEqual(json.loads(self.get("/symbol_search?text=SPY&type=etf")[1])[0]["exchange"], "AMEX")
        btc = json.loads(self.get("/symbol_search?text=BTCUSD&type=crypto")[1])
        self.assertEqual([m["symbol"] for m in btc][:2], ["BTCUSD", "BTCUSD"])
        self.assertEqual(self.get("/symbol_search?text=NOSUCH&type=stock"), (200, b"[]"))
        self.assertEqual(self.get("/elsewhere")[0], 404)

        self.scenario({"search": {"aapl": {"status": 200, "body": "[{\"exchange\":\"X\"}]"}, "MSFT": []}})
        self.assertEqual(self.get("/symbol_search?text=AAPL&type=stock")[1], b'[{"exchange":"X"}]')
        self.assertEqual(self.get("/symbol_search?text=MSFT&type=stock")[1], b"[]")

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
        for bad in ({"ws": {"faultt": {}}}, {"ws": {"fault": {"kind": "explode"}}}, {"htp": []}):
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
                                  b"X-Probe: 1\r\n\r\n")
        self.assertEqual(json.loads(body)[0]["exchange"], "CME_MINI")
        self.assertEqual(json.loads(body)[0]["contracts"][0]["symbol"], "ES1!")
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
            answers += client.json_messages(2)
            client.close()
            return answers
        first = conversation()
        self.assertEqual(first, conversation())
        newest, older = self.bars(first[1]), self.bars(first[3])
        self.assertEqual((len(newest), len(older)), (100, 150))  # the history holds 250 bars
        times = [b[0] for b in older + newest]
        self.assertEqual(times, sorted(set(times)))
        self.assertTrue(all(b - a == 300 for a, b in zip(times, times[1:])))
        self.assertEqual(times[-1], float(NOW))
        self.assertEqual(first[4]["m"], "series_completed")

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
