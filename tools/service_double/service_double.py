#!/usr/bin/env python3
"""A local stand-in for the market-data service, for tests and the demo.

One process serves, on 127.0.0.1 only:
  - the service port (TLS, certificate of the test CA): GET /symbol_search,
    POST /accounts/signin/, and GET /socket.io/websocket upgraded to a
    WebSocket that speaks the service's "~m~" framing;
  - the untrusted port: the same, with a certificate nobody trusts;
  - the control port (plain HTTP): POST /scenario, GET /recording,
    POST /reset, GET /health.
It writes its ports as JSON to --port-file, and stops by itself after
--lifetime seconds or when its standard input closes. See README.md for the
scenario and the recording.
"""

import argparse
import asyncio
import base64
import hashlib
import json
import math
import os
import random
import ssl
import struct
import sys
import time

MAX_HEAD = 64 * 1024
MAX_BODY = 16 * 1024 * 1024
MAX_WS_MESSAGE = 16 * 1024 * 1024
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

# Symbols the built-in search and the service conversation know.
SYMBOLS = {
    "AAPL": {"exchange": "NASDAQ", "type": "stock", "description": "Apple Inc.", "price": 173.0},
    "MSFT": {"exchange": "NASDAQ", "type": "stock", "description": "Microsoft Corporation", "price": 410.0},
    "IBM": {"exchange": "NYSE", "type": "stock", "description": "International Business Machines", "price": 190.0},
    "SPY": {"exchange": "AMEX", "type": "fund", "description": "SPDR S&P 500 ETF Trust", "price": 510.0},
    "SPX": {"exchange": "SP", "type": "index", "description": "S&P 500 Index", "price": 5100.0},
    "EURUSD": {"exchange": "FX_IDC", "type": "forex", "description": "Euro / U.S. Dollar", "price": 1.09},
    "BTCUSD": {"exchange": "COINBASE", "type": "crypto", "description": "Bitcoin / U.S. Dollar", "price": 64000.0},
    "BTCUSDT": {"exchange": "BINANCE", "type": "crypto", "description": "Bitcoin / TetherUS", "price": 64010.0},
    "ES": {"exchange": "CME_MINI", "type": "futures", "description": "E-mini S&P 500 Futures", "price": 5120.0,
           "contracts": ["ES1!", "ESZ2024"]},
}

RESOLUTION_SECONDS = {"1D": 86400, "D": 86400, "1W": 7 * 86400, "W": 7 * 86400, "1M": 30 * 86400, "M": 30 * 86400}


def resolution_seconds(resolution):
    if resolution in RESOLUTION_SECONDS:
        return RESOLUTION_SECONDS[resolution]
    try:
        return max(1, int(resolution)) * 60
    except ValueError:
        return None


def frame(payload):
    data = payload.encode("utf-8") if isinstance(payload, str) else payload
    return b"~m~" + str(len(data)).encode() + b"~m~" + data


def split_frames(data):
    """The payloads of every whole frame in one WebSocket message."""
    out = []
    pos = 0
    while True:
        start = data.find("~m~", pos)
        if start < 0:
            return out
        digits_end = start + 3
        while digits_end < len(data) and data[digits_end].isdigit():
            digits_end += 1
        if data[digits_end:digits_end + 3] != "~m~":
            return out
        length = int(data[start + 3:digits_end] or "0")
        payload = data[digits_end + 3:].encode("utf-8")[:length].decode("utf-8", "replace")
        out.append(payload)
        pos = digits_end + 3 + len(payload)


class BarSeries:
    """A deterministic random walk of bars for one symbol and resolution."""

    def __init__(self, symbol, resolution, seed, now, history):
        self.step = resolution_seconds(resolution)
        base = SYMBOLS.get(symbol.split(":")[-1], {}).get("price", 100.0)
        self.rng = random.Random(f"{seed}:{symbol}:{resolution}")
        newest = int(now) // self.step * self.step
        self.times = [newest - i * self.step for i in range(history)][::-1]
        price = base
        self.bars = []
        for t in self.times:
            o = price
            c = max(0.01, o * (1 + self.rng.uniform(-0.01, 0.01)))
            h = max(o, c) * (1 + self.rng.uniform(0, 0.004))
            low = min(o, c) * (1 - self.rng.uniform(0, 0.004))
            v = float(self.rng.randint(1000, 900000))
            self.bars.append([float(t), round(o, 4), round(h, 4), round(low, 4), round(c, 4), v])
            price = c
        self.sent = 0  # how many of the newest bars were handed out so far

    def next_older(self, count):
        end = len(self.bars) - self.sent
        start = max(0, end - max(0, count))
        self.sent += end - start
        return self.bars[start:end]

    def newest(self, count):
        return self.bars[-count:] if count > 0 else []


def series_payload(cs, bars, first_index=0):
    items = ",".join('{"i":%d,"v":[%s]}' % (first_index + i, ",".join(repr(x) for x in b)) for i, b in enumerate(bars))
    return ('{"m":"timescale_update","p":["%s",{"sds_1":{"node":"fra-charts-21","s":[%s],"ns":{"d":"","indexes":[]},'
            '"t":"s1","lbs":{"bar_close_time":%d}}},{"index":%d,"zoffset":0,"changes":[],"marks":[],"index_diff":[]}]}'
            % (cs, items, int(bars[-1][0]) if bars else 0, len(bars)))


class Double:
    def __init__(self, args):
        self.args = args
        self.scenario = {}
        self.recording = []
        self.connections = 0

    def record(self, event):
        event["t"] = round(time.time(), 3)
        self.recording.append(event)

    # ---- HTTP plumbing ------------------------------------------------

    async def read_request(self, reader):
        head = await reader.readuntil(b"\r\n\r\n")
        if len(head) > MAX_HEAD:
            raise ValueError("header too long")
        lines = head.decode("latin-1").split("\r\n")
        method, target, _ = (lines[0].split(" ") + ["", ""])[:3]
        headers = []
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                headers.append([name.strip(), value.strip()])
        length = 0
        for name, value in headers:
            if name.lower() == "content-length":
                length = min(int(value or "0"), MAX_BODY)
        body = await reader.readexactly(length) if length else b""
        return method, target, head.decode("latin-1"), headers, body

    @staticmethod
    async def respond(writer, status, body, content_type="application/json", extra=""):
        data = body.encode("utf-8") if isinstance(body, str) else body
        reason = {200: "OK", 101: "Switching Protocols"}.get(status, "Status")
        writer.write(("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n%s\r\n"
                      % (status, reason, content_type, len(data), extra)).encode("latin-1") + data)
        await writer.drain()

    # ---- the service port ---------------------------------------------

    async def serve_service(self, reader, writer, port_kind):
        try:
            method, target, raw_head, headers, body = await asyncio.wait_for(self.read_request(reader), 30)
        except Exception:
            writer.close()
            return
        path, _, query = target.partition("?")
        self.record({"kind": "http", "port": port_kind, "method": method, "path": path, "query": query,
                     "raw_head": raw_head, "headers": headers, "body": body.decode("latin-1")})
        upgrade = any(n.lower() == "upgrade" and v.lower() == "websocket" for n, v in headers)
        try:
            if path == "/socket.io/websocket" and upgrade:
                await self.serve_websocket(reader, writer, headers)
            else:
                await self.serve_http(writer, method, path, query, body)
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError):
            pass
        finally:
            try:
                writer.close()
            except Exception:
                pass

    def route(self, method, path):
        for r in self.scenario.get("http", []):
            if r.get("path") == path and r.get("method", method) == method:
                return r
        return None

    async def serve_http(self, writer, method, path, query, body):
        r = self.route(method, path) or {}
        if r.get("stall"):
            await asyncio.sleep(self.args.lifetime)
            return
        if r.get("drop"):
            writer.transport.abort()
            return
        if r.get("delay_ms"):
            await asyncio.sleep(r["delay_ms"] / 1000.0)
        if "status" in r or "body" in r or "body_size" in r:
            text = r.get("body", "")
            if "body_size" in r:
                text = "".join(chr(ord("a") + i % 26) for i in range(r["body_size"]))
            await self.respond(writer, r.get("status", 200), text)
        elif method == "GET" and path == "/symbol_search":
            await self.respond(writer, 200, self.search_reply(query))
        elif method == "POST" and path == "/accounts/signin/":
            await self.respond(writer, 200, self.signin_reply(body.decode("latin-1")))
        else:
            await self.respond(writer, 404, '{"error":"not found"}')

    def search_reply(self, query):
        params = dict(p.partition("=")[::2] for p in query.split("&"))
        text = _percent_decode(params.get("text", "")).upper()
        root = text[:-2] if text.endswith("1!") else text
        entry = SYMBOLS.get(root)
        if entry is None:
            return "[]"
        symbol = root
        item = {"symbol": symbol, "description": entry["description"], "type": entry["type"],
                "exchange": entry["exchange"], "currency_code": "USD", "provider_id": "ice",
                "source2": {"id": entry["exchange"], "name": entry["exchange"]}, "country": "US",
                "typespecs": ["common"]}
        if "contracts" in entry:
            item["contracts"] = [{"symbol": c, "description": entry["description"]} for c in entry["contracts"]]
        return json.dumps([item], separators=(",", ":"))

    def signin_reply(self, form):
        account = self.scenario.get("signin", {})
        if "reply" in account:
            return account["reply"]
        fields = dict(p.partition("=")[::2] for p in form.split("&"))
        if account and fields.get("username") == account.get("username") and \
                _percent_decode(fields.get("password", "")) == account.get("password"):
            return json.dumps({"error": "", "user": {"id": 1234567, "username": account.get("username"),
                                                     "auth_token": account.get("token", "test-token-123"),
                                                     "is_pro": False}}, separators=(",", ":"))
        return '{"error":"Invalid username or password","code":"invalid_credentials"}'

    # ---- WebSocket ----------------------------------------------------

    async def serve_websocket(self, reader, writer, headers):
        ws = self.scenario.get("ws", {})
        if ws.get("refuse_upgrade"):
            await self.respond(writer, int(ws["refuse_upgrade"]), '{"error":"refused"}')
            return
        if ws.get("stall_upgrade"):
            await asyncio.sleep(self.args.lifetime)
            return
        key = next((v for n, v in headers if n.lower() == "sec-websocket-key"), "")
        accept = base64.b64encode(hashlib.sha1(key.encode() + WS_GUID).digest()).decode()
        writer.write(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Accept: %s\r\n\r\n" % accept).encode())
        await writer.drain()
        self.connections += 1
        conn = WebSocketConnection(self, reader, writer, self.connections)
        self.record({"kind": "ws_open", "connection": conn.number})
        try:
            if "script" in ws:
                await conn.run_script(ws["script"])
            else:
                await conn.run_service(ws)
        finally:
            self.record({"kind": "ws_end", "connection": conn.number})

    # ---- control port -------------------------------------------------

    async def serve_control(self, reader, writer):
        try:
            method, target, _, _, body = await asyncio.wait_for(self.read_request(reader), 30)
            if method == "POST" and target == "/scenario":
                self.scenario = json.loads(body.decode("utf-8") or "{}")
                self.recording = []
                await self.respond(writer, 200, '{"ok":true}')
            elif method == "POST" and target == "/reset":
                self.scenario = {}
                self.recording = []
                await self.respond(writer, 200, '{"ok":true}')
            elif method == "GET" and target == "/recording":
                await self.respond(writer, 200, json.dumps(self.recording))
            elif method == "GET" and target.startswith("/events?"):
                # One line per recorded event of a kind: the base64 of one of its fields.
                q = dict(x.partition("=")[::2] for x in target.partition("?")[2].split("&"))
                lines = [base64.b64encode(str(e.get(q.get("field", ""), "")).encode("latin-1" if e["kind"] == "http"
                                                                                     else "utf-8")).decode()
                         for e in self.recording if e["kind"] == q.get("kind")]
                await self.respond(writer, 200, "".join(line + "\n" for line in lines), "text/plain")
            elif target == "/health":
                await self.respond(writer, 200, '{"ok":true}')
            else:
                await self.respond(writer, 404, "{}")
        except Exception:
            pass
        finally:
            writer.close()


def _percent_decode(text):
    out = bytearray()
    i = 0
    while i < len(text):
        pair = text[i + 1:i + 3]
        if text[i] == "%" and len(pair) == 2 and all(c in "0123456789abcdefABCDEF" for c in pair):
            out.append(int(text[i + 1:i + 3], 16))
            i += 3
        else:
            out.extend(text[i].encode("utf-8"))
            i += 1
    return out.decode("utf-8", "replace")


class WebSocketConnection:
    def __init__(self, double, reader, writer, number):
        self.double = double
        self.reader = reader
        self.writer = writer
        self.number = number
        self.received = 0
        self.arrived = asyncio.Event()
        self.closed = False
        self.series = {}
        self.heartbeat = 0

    # frames of RFC 6455 ------------------------------------------------

    async def send_frame(self, opcode, data, fin=True):
        head = bytes([(0x80 if fin else 0) | opcode])
        n = len(data)
        if n < 126:
            head += bytes([n])
        elif n < 65536:
            head += bytes([126]) + struct.pack(">H", n)
        else:
            head += bytes([127]) + struct.pack(">Q", n)
        self.writer.write(head + data)
        await self.writer.drain()

    async def send_text(self, text, fragment=0):
        data = text.encode("utf-8") if isinstance(text, str) else text
        if fragment <= 0 or len(data) <= fragment:
            await self.send_frame(1, data)
            return
        pieces = [data[i:i + fragment] for i in range(0, len(data), fragment)]
        for i, piece in enumerate(pieces):
            await self.send_frame(1 if i == 0 else 0, piece, fin=i == len(pieces) - 1)

    async def read_message(self):
        """The next text message, or None when the peer closed or went."""
        parts = []
        while True:
            head = await self.reader.readexactly(2)
            n = head[1] & 0x7F
            if n == 126:
                n = struct.unpack(">H", await self.reader.readexactly(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", await self.reader.readexactly(8))[0]
            if n > MAX_WS_MESSAGE:
                raise ConnectionError("message too large")
            mask = await self.reader.readexactly(4) if head[1] & 0x80 else b"\0\0\0\0"
            data = bytearray(await self.reader.readexactly(n))
            for i in range(n):
                data[i] ^= mask[i % 4]
            opcode = head[0] & 0x0F
            if opcode == 8:
                code = struct.unpack(">H", bytes(data[:2]))[0] if len(data) >= 2 else 0
                self.double.record({"kind": "ws_close", "connection": self.number, "code": code})
                if not self.closed:
                    self.closed = True
                    await self.send_frame(8, bytes(data[:2]))
                return None
            if opcode == 9:
                await self.send_frame(10, bytes(data))
                continue
            if opcode == 10:
                continue
            parts.append(bytes(data))
            if head[0] & 0x80:
                text = b"".join(parts).decode("utf-8", "replace")
                self.received += 1
                self.double.record({"kind": "ws_message", "connection": self.number, "text": text})
                self.arrived.set()
                return text

    async def reader_loop(self, handler):
        try:
            while True:
                text = await self.read_message()
                if text is None:
                    return
                if handler is not None:
                    await handler(text)
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
            return

    async def wait_messages(self, total, timeout=30):
        deadline = time.monotonic() + timeout
        while self.received < total and time.monotonic() < deadline:
            self.arrived.clear()
            try:
                await asyncio.wait_for(self.arrived.wait(), max(0.01, deadline - time.monotonic()))
            except asyncio.TimeoutError:
                pass

    async def close(self, code=1000):
        if not self.closed:
            self.closed = True
            await self.send_frame(8, struct.pack(">H", code))

    def drop(self):
        self.writer.transport.abort()

    # scripted conversations -------------------------------------------

    async def run_script(self, steps):
        echo = {"on": False}

        async def on_message(text):
            if echo["on"]:
                await self.send_text(text)

        reading = asyncio.ensure_future(self.reader_loop(on_message))
        expected = 0
        try:
            for step in steps[:1000]:
                if "send" in step:
                    await self.send_text(step["send"], step.get("fragment", 0))
                elif "send_size" in step:
                    size = int(step["send_size"])
                    await self.send_text("".join(chr(ord("a") + i % 26) for i in range(size)), step.get("fragment", 0))
                elif "send_raw" in step:
                    self.writer.write(base64.b64decode(step["send_raw"]))
                    await self.writer.drain()
                elif "expect" in step:
                    expected += int(step["expect"])
                    await self.wait_messages(expected, step.get("timeout", 30))
                elif "close" in step:
                    await self.close(int(step["close"]))
                elif step.get("drop"):
                    self.drop()
                    return
                elif step.get("stall"):
                    await asyncio.wait_for(reading, self.double.args.lifetime)
                    return
                elif "sleep_ms" in step:
                    await asyncio.sleep(step["sleep_ms"] / 1000.0)
                elif step.get("echo"):
                    echo["on"] = True
            await asyncio.wait_for(reading, self.double.args.lifetime)
        except (asyncio.TimeoutError, ConnectionError, OSError):
            pass
        finally:
            reading.cancel()

    # the service's own protocol ----------------------------------------

    async def run_service(self, ws):
        fault = ws.get("fault", {})
        session_id = "<0.%d.%d>_fra-charts-21" % (self.number, os.getpid() % 1000)
        hello = ('{"session_id":"%s","timestamp":%d,"timestampMs":%d,"release":"registry:5000/prod-rp/charts:121",'
                 '"studies_metadata_hash":"5a1f0e","auth_scheme_vsn":2,"protocol":"json","via":"10.0.0.1:443",'
                 '"javastudies":["3.66"]}' % (session_id, int(time.time()), int(time.time() * 1000)))
        await self.send_text(frame(hello))
        if ws.get("heartbeat_first"):
            self.heartbeat += 1
            await self.send_text(frame("~h~%d" % self.heartbeat))
        try:
            while True:
                text = await self.read_message()
                if text is None:
                    return
                for payload in split_frames(text):
                    if payload.startswith("~h~"):
                        self.double.record({"kind": "heartbeat_echo", "connection": self.number, "text": payload})
                        continue
                    if await self.apply_fault(fault):
                        return
                    await self.answer(payload, ws)
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
            return

    async def apply_fault(self, fault):
        """True when the fault ended the conversation."""
        kind = fault.get("kind")
        if not kind or self.received < int(fault.get("after_messages", 0)):
            return False
        if kind == "stall":
            await asyncio.sleep(self.double.args.lifetime)
            return True
        if kind == "drop":
            self.drop()
            return True
        if kind == "close":
            await self.close(int(fault.get("code", 1000)))
            return True
        if kind == "garbage":
            await self.send_text("\x01garbage{{{~m~~m~" + "x" * 100)
        elif kind == "huge_length":
            await self.send_text("~m~" + "9" * 40 + "~m~{}")
        elif kind == "huge_message":
            await self.send_text(frame('{"m":"noise","p":["' + "z" * int(fault.get("size", 4 << 20)) + '"]}'), 8192)
        fault["kind"] = None  # a one-off injection
        return False

    async def answer(self, payload, ws):
        try:
            message = json.loads(payload)
        except ValueError:
            return
        name = message.get("m")
        p = message.get("p", [])
        out = []
        if name == "resolve_symbol" and len(p) >= 3:
            spec_text = p[2][1:] if p[2].startswith("=") else p[2]
            try:
                symbol = json.loads(spec_text).get("symbol", "")
            except ValueError:
                symbol = spec_text
            self.series_symbol = symbol
            if self.known(symbol, ws):
                exchange, _, short = symbol.partition(":")
                out.append('{"m":"symbol_resolved","p":["%s","%s",{"name":"%s","full_name":"%s","pro_name":"%s",'
                           '"exchange":"%s","type":"stock","session":"0930-1600","timezone":"America/New_York",'
                           '"pricescale":100,"minmov":1,"has_intraday":true,"currency_code":"USD"}]}'
                           % (p[0], p[1], short, symbol, symbol, exchange))
            else:
                out.append('{"m":"symbol_error","p":["%s","%s","invalid symbol"]}' % (p[0], p[1]))
        elif name == "create_series" and len(p) >= 6:
            symbol = getattr(self, "series_symbol", "")
            if not self.known(symbol, ws) or resolution_seconds(str(p[4])) is None:
                out.append('{"m":"series_error","p":["%s","%s","%s","resolve error"]}' % (p[0], p[1], p[2]))
            else:
                series = BarSeries(symbol, str(p[4]), ws.get("seed", 1), ws.get("now", time.time()),
                                   int(ws.get("history", 30000)))
                self.series[p[0]] = series
                bars = series.next_older(min(int(p[5]), int(ws.get("max_per_request", 1 << 30))))
                out.append('{"m":"series_loading","p":["%s","%s","s1"]}' % (p[0], p[1]))
                if bars:
                    out.append(series_payload(p[0], bars))
                out.append('{"m":"series_completed","p":["%s","%s","s1","streaming",{"rt_update_period":1}]}'
                           % (p[0], p[1]))
                if ws.get("du_after_series"):
                    out.append('{"m":"du","p":["%s",{"sds_1":{"s":[{"i":1,"v":[%s]}],"ns":{"d":"","indexes":'
                               '"nochange"},"t":"s1"}}]}' % (p[0], ",".join(repr(x) for x in series.bars[-1])))
        elif name == "request_more_data" and len(p) >= 3:
            series = self.series.get(p[0])
            if series is not None:
                bars = series.next_older(min(int(p[2]), int(ws.get("max_per_request", 1 << 30))))
                if bars:
                    out.append(series_payload(p[0], bars))
                out.append('{"m":"series_completed","p":["%s","sds_1","s1","streaming",{"rt_update_period":1}]}'
                           % p[0])
        elif name in ("quote_add_symbols", "quote_fast_symbols") and len(p) >= 2:
            for symbol in p[1:]:
                out.extend(self.quote_payloads(p[0], symbol, ws))
        for payload in out:
            await self.send_text(frame(payload))
        if ws.get("close_after_answers") and out:
            await self.close()

    @staticmethod
    def known(symbol, ws):
        unknown = ws.get("unknown_symbols", [])
        short = symbol.split(":")[-1]
        short = short[:-2] if short.endswith("1!") else short
        return symbol not in unknown and (short in SYMBOLS or ws.get("any_symbol", True))

    def quote_payloads(self, qs, symbol, ws):
        if not self.known(symbol, ws):
            return ['{"m":"qsd","p":["%s",{"n":"%s","s":"error","errmsg":"invalid symbol","v":{}}]}' % (qs, symbol)]
        base = SYMBOLS.get(symbol.split(":")[-1], {}).get("price", 100.0)
        now = int(ws.get("now", time.time()))
        wobble = math.sin(time.time() / 7.0) * base * 0.002
        lp = round(base + wobble, 4)
        return [
            '{"m":"qsd","p":["%s",{"n":"%s","s":"ok","v":{"ch":%s,"chp":0.64,"current_session":"market",'
            '"description":"%s","exchange":"%s","lp":%s,"lp_time":%d,"volume":72913507,"update_mode":"streaming",'
            '"type":"stock","pro_name":"%s","short_name":"%s","open_price":%s,"high_price":%s,"low_price":%s,'
            '"prev_close_price":%s,"pricescale":100,"minmov":1,"currency_code":"USD","rtc":%s,"rtc_time":%d}}]}'
            % (qs, symbol, round(lp - base, 4), symbol, symbol.split(":")[0], lp, now, symbol, symbol.split(":")[-1],
               base, round(max(base, lp) * 1.001, 4), round(min(base, lp) * 0.999, 4), base, lp, now),
            '{"m":"quote_completed","p":["%s","%s"]}' % (qs, symbol),
        ]


async def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--certs", required=True, help="folder with server.pem/key and untrusted.pem/key")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--lifetime", type=float, default=3600.0)
    parser.add_argument("--scenario", help="a scenario file to start with")
    args = parser.parse_args()

    double = Double(args)
    if args.scenario:
        with open(args.scenario, encoding="utf-8") as f:
            double.scenario = json.load(f)

    def tls(name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.certs, name + ".pem"), os.path.join(args.certs, name + ".key"))
        return context

    service = await asyncio.start_server(lambda r, w: double.serve_service(r, w, "service"), "127.0.0.1", 0,
                                         ssl=tls("server"))
    untrusted = await asyncio.start_server(lambda r, w: double.serve_service(r, w, "untrusted"), "127.0.0.1", 0,
                                           ssl=tls("untrusted"))
    control = await asyncio.start_server(double.serve_control, "127.0.0.1", 0)
    ports = {"service": service.sockets[0].getsockname()[1], "untrusted": untrusted.sockets[0].getsockname()[1],
             "control": control.sockets[0].getsockname()[1]}
    tmp = args.port_file + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(ports, f)
    os.replace(tmp, args.port_file)

    loop = asyncio.get_running_loop()
    stdin_closed = loop.run_in_executor(None, sys.stdin.read)
    try:
        await asyncio.wait_for(stdin_closed, args.lifetime)
    except asyncio.TimeoutError:
        pass
    os._exit(0)


if __name__ == "__main__":
    asyncio.run(main())
