#!/usr/bin/env python3
"""A local stand-in for the market-data service, for tests and the demo.

One process serves, on 127.0.0.1 only, each on a free port:
  - the service port (TLS, certificate of the test CA): GET /symbol_search,
    POST /accounts/signin/, and GET /socket.io/websocket upgraded to a
    WebSocket that speaks the service's "~m~" framing;
  - the untrusted port: the same, behind a certificate nobody trusts;
  - the control port (plain HTTP): POST /scenario, POST /reset,
    POST /price, GET /recording, GET /events, GET /pushes, GET /stats,
    GET /health.
It writes its ports as JSON to --port-file once it listens, and stops by
itself after --lifetime seconds, after --idle seconds without a connection,
when its standard input closes or when its parent process goes away.
README.md beside this file gives the scenario schema and the recording.
"""

import argparse
import asyncio
import base64
import calendar
import codecs
import datetime
import hashlib
import hmac
import http
import json
import math
import os
import random
import re
import ssl
import struct
import sys
import time
import urllib.parse

try:
    import zoneinfo
except ImportError:  # without time zone data daily bars keep 00:00 UTC stamps
    zoneinfo = None

MAX_HEAD = 64 * 1024
MAX_BODY = 16 * 1024 * 1024
MAX_WS_MESSAGE = 32 * 1024 * 1024
MAX_RECORDED_TEXT = 8 * 1024 * 1024
MAX_EVENTS = 200000
MAX_CONNECTIONS = 200
MAX_SCRIPT_STEPS = 10000
MAX_UPDATES = 10000
MAKE_STEP = 1000  # bars made or written between two turns of the event loop
MAX_ANCHOR_BARS = 100000  # bars a series may make and drop between "now" and ws.history_anchor
MAX_WAITING_MESSAGES = 10000  # client messages read ahead of their delayed answers (ws.reply_delay_ms)
CLOSE_WAIT_S = 5.0
NO_STATUS_CODE = 1005  # what a peer reads from a close frame without a status code
PRICE_PUSH_WAIT_S = 5.0  # POST /price answers after at most this long, written or not
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

# ---------------------------------------------------------------------------
# The symbols the built-in search and the data conversation know. Every
# listing is known to the data side as "EXCHANGE:SYMBOL"; a futures root's
# contracts are known under the root's exchange.

LISTINGS = [
    # symbol, exchange, type, description, currency, country, price, typespecs, extra
    ("AAPL", "NASDAQ", "stock", "Apple Inc.", "USD", "US", 173.0, ["common"], {"is_primary_listing": True}),
    ("AAPL", "BMV", "stock", "Apple Inc.", "MXN", "MX", 2950.0, ["common"], {}),
    ("MSFT", "NASDAQ", "stock", "Microsoft Corporation", "USD", "US", 410.0, ["common"], {"is_primary_listing": True}),
    ("TSLA", "NASDAQ", "stock", "Tesla, Inc.", "USD", "US", 175.0, ["common"], {"is_primary_listing": True}),
    ("IBM", "NYSE", "stock", "International Business Machines Corporation", "USD", "US", 190.0, ["common"],
     {"is_primary_listing": True}),
    ("SAP", "XETR", "stock", "SAP SE", "EUR", "DE", 175.0, ["common"], {"is_primary_listing": True}),
    ("SPY", "AMEX", "fund", "SPDR S&P 500 ETF Trust", "USD", "US", 510.0, ["etf"], {}),
    ("QQQ", "NASDAQ", "fund", "Invesco QQQ Trust, Series 1", "USD", "US", 440.0, ["etf"], {}),
    ("VFIAX", "NASDAQ", "fund", "Vanguard 500 Index Fund Admiral Shares", "USD", "US", 470.0, ["mutual"], {}),
    ("SPX", "SP", "index", "S&P 500 Index", "USD", "US", 5100.0, [], {}),
    ("NDX", "NASDAQ", "index", "Nasdaq 100 Index", "USD", "US", 18000.0, [], {}),
    ("DJI", "DJ", "index", "Dow Jones Industrial Average Index", "USD", "US", 39000.0, [], {}),
    ("VIX", "CBOE", "index", "CBOE Volatility Index", "USD", "US", 14.5, [], {}),
    ("EURUSD", "FX_IDC", "forex", "Euro / U.S. Dollar", "USD", "", 1.09, [], {}),
    ("EURUSD", "OANDA", "forex", "EUR/USD", "USD", "", 1.0901, ["cfd"], {}),
    ("GBPUSD", "FX_IDC", "forex", "British Pound / U.S. Dollar", "USD", "", 1.27, [], {}),
    ("USDJPY", "FX_IDC", "forex", "U.S. Dollar / Japanese Yen", "JPY", "", 149.5, [], {}),
    ("BTCUSD", "COINBASE", "crypto", "Bitcoin / U.S. Dollar", "USD", "", 64000.0, [], {}),
    ("BTCUSD", "BINANCE", "crypto", "Bitcoin / U.S. Dollar", "USD", "", 64005.0, [], {}),
    ("BTCUSDT", "BINANCE", "crypto", "Bitcoin / TetherUS", "USDT", "", 64010.0, [], {}),
    ("BTCUSDT", "COINBASE", "crypto", "Bitcoin / Tether", "USDT", "", 64012.0, [], {}),
    ("ETHUSD", "COINBASE", "crypto", "Ethereum / U.S. Dollar", "USD", "", 3400.0, [], {}),
    ("ETHUSDT", "BINANCE", "crypto", "Ethereum / TetherUS", "USDT", "", 3401.0, [], {}),
    ("ES", "CME_MINI", "futures", "E-mini S&P 500 Futures", "USD", "US", 5120.0, ["continuous"],
     {"contracts": [("ES1!", "E-mini S&P 500 Futures (continuous: current contract in front)"),
                    ("ES2!", "E-mini S&P 500 Futures (continuous: next contract in front)"),
                    ("ESZ2024", "E-mini S&P 500 Futures (Dec 2024)"),
                    ("ESH2025", "E-mini S&P 500 Futures (Mar 2025)")]}),
    ("NQ", "CME_MINI", "futures", "E-mini Nasdaq-100 Futures", "USD", "US", 18100.0, ["continuous"],
     {"contracts": [("NQ1!", "E-mini Nasdaq-100 Futures (continuous: current contract in front)"),
                    ("NQZ2024", "E-mini Nasdaq-100 Futures (Dec 2024)")]}),
    ("CL", "NYMEX", "futures", "Crude Oil Futures", "USD", "US", 78.0, ["continuous"],
     {"contracts": [("CL1!", "Crude Oil Futures (continuous: current contract in front)"),
                    ("CLZ2024", "Crude Oil Futures (Dec 2024)")]}),
    # Names in the exchange's language: their frames are longer in UTF-8
    # bytes than in UTF-16 code units ("𠮷" is one character, two units).
    ("7203", "TSE", "stock", "Toyota Motor Corporation", "JPY", "JP", 3500.0, ["common"],
     {"is_primary_listing": True, "local_description": "トヨタ自動車", "decimals": 1}),
    ("9861", "TSE", "stock", "Yoshinoya Holdings Co., Ltd.", "JPY", "JP", 3100.0, ["common"],
     {"is_primary_listing": True, "local_description": "𠮷野家ホールディングス", "decimals": 1}),
    ("005930", "KRX", "stock", "Samsung Electronics", "KRW", "KR", 78000.0, ["common"],
     {"is_primary_listing": True, "local_description": "삼성전자", "decimals": 0}),
    # Listings whose "exchange" is not the identifier's exchange part: the
    # identifier is "prefix:symbol" (EURONEXT:MC, BYBIT:HYPEUSDT.P).
    ("MC", "Euronext Paris", "stock", "LVMH Moët Hennessy Louis Vuitton", "EUR", "FR", 850.0, ["common"],
     {"is_primary_listing": True, "prefix": "EURONEXT", "local_description": "LVMH Moët Hennessy Louis Vuitton"}),
    ("HYPEUSDT.P", "Bybit", "swap", "HYPE / USDT Perpetual Contract", "USDT", "", 38.5, ["perpetual"],
     {"prefix": "BYBIT", "decimals": 3}),
    ("ETHUSDT.P", "Bybit", "swap", "ETH / USDT Perpetual Contract", "USDT", "", 3402.0, ["perpetual"],
     {"prefix": "BYBIT"}),
]

SOURCE_NAMES = {"NASDAQ": "Nasdaq Stock Market", "NYSE": "New York Stock Exchange", "AMEX": "NYSE American",
                "BMV": "Bolsa Mexicana de Valores", "XETR": "Deutsche Boerse Xetra", "SP": "S&P Dow Jones Indices",
                "DJ": "S&P Dow Jones Indices", "CBOE": "Cboe", "FX_IDC": "ICE Data Services", "OANDA": "OANDA",
                "COINBASE": "Coinbase", "BINANCE": "Binance", "CME_MINI": "CME", "NYMEX": "NYMEX",
                "TSE": "Tokyo Stock Exchange", "KRX": "Korea Exchange", "EURONEXT": "Euronext Paris",
                "BYBIT": "Bybit"}
SESSIONS = {"stock": ("0930-1600", "America/New_York"), "fund": ("0930-1600", "America/New_York"),
            "index": ("0930-1600", "America/New_York"), "forex": ("24x7", "Etc/UTC"),
            "crypto": ("24x7", "Etc/UTC"), "swap": ("24x7", "Etc/UTC"),
            "futures": ("1800-1700", "America/New_York")}
EXCHANGE_SESSIONS = {"TSE": ("0900-1130,1230-1530", "Asia/Tokyo"), "KRX": ("0900-1530", "Asia/Seoul"),
                     "EURONEXT": ("0900-1730", "Europe/Paris"),
                     # A session that closes at or before its opening time
                     # opens the evening before its trading date.
                     "FX_IDC": ("2200-2200", "Etc/UTC"), "OANDA": ("1700-1700", "America/New_York"),
                     "CME_MINI": ("1700-1600", "America/Chicago"), "NYMEX": ("1700-1600", "America/Chicago")}
# Holidays of some exchanges, as symbol_resolved lists them (YYYYMMDD).
HOLIDAYS = {"CME_MINI": "20211125,20221124,20231123,20241128,20251127,20261126",
            "NYMEX": "20211125,20221124,20231123,20241128,20251127,20261126",
            "NASDAQ": "20241225,20250101,20251225,20260101,20261225",
            "NYSE": "20241225,20250101,20251225,20260101,20261225",
            "TSE": "20250101,20250102,20250103,20260101,20260102"}
# The search answers these types in the {"symbols_remaining", "symbols"}
# shape, with the matched text of "symbol" in <em> tags; others as an array.
V3_SEARCH_TYPES = {"crypto", "swap", "forex", "futures"}
# A type= filter that takes in more than its own name.
SEARCH_TYPE_MATCHES = {"crypto": {"crypto", "swap"}}
ANONYMOUS_TOKEN = "unauthorized_user_token"
DEFAULT_TOKEN = "test-token-123"
JWT_HEADER = b'{"alg":"HS256","typ":"JWT"}'
JWT_KEY = b"service double signing key"  # the signature only has to look real; nothing checks it
CAPTCHA_REPLY = ('{"error":"Please confirm that you are not a robot by clicking the captcha box.",'
                 '"code":"recaptcha_required"}')
TWO_FACTOR_REPLY = '{"error":"2FA_required","code":"2FA_required","two_factor_types":[{"name":"totp"}]}'
NO_VOLUME = 1e100  # the service's "no volume"; json.dumps writes it as 1e+100
# A partial qsd that carries a trade: the quote's moving values.
PRICE_PARTIAL = ("lp", "ch", "chp", "lp_time", "volume")
# The pushes of a streamed quote as the service sends them, only what
# changed: (the draw below which a push has this shape, the keys of each of
# its qsd frames, all in one message). A price comes without "lp_time" about
# three times in ten and "lp_time" comes alone one time in ten, so a client
# cannot take every "lp" to bring its time.
STREAM_QUOTE_SHAPES = (
    (0.25, (("volume",),)),
    (0.40, (PRICE_PARTIAL,)),
    (0.50, (("volume", "lp", "ch", "chp"),)),
    (0.60, (("volume", "lp", "ch"),)),
    (0.70, (("volume",), ("lp", "ch"))),
    (0.80, (("lp_time",),)),
    (1.01, (("volume",), PRICE_PARTIAL)),
)


def session_of(symbol, entry):
    """(session, time zone) of a data-side symbol."""
    exchange = symbol.rpartition(":")[0]
    return EXCHANGE_SESSIONS.get(exchange) or SESSIONS.get(entry.get("type"), ("0930-1600", "America/New_York"))


SESSION_OPENS = {}  # (day, session, timezone) -> session_open(); symbols of one exchange share their dates
MAX_SESSION_OPENS = 200000


def session_open(day, session, timezone):
    """The instant (Unix seconds) the session of a trading date opens; day is
    that date's 00:00 UTC. A session such as 1700-1600 opens the evening
    before; daylight saving moves the UTC instant, not the local time."""
    if zoneinfo is None or session == "24x7":
        return day
    key = (day, session, timezone)
    found = SESSION_OPENS.get(key)
    if found is None:
        if len(SESSION_OPENS) >= MAX_SESSION_OPENS:
            SESSION_OPENS.clear()
        found = SESSION_OPENS[key] = _session_open(day, session, timezone)
    return found


def _session_open(day, session, timezone):
    first = session.split(",")[0]
    opens, _, closes = first.partition("-")
    try:
        zone = zoneinfo.ZoneInfo(timezone)
        hours, minutes = int(opens[:2]), int(opens[2:4])
    except (ValueError, zoneinfo.ZoneInfoNotFoundError):
        return day
    date = datetime.datetime.fromtimestamp(day, datetime.timezone.utc).date()
    if closes and closes <= opens:
        date -= datetime.timedelta(days=1)
    local = datetime.datetime(date.year, date.month, date.day, hours, minutes, tzinfo=zone)
    return int(local.timestamp())


def listing_id_exchange(listing):
    """The exchange part of a listing's identifier: its "prefix" when it has
    one, its "exchange" otherwise."""
    return listing[8].get("prefix", listing[1])


def made_up_ticker(text):
    """Whether search_any may make up a listing for this text: a ticker, so
    no colon, no space and no lower case (the search upper-cases)."""
    return bool(text) and len(text) <= 40 and text == text.upper() and not any(c.isspace() or c == ":" for c in text)


def made_up_listing(ticker):
    """The stock search_any answers for a ticker the table does not have
    (known to the data side as NASDAQ:ticker)."""
    return (ticker, "NASDAQ", "stock", ticker + " Inc", "USD", "US", 100.0, ["common"], {})


def build_symbols():
    """Data-side symbols: "EXCHANGE:SYMBOL" -> attributes."""
    table = {}
    for listing in LISTINGS:
        symbol, _, kind, description, currency, _country, price, _specs, extra = listing
        exchange = listing_id_exchange(listing)
        entry = {"type": kind, "description": description, "price": price, "currency": currency}
        for name in ("local_description", "decimals"):
            if name in extra:
                entry[name] = extra[name]
        # A futures root the search finds does not resolve on the chart;
        # its contracts do.
        if not extra.get("contracts"):
            table[exchange + ":" + symbol] = dict(entry)
        for contract, contract_description in extra.get("contracts", []):
            table[exchange + ":" + contract] = dict(entry, description=contract_description)
    return table


# ---------------------------------------------------------------------------
# Small helpers.

def utf16_length(text):
    """The length of text as a JavaScript string: UTF-16 code units, so a
    character above U+FFFF counts two."""
    if text.isascii():
        return len(text)
    return len(text.encode("utf-16-le")) // 2


def frame(payload):
    """One service frame: ~m~ + the payload's length in UTF-16 code units +
    ~m~ + the payload as UTF-8. Bytes that are not UTF-8 (only a test's
    deliberate garbage) are counted as bytes."""
    if isinstance(payload, str):
        data, n = payload.encode("utf-8"), utf16_length(payload)
    else:
        data = bytes(payload)
        try:
            n = len(data) if data.isascii() else utf16_length(data.decode("utf-8"))
        except UnicodeDecodeError:
            n = len(data)
    return b"~m~" + str(n).encode() + b"~m~" + data


def utf8_width(lead):
    """Bytes of the UTF-8 sequence a lead byte starts (0: not a lead byte)."""
    if lead < 0x80:
        return 1
    if 0xC2 <= lead <= 0xDF:
        return 2
    if 0xE0 <= lead <= 0xEF:
        return 3
    if 0xF0 <= lead <= 0xF4:
        return 4
    return 0


def utf16_span(data, start, units):
    """(end, error): where the UTF-8 text starting at data[start] reaches
    `units` UTF-16 code units. Walks forward in chunks of at most the
    number of units still wanted: a chunk of k bytes never holds more than
    k units, so no chunk overshoots, and the whole walk reads each byte
    about once."""
    pos, need, size = start, units, len(data)
    while need > 0:  # every round consumes at least one byte, or returns
        if pos >= size:
            return None, "message ends %d code units short" % need
        chunk = data[pos:pos + need]
        if chunk.isascii():
            pos += len(chunk)
            need -= len(chunk)
            continue
        decoder = codecs.getincrementaldecoder("utf-8")()
        try:
            text = decoder.decode(chunk)
        except UnicodeDecodeError as error:
            return None, "payload is not valid UTF-8 at offset %d" % (pos + error.start)
        if text:
            pos += len(chunk) - len(decoder.getstate()[0])
            need -= utf16_length(text)
            continue
        # The chunk is shorter than the one character that starts it.
        width = utf8_width(data[pos])
        if width == 0 or pos + width > size:
            if width and pos + width > size:
                return None, "message ends inside a UTF-8 sequence at offset %d" % pos
            return None, "payload is not valid UTF-8 at offset %d" % pos
        try:
            char = data[pos:pos + width].decode("utf-8")
        except UnicodeDecodeError:
            return None, "payload is not valid UTF-8 at offset %d" % pos
        if utf16_length(char) > need:
            return None, "length ends inside a UTF-8 sequence at offset %d" % pos
        pos += width
        need -= utf16_length(char)
    return pos, None


def split_frames(data):
    """(payloads, error) for one WebSocket message of service frames.

    The message must be nothing but whole frames, each length counting the
    payload's UTF-16 code units; error names the first place where it is
    not (None when the message is well formed)."""
    out = []
    pos = 0
    while pos < len(data):
        if data[pos:pos + 3] != b"~m~":
            return out, "bytes outside a frame at offset %d" % pos
        end = pos + 3
        while end < len(data) and data[end:end + 1].isdigit():
            end += 1
        digits = data[pos + 3:end]
        if not digits or len(digits) > 12 or data[end:end + 3] != b"~m~":
            return out, "bad frame header at offset %d" % pos
        length = int(digits)
        start = end + 3
        stop, error = utf16_span(data, start, length)
        if error:
            return out, "frame at offset %d declares %d code units: %s" % (pos, length, error)
        out.append(data[start:stop])
        pos = stop
    if not out:
        return out, "empty message"
    return out, None


def dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def method_and_args(name, params):
    """How the service names a refused message in its critical_error:
    'method: create_series. args: "[cs_1, sds_2, s1, sds_sym_1, 1D, 300]"'
    (texts bare, other values as JSON)."""
    args = ", ".join(x if isinstance(x, str) else dumps(x) for x in (params or []))
    return 'method: %s. args: "[%s]"' % (name or "", args)


# ---------------------------------------------------------------------------
# Session renaming: a replayed or scripted text written with made-up session
# names ("cs_x", "qs_1") is pointed at the sessions the client really opened,
# since a client that routes by session drops what names none of its own.

FRAME_HEAD = re.compile(rb"~m~(\d{1,12})~m~")
JSON_SPACE = re.compile(r"[ \t\n\r]*")
JSON_DECODER = json.JSONDecoder()
# Messages whose "p"[0] is the chart session, or the quote session, they act on.
CHART_MESSAGES = ("chart_create_session", "switch_timezone", "resolve_symbol", "create_series", "request_more_data",
                  "modify_series", "remove_series", "chart_delete_session")
QUOTE_MESSAGES = ("quote_create_session", "quote_set_fields", "quote_add_symbols", "quote_fast_symbols",
                  "quote_remove_symbols", "quote_delete_session")


def first_param_span(text):
    """(start, end, value) of "p"[0] in a JSON object's text when it is a
    string (start at its opening quote, end past its closing one), else
    None. The text is scanned rather than re-serialised, so everything
    around the name can be kept byte for byte; of several "p" keys the last
    counts, as json.loads takes it."""
    try:
        pos = JSON_SPACE.match(text, 0).end()
        if text[pos:pos + 1] != "{":
            return None
        pos = JSON_SPACE.match(text, pos + 1).end()
        found = None
        if text[pos:pos + 1] == "}":
            return None
        while True:
            if text[pos:pos + 1] != '"':
                return None
            key, pos = json.decoder.scanstring(text, pos + 1)
            pos = JSON_SPACE.match(text, pos).end()
            if text[pos:pos + 1] != ":":
                return None
            pos = JSON_SPACE.match(text, pos + 1).end()
            if key == "p":
                found = None
                if text[pos:pos + 1] == "[":
                    inner = JSON_SPACE.match(text, pos + 1).end()
                    if text[inner:inner + 1] == '"':
                        value, end = json.decoder.scanstring(text, inner + 1)
                        found = (inner, end, value)
            _, pos = JSON_DECODER.raw_decode(text, pos)  # the value, whatever it is, skipped
            pos = JSON_SPACE.match(text, pos).end()
            if text[pos:pos + 1] == ",":
                pos = JSON_SPACE.match(text, pos + 1).end()
                continue
            if text[pos:pos + 1] != "}":
                return None
            break
        if JSON_SPACE.match(text, pos + 1).end() != len(text):
            return None
        return found
    except (ValueError, IndexError):
        return None


def rename_payload(text, chart, quote):
    """The payload with "p"[0] replaced: a name starting with "cs" by chart,
    one starting with "qs" by quote. None when nothing is to change (not a
    JSON message, another first parameter, or no session to name)."""
    if not text.startswith("{"):
        return None
    found = first_param_span(text)
    if found is None:
        return None
    start, end, value = found
    target = chart if value.startswith("cs") else quote if value.startswith("qs") else None
    if target is None:
        return None
    return text[:start] + dumps(target) + text[end:]


def rename_sessions(data, chart, quote):
    """(bytes, renamed): a text of service frames with each frame renamed by
    rename_payload and framed again (its length in UTF-16 code units);
    frames not renamed keep their bytes, and from the first place that is
    not a whole frame (as a client reads frames) the rest goes unchanged."""
    out = []
    pos = renamed = 0
    for _ in range(len(data)):  # every frame takes at least seven bytes
        head = FRAME_HEAD.match(data, pos)
        if head is None:
            break
        stop, error = utf16_span(data, head.end(), int(head.group(1)))
        if error:
            break
        new = rename_payload(data[head.end():stop].decode("utf-8"), chart, quote)
        if new is None:
            out.append(data[pos:stop])
        else:
            out.append(frame(new))
            renamed += 1
        pos = stop
    out.append(data[pos:])
    return b"".join(out), renamed


def latin1(data):
    return data.decode("latin-1") if isinstance(data, (bytes, bytearray)) else str(data)


def percent_decode(text, plus_is_space=False):
    if plus_is_space:
        text = text.replace("+", " ")
    return urllib.parse.unquote(text, encoding="utf-8", errors="replace")


def parse_query(text, plus_is_space=False):
    out = {}
    for part in text.split("&"):
        if part:
            name, _, value = part.partition("=")
            out.setdefault(percent_decode(name, plus_is_space), percent_decode(value, plus_is_space))
    return out


def symbol_of(text):
    """The symbol named by a resolve_symbol or quote_add_symbols parameter,
    plain ("NASDAQ:AAPL") or "=" + a JSON object with a "symbol" key."""
    if isinstance(text, str) and text.startswith("="):
        try:
            value = json.loads(text[1:])
            if isinstance(value, dict):
                return str(value.get("symbol", "")), value
        except ValueError:
            pass
        return text[1:], {}
    return str(text), {}


def reserialised(text):
    """A symbol added in the JSON form as the service echoes it in "n": the
    object written again without spaces and its keys in another order than
    the client's (sorted; reversed when the client sent them sorted), so a
    client cannot find its symbol by the text it sent. Anything else comes
    back as it was sent."""
    if not (isinstance(text, str) and text.startswith("=")):
        return text
    try:
        value = json.loads(text[1:])
    except ValueError:
        return text
    if not isinstance(value, dict):
        return text
    keys = sorted(value)
    echo = "=" + dumps({k: value[k] for k in keys})
    if echo == text and len(keys) > 1:
        echo = "=" + dumps({k: value[k] for k in reversed(keys)})
    return echo


# ---------------------------------------------------------------------------
# Resolutions and bar times.

def parse_resolution(text):
    """(unit, count) for a resolution text, unit one of m, D, W, M; None when
    the service would not serve it."""
    match = re.fullmatch(r"(\d*)([DWM]?)", str(text))
    if not match or (not match.group(1) and not match.group(2)):
        return None
    count = int(match.group(1) or "1")
    unit = match.group(2) or "m"
    limits = {"m": 1440, "D": 365, "W": 52, "M": 12}
    if count < 1 or count > limits[unit]:
        return None
    return unit, count


def add_months(t, months):
    d = datetime.datetime.fromtimestamp(t, datetime.timezone.utc)
    index = d.year * 12 + d.month - 1 + months
    return calendar.timegm((index // 12, index % 12 + 1, 1, 0, 0, 0))


class Clock:
    """Bar times of one resolution: aligned start times, stepping back."""

    MONDAY = 4 * 86400  # 1970-01-05, the first Monday after the epoch

    def __init__(self, resolution, skip_weekends):
        self.unit, self.count = parse_resolution(resolution)
        self.skip_weekends = skip_weekends and self.unit in ("m", "D")
        self.step = {"m": 60, "D": 86400, "W": 604800, "M": 30 * 86400}[self.unit] * self.count

    def seconds(self):
        return self.step

    def align(self, t):
        t = int(t)
        if self.unit in ("m", "D"):
            step = self.seconds()
            aligned = t // step * step
        elif self.unit == "W":
            step = self.seconds()
            aligned = (t - self.MONDAY) // step * step + self.MONDAY
        else:
            d = datetime.datetime.fromtimestamp(t, datetime.timezone.utc)
            index = (d.year * 12 + d.month - 1) // self.count * self.count
            aligned = calendar.timegm((index // 12, index % 12 + 1, 1, 0, 0, 0))
        while self.skip_weekends and self.weekend(aligned):
            aligned -= self.seconds()
        return aligned

    @staticmethod
    def weekend(t):
        """Saturday or Sunday in UTC (1970-01-01 was a Thursday, weekday 3)."""
        return (int(t) // 86400 + 3) % 7 >= 5

    def back(self, t):
        if self.unit == "M":
            return add_months(t, -self.count)
        previous = t - self.step
        # At most two days of steps: a weekend is skipped bar by bar.
        while self.skip_weekends and (int(previous) // 86400 + 3) % 7 >= 5:
            previous -= self.step
        return previous

    def forward(self, t):
        return add_months(t, self.count) if self.unit == "M" else t + self.seconds()

    def bars_between(self, older, newer):
        """How many bar steps lead from the aligned time older to the aligned
        time newer, at most (weekends skipped are counted)."""
        if self.unit == "M":
            a = datetime.datetime.fromtimestamp(older, datetime.timezone.utc)
            b = datetime.datetime.fromtimestamp(newer, datetime.timezone.utc)
            return ((b.year - a.year) * 12 + b.month - a.month) // self.count
        return int(newer - older) // self.step


class BarSeries:
    """A seeded, deterministic random walk of OHLCV bars for one symbol and
    resolution. The newest bar starts at the aligned "now"; older bars are
    made on demand, back to the symbol's history length. take_older hands
    out bars never handed out before, so rounds do not overlap. A symbol
    without volume has five-value bars [t, o, h, l, c].

    With an anchor (a time not before "now") the walk starts at the
    anchor's bar instead and the bars newer than now's are made and thrown
    away, so the bars handed out do not depend on "now": a later "now"
    only adds newer bars. With a split (before, ratio) the bars stamped
    before `before` come as an adjusted chart shows them: prices divided by
    ratio, volume multiplied by it."""

    def __init__(self, seed, symbol, resolution, now, history, price, decimals, skip_weekends, has_volume=True,
                 stamp=None, anchor=None, split=None):
        self.clock = Clock(resolution, skip_weekends)
        self.symbol, self.resolution = symbol, resolution
        self.rng = random.Random("%s|%s|%s" % (seed, symbol, resolution))
        self.live_rng = random.Random("%s|%s|%s|live" % (seed, symbol, resolution))
        self.history = max(0, int(history))
        self.decimals = decimals
        self.volatility = max(0.0004, 0.015 * math.sqrt(self.clock.seconds() / 86400.0))
        self.newest_first = []
        # Bars step through aligned times (for daily bars the trading date's
        # 00:00 UTC); stamp turns one into the time the bar carries.
        self.stamp = stamp or (lambda t: t)
        self.next_time = self.bar_holding(now)
        self.newest_time = self.next_time  # the aligned time of the newest bar
        self.next_close = price
        # The walk starts at the anchor's bar; _skip draws the bars after
        # now's and drops them.
        self.skipping = False
        if anchor is not None:
            if anchor < now:
                raise ValueError("history_anchor is before now")
            start = self.bar_holding(anchor)
            if self.clock.bars_between(self.newest_time, start) > MAX_ANCHOR_BARS:
                raise ValueError("history_anchor is more than %d bars ahead of now" % MAX_ANCHOR_BARS)
            self.next_time, self.skipping = start, start > self.newest_time
        self.split_before, self.split_ratio = split if split else (None, None)
        self.handed_out = 0
        self.has_volume = has_volume
        self.limit = 0  # at most this many bars handed out in all (0: no limit)
        self.pinned = None  # a price set over the control port: the newest bar closes there
        self.replayed = False  # created by a replayed answer: no live pushes

    def bar_holding(self, t):
        """The aligned time of the bar that holds t: for daily bars the
        newest whose session has opened by t."""
        aligned = self.clock.align(t)
        if self.stamp(aligned) > t:  # that day's session has not opened yet
            aligned = self.clock.back(aligned)
        return aligned

    def _skip(self, most):
        """Draws and drops at most `most` bars newer than now's, exactly as
        _make would draw them; False once the walk has reached now's bar."""
        gauss, lognormvariate = self.rng.gauss, self.rng.lognormvariate
        volatility = self.volatility
        back, newest = self.clock.back, self.newest_time
        close, t = self.next_close, self.next_time
        for _ in range(most):
            if t <= newest:
                self.skipping = False
                break
            open_ = close / (1.0 + gauss(0.0, volatility))
            gauss(0.0, volatility / 2)  # high
            gauss(0.0, volatility / 2)  # low
            lognormvariate(11.0, 0.6)  # volume
            close = open_ * (1.0 + gauss(0.0, volatility / 10))
            t = back(t)
        else:
            self.skipping = t > newest
        self.next_close, self.next_time = close, t
        return self.skipping

    def _make(self, count):
        # A caller that must not hold the loop up skips first (take_bars).
        for _ in range(MAX_ANCHOR_BARS // MAKE_STEP + 2):
            if not (self.skipping and self._skip(MAKE_STEP)):
                break
        # Names bound once: a long history (10000 daily bars) is made in one go.
        gauss, lognormvariate = self.rng.gauss, self.rng.lognormvariate
        volatility = self.volatility
        bar, stamp, back, made = self._bar, self.stamp, self.clock.back, self.newest_first
        close, t = self.next_close, self.next_time
        first_new = len(made)
        for _ in range(min(count, self.history) - len(made)):
            open_ = close / (1.0 + gauss(0.0, volatility))
            high = max(open_, close) * (1.0 + abs(gauss(0.0, volatility / 2)))
            low = min(open_, close) * (1.0 - abs(gauss(0.0, volatility / 2)))
            volume = float(int(lognormvariate(11.0, 0.6)))  # drawn always: same prices either way
            made.append(bar(stamp(t), open_, high, low, close, volume))
            # The older bar closes near where this one opened.
            close = open_ * (1.0 + gauss(0.0, volatility / 10))
            t = back(t)
        self.next_close, self.next_time = close, t
        if self.split_before is not None:
            for index in range(first_new, len(made)):
                if made[index][0] < self.split_before:
                    self.adjust(made[index])

    def adjust(self, bar):
        """A bar from before the split as the adjusted chart shows it: each
        price divided by the ratio and rounded as bars are (never below the
        smallest step), the volume multiplied by it."""
        r, ratio = self.decimals, self.split_ratio
        least = 10.0 ** -r
        for i in range(1, 5):
            bar[i] = max(round(bar[i] / ratio, r), least)
        if len(bar) > 5:
            bar[5] = bar[5] * ratio

    def _bar(self, t, o, h, l, c, v):
        r = self.decimals
        o, c = round(o, r), round(c, r)
        h = max(round(h, r), o, c)
        l = min(round(l, r), o, c)
        if l <= 0:
            l = 10.0 ** -r
        return [float(t), o, h, l, c, v] if self.has_volume else [float(t), o, h, l, c]

    def take_older(self, count):
        """Up to count bars older than every bar handed out so far, oldest
        first, never beyond the limit."""
        count = max(0, int(count))
        if self.limit:
            count = min(count, max(0, self.limit - self.handed_out))
        self._make(self.handed_out + count)
        chunk = self.newest_first[self.handed_out:self.handed_out + count]
        self.handed_out += len(chunk)
        return chunk[::-1]

    def why_stopped(self):
        """"end" once the history is used up, "limit" once the limit is
        reached, None while more bars could come."""
        if self.handed_out >= self.history:
            return "end"
        if self.limit and self.handed_out >= self.limit:
            return "limit"
        return None

    def timeframe(self):
        """(first, last, period): the indexes (0 = the oldest bar handed out)
        of the bars of the visible span, the newest session for intraday
        series and twelve months for longer ones."""
        last = self.handed_out - 1
        span, period = (86400, "LASTSESSION") if self.clock.unit == "m" else (366 * 86400, "12M")
        newest = self.newest_first[0][0] if self.newest_first else 0
        inside = 0
        for bar in self.newest_first[:min(self.handed_out, 1500)]:
            if bar[0] <= newest - span:
                break
            inside += 1
        return max(0, last - inside + 1), last, period

    def newest(self):
        self._make(1)
        return self.newest_first[0] if self.newest_first else None

    def live_update(self):
        """The newest bar moved by one trade: close, high, low and volume."""
        bar = self.newest()
        if bar is None:
            return None
        close = round(bar[4] * (1.0 + self.live_rng.gauss(0.0, self.volatility / 5)), self.decimals)
        if self.pinned is not None:
            close = self.pinned
        bar[4] = close
        bar[2] = max(bar[2], close)
        bar[3] = min(bar[3], close)
        if len(bar) > 5:
            bar[5] = float(int(bar[5]) + self.live_rng.randint(1, 5000))
        return bar

    def new_bar(self):
        """A new newest bar at the next bar time, opening at the last close.
        It counts as handed out (a du carries it) and adds one bar to the
        history, so older rounds and their "end" stay as they were."""
        bar = self.newest()
        if bar is None:
            return None
        t = self.clock.forward(self.newest_time)
        for _ in range(3):  # Saturday and Sunday at most
            if not (self.clock.skip_weekends and self.clock.weekend(t)):
                break
            t = self.clock.forward(t)
        close = bar[4]
        volume = float(self.live_rng.randint(1, 5000))
        new = self._bar(self.stamp(t), close, close, close, close, volume)
        if self.pinned is not None:  # exactly the set price, not rounded to the symbol's decimals
            new[1:5] = [self.pinned] * 4
        self.newest_first.insert(0, new)
        self.newest_time = t
        self.history += 1
        self.handed_out += 1
        return new

    def pin(self, price):
        """Moves the newest bar's close to price (high and low widened as
        needed) and keeps it there: later live updates move only the volume,
        new bars open and stay at price. Returns the newest bar, or None for
        a series without bars."""
        self.pinned = price
        bar = self.newest()
        if bar is None:
            return None
        bar[4] = price
        bar[2] = max(bar[2], price)
        bar[3] = min(bar[3], price)
        return bar

    def bar_close_time(self):
        bar = self.newest()
        return int(self.clock.forward(int(bar[0]))) if bar else 0


def bars_text(bars, first_index):
    # Bar values are floats, written as repr writes them (1710460800.0);
    # an int would be written as its digits.
    return ",".join(['{"i":%d,"v":[%s]}' % (first_index + i, ",".join(map(repr, bar)))
                     for i, bar in enumerate(bars)])


# ---------------------------------------------------------------------------
# Recording.

class Recorder:
    def __init__(self):
        self.generation = 0
        self.events = []
        self.changed = asyncio.Event()
        self.overflowed = False

    def clear(self):
        self.events = []
        self.overflowed = False
        self.changed.set()

    def add(self, kind, **fields):
        if len(self.events) >= MAX_EVENTS:
            if not self.overflowed:
                self.overflowed = True
                self.events.append({"seq": len(self.events), "t": round(time.time(), 3), "kind": "overflow"})
            return
        event = {"seq": len(self.events), "t": round(time.time(), 3), "kind": kind}
        for name, value in fields.items():
            if isinstance(value, (bytes, bytearray)):
                if len(value) > MAX_RECORDED_TEXT:
                    event[name + "_length"] = len(value)
                    event[name + "_truncated"] = True
                    value = value[:MAX_RECORDED_TEXT]
                value = latin1(value)
            event[name] = value
        self.events.append(event)
        self.changed.set()

    def bound(self, generation):
        """A recorder for one connection: its events are kept only while the
        scenario it started under is still the current one."""
        recorder = self

        class Bound:
            def add(self, kind, **fields):
                if recorder.generation == generation:
                    recorder.add(kind, **fields)
        return Bound()

    def count(self, kind):
        return sum(1 for e in self.events if e["kind"] == kind)

    async def wait_for(self, kind, count, timeout):
        deadline = time.monotonic() + timeout
        while self.count(kind) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            self.changed.clear()
            try:
                await asyncio.wait_for(self.changed.wait(), remaining)
            except asyncio.TimeoutError:
                return False
        return True


# ---------------------------------------------------------------------------
# Scenario checking: a typing mistake in a test's scenario fails loudly.

TOP_KEYS = {"http", "search", "search_ignores_type", "search_shape", "search_origin", "search_any", "signin", "symbols",
            "ws"}
ROUTE_KEYS = {"method", "path", "text", "times", "status", "body", "body_size", "raw", "delay_ms", "stall", "drop",
              "headers"}
SIGNIN_KEYS = {"username", "password", "token", "status", "reply", "jwt_lifetime_s", "captcha_after", "two_factor",
               "sessionid", "sessionid_sign", "cookie_expired"}
SYMBOL_KEYS = {"type", "price", "history", "description", "local_description", "currency", "decimals", "has_volume"}
WS_KEYS = {"refuse_upgrade", "stall_upgrade", "drop_upgrade", "script", "seed", "now", "history",
           "max_per_request", "bar_limit", "daily_stamps", "skip_weekends", "any_symbol", "unknown_symbols",
           "denied_symbols", "tokens", "hello", "heartbeat", "heartbeat_first", "series_reply", "du_after_series",
           "updates", "stream", "quote", "pack_frames", "split_frames", "fragment", "strict", "close_after_answers",
           "max_open_connections", "min_connection_gap_ms", "retry_after_s", "max_sessions", "reply_delay_ms",
           "max_series", "replay", "fault", "faults", "history_anchor", "splits", "frozen_after_token",
           "protocol_error_on_token", "close_after_s", "ignore_close"}
HEARTBEAT_KEYS = {"with_first_answer", "interval_ms", "require_echo_ms", "first_number"}
UPDATE_KEYS = {"interval_ms", "count"}
STREAM_KEYS = {"quote_ms", "bar_ms", "new_bar_every"}
MIN_STREAM_MS = 5  # a faster stream would only measure the double's own speed
QUOTE_KEYS = {"fields", "first_without_lp", "partial_without_lp", "echo_subscribed_text"}
REPLAY_KEYS = {"on", "text", "then", "rename", "connection", "connections"}
REPLAY_THEN = ("go_on", "close", "stall", "drop")
FAULT_KEYS = {"kind", "after_messages", "on", "after_ms", "connection", "connections", "code", "status", "size",
              "text", "bytes", "split_at", "replace_answer", "payloads", "fragment"}
FAULT_KINDS = {"refuse", "stall_upgrade", "drop_upgrade", "stall", "drop", "close", "garbage", "huge_length",
               "huge_message", "pack", "split", "symbol_error", "series_error", "critical_error", "protocol_error",
               "send", "freeze"}
UPGRADE_FAULTS = {"refuse", "stall_upgrade", "drop_upgrade"}
STEP_KEYS = {"send", "fragment", "gap_ms", "send_size", "send_raw", "send_frames", "hello", "heartbeat", "ping", "expect",
             "timeout", "close", "drop", "stall", "sleep_ms", "echo", "rename"}


def check_scenario(s):
    def keys(obj, allowed, where):
        if not isinstance(obj, dict):
            raise ValueError("%s must be an object" % where)
        unknown = sorted(set(obj) - allowed)
        if unknown:
            raise ValueError("unknown key(s) in %s: %s" % (where, ", ".join(unknown)))

    def texts(value, where):
        if not isinstance(value, list) or not all(isinstance(x, str) for x in value):
            raise ValueError("%s must be a list of texts" % where)

    def count(value, where):
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise ValueError("%s must be a whole number, 0 or more" % where)

    def connections(obj, where):
        if "connection" in obj:
            count(obj["connection"], where + ".connection")
        if "connections" in obj:
            if not isinstance(obj["connections"], list):
                raise ValueError("%s.connections must be a list of numbers" % where)
            for n in obj["connections"]:
                count(n, where + ".connections")

    keys(s, TOP_KEYS, "the scenario")
    for i, route in enumerate(s.get("http", [])):
        keys(route, ROUTE_KEYS, "http[%d]" % i)
    if "signin" in s:
        keys(s["signin"], SIGNIN_KEYS, "signin")
        for name in ("jwt_lifetime_s", "captcha_after"):
            if name in s["signin"]:
                count(s["signin"][name], "signin." + name)
        if not isinstance(s["signin"].get("two_factor", False), bool):
            raise ValueError("signin.two_factor must be true or false")
    if not isinstance(s.get("search_any", False), bool):
        raise ValueError("search_any must be true or false")
    for name, entry in s.get("symbols", {}).items():
        keys(entry, SYMBOL_KEYS, "symbols[%s]" % name)
    for text, answer in s.get("search", {}).items():
        if isinstance(answer, dict):
            keys(answer, {"status", "body"}, "search[%s]" % text)
        elif not isinstance(answer, list):
            raise ValueError("search[%s] must be a list of matches or {status, body}" % text)
    if s.get("search_shape", "auto") not in ("auto", "array", "v3"):
        raise ValueError("search_shape must be auto, array or v3")
    if not isinstance(s.get("search_origin", True), (bool, str)):
        raise ValueError("search_origin must be true, false or an origin text")
    ws = s.get("ws", {})
    keys(ws, WS_KEYS, "ws")
    for name, allowed in (("heartbeat", HEARTBEAT_KEYS), ("updates", UPDATE_KEYS), ("stream", STREAM_KEYS),
                          ("quote", QUOTE_KEYS)):
        if name in ws:
            keys(ws[name], allowed, "ws." + name)
    if "first_number" in ws.get("heartbeat", {}):
        count(ws["heartbeat"]["first_number"], "ws.heartbeat.first_number")
    for name in ("bar_limit", "max_open_connections", "min_connection_gap_ms", "retry_after_s", "max_sessions",
                 "reply_delay_ms", "max_series"):
        if name in ws:
            count(ws[name], "ws." + name)
    for name in STREAM_KEYS:
        if name in ws.get("stream", {}):
            count(ws["stream"][name], "ws.stream." + name)
    for name in ("quote_ms", "bar_ms"):
        if 0 < ws.get("stream", {}).get(name, 0) < MIN_STREAM_MS:
            raise ValueError("ws.stream.%s must be 0 (off) or at least %d" % (name, MIN_STREAM_MS))
    for name in ("unknown_symbols", "denied_symbols", "tokens"):
        if name in ws:
            texts(ws[name], "ws." + name)
    for where, obj, name in (("ws.", ws, "frozen_after_token"),
                             ("ws.quote.", ws.get("quote", {}), "echo_subscribed_text")):
        if not isinstance(obj.get(name, False), bool):
            raise ValueError("%s%s must be true or false" % (where, name))
    if "protocol_error_on_token" in ws and not (isinstance(ws["protocol_error_on_token"], str) and
                                                ws["protocol_error_on_token"]):
        raise ValueError("ws.protocol_error_on_token must be a text (the error the token gets)")
    close_after = ws.get("close_after_s", 0)
    if not isinstance(close_after, (int, float)) or isinstance(close_after, bool) or not math.isfinite(close_after) \
            or close_after < 0:
        raise ValueError("ws.close_after_s must be a number of seconds, 0 or more")
    if ws.get("daily_stamps", "session") not in ("session", "midnight"):
        raise ValueError("ws.daily_stamps must be session or midnight")
    if ws.get("series_reply", "timescale") not in ("timescale", "du", "timescale+du"):
        raise ValueError("ws.series_reply must be timescale, du or timescale+du")
    replay = ws.get("replay", [])
    if not isinstance(replay, list):
        raise ValueError("ws.replay must be a list")
    for i, entry in enumerate(replay):
        where = "ws.replay[%d]" % i
        keys(entry, REPLAY_KEYS, where)
        if not isinstance(entry.get("on"), str) or not isinstance(entry.get("text"), str):
            raise ValueError("%s needs \"on\" (a message name) and \"text\"" % where)
        if entry.get("then", "go_on") not in REPLAY_THEN:
            raise ValueError("%s.then must be one of %s" % (where, ", ".join(REPLAY_THEN)))
        if not isinstance(entry.get("rename", False), bool):
            raise ValueError("%s.rename must be true or false" % where)
        connections(entry, where)
    faults = list(ws.get("faults", [])) + ([ws["fault"]] if "fault" in ws else [])
    for i, fault in enumerate(faults):
        keys(fault, FAULT_KEYS, "fault %d" % i)
        if fault.get("kind") not in FAULT_KINDS:
            raise ValueError("fault %d: kind must be one of %s" % (i, ", ".join(sorted(FAULT_KINDS))))
        triggers = [name for name in ("after_messages", "on", "after_ms") if name in fault]
        if len(triggers) > 1:
            raise ValueError("fault %d: one trigger only, not %s" % (i, " and ".join(triggers)))
        for name in ("after_messages", "after_ms"):
            if name in fault:
                count(fault[name], "fault %d: %s" % (i, name))
        if "after_ms" in fault and fault["kind"] in UPGRADE_FAULTS:
            raise ValueError("fault %d: %s happens at the upgrade and takes no after_ms" % (i, fault["kind"]))
        connections(fault, "fault %d" % i)
    script = ws.get("script", [])
    if not isinstance(script, list) or len(script) > MAX_SCRIPT_STEPS:
        raise ValueError("ws.script must be a list of at most %d steps" % MAX_SCRIPT_STEPS)
    for i, step in enumerate(script):
        keys(step, STEP_KEYS, "ws.script[%d]" % i)
        if "rename" in step:
            if not isinstance(step["rename"], bool):
                raise ValueError("ws.script[%d].rename must be true or false" % i)
            if not (isinstance(step.get("send"), str) or ("send" not in step and "send_frames" in step)):
                raise ValueError("ws.script[%d]: rename goes with a \"send\" text or \"send_frames\"" % i)
            if "send_frames" in step and "send" not in step:
                texts(step["send_frames"], "ws.script[%d].send_frames" % i)
    if "history_anchor" in ws:
        anchor = ws["history_anchor"]
        if not isinstance(anchor, (int, float)) or isinstance(anchor, bool) or not math.isfinite(anchor):
            raise ValueError("ws.history_anchor must be a time (Unix seconds)")
        now = ws.get("now", time.time())
        if isinstance(now, (int, float)) and anchor < now:
            raise ValueError("ws.history_anchor must not be before now (%s)" % now)
    splits = ws.get("splits", {})
    if not isinstance(splits, dict):
        raise ValueError("ws.splits must be an object")
    for name, split in splits.items():
        where = "ws.splits[%s]" % name
        keys(split, {"before", "ratio"}, where)
        for part in ("before", "ratio"):
            value = split.get(part)
            if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
                raise ValueError("%s needs \"%s\", a number" % (where, part))
        if split["ratio"] <= 0:
            raise ValueError("%s.ratio must be more than 0" % where)


def wanted_on(item, number):
    """Whether a fault or replay entry applies to the n-th connection."""
    wanted = item.get("connections", [item["connection"]] if "connection" in item else None)
    return wanted is None or number in wanted


# ---------------------------------------------------------------------------
# The double.

class Double:
    def __init__(self, args):
        self.args = args
        self.recorder = Recorder()
        self.last_activity = time.monotonic()
        self.open_connections = set()
        self.generation = 0
        self.jwt_issued = 0  # the "jti" of the last JWT issued, counting on across scenarios
        self.set_scenario({})

    def set_scenario(self, scenario):
        check_scenario(scenario)
        self.scenario = scenario
        self.generation += 1
        self.ws_connections = 0
        self.ws_open = set()  # numbers of this scenario's WebSocket connections still open
        self.last_upgrade = None  # time.monotonic() of this scenario's previous upgrade request
        self.issued_tokens = {}  # JWT issued by the sign-in -> its "exp" (Unix seconds)
        # Counts for benchmarks (GET /stats); each connection keeps a
        # reference to this scenario's table, as it does for pushes.
        self.stats = {"ws_upgrades": 0, "ws_refused_429": 0, "ws_opened": 0, "max_open_at_once": 0,
                      "bytes_sent": 0, "sessions_opened": 0, "signins": 0, "searches": 0, "chart_pages": 0}
        self.route_uses = {}
        self.quote_counters = {}
        self.pinned = {}  # data-side symbol -> the price POST /price set, held until the next scenario
        self.conversations = {}  # number -> this scenario's live service conversations
        # Live pushes per WebSocket connection of this scenario, counted
        # rather than recorded one by one (GET /pushes, ws_end).
        self.pushes = {}
        self.symbols = build_symbols()
        for name, entry in scenario.get("symbols", {}).items():
            self.symbols[name] = dict(self.symbols.get(name, {"type": "stock", "description": name, "price": 100.0,
                                                               "currency": "USD"}), **entry)
        # Connections of an earlier scenario belong to an earlier test.
        for writer in list(self.open_connections):
            writer.transport.abort()
        self.recorder.generation = self.generation
        self.recorder.clear()

    # ---- symbols -------------------------------------------------------

    def lookup(self, symbol):
        """The data-side attributes of a symbol, or None when unknown."""
        ws = self.scenario.get("ws", {})
        if symbol in ws.get("unknown_symbols", []):
            return None
        if symbol in self.symbols:
            return self.symbols[symbol]
        if ":" not in symbol:  # a bare symbol means its first listing
            for name, entry in self.symbols.items():
                if name.split(":", 1)[1] == symbol:
                    return entry
        if ws.get("any_symbol"):
            return {"type": "stock", "description": symbol, "price": 100.0, "currency": "USD"}
        if self.scenario.get("search_any"):
            exchange, _, ticker = symbol.rpartition(":")
            if exchange in ("", "NASDAQ") and made_up_ticker(ticker):
                return {"type": "stock", "description": ticker + " Inc", "price": 100.0, "currency": "USD"}
        return None

    def denied(self, symbol):
        """Whether the scenario refuses this symbol's data (permission denied)."""
        denied = self.scenario.get("ws", {}).get("denied_symbols", [])
        return symbol in denied or (":" not in symbol and any(d.split(":")[-1] == symbol for d in denied))

    @staticmethod
    def has_volume(entry):
        """Indices have no volume unless the scenario says otherwise."""
        return bool(entry.get("has_volume", entry.get("type") != "index"))

    @staticmethod
    def decimals(entry):
        if "decimals" in entry:
            return int(entry["decimals"])
        return 5 if entry.get("type") == "forex" else 2

    def split_of(self, symbol):
        """The scenario's split of a data-side symbol (ws.splits), or None; a
        bare symbol has the split of the listing it means."""
        splits = self.scenario.get("ws", {}).get("splits", {})
        if symbol in splits or ":" in symbol:
            return splits.get(symbol)
        entry = self.lookup(symbol)
        for name, split in splits.items():
            if name.rpartition(":")[2] == symbol and self.symbols.get(name) is entry:
                return split
        return None

    def make_series(self, symbol, resolution):
        """A BarSeries of a known symbol; ValueError when ws.history_anchor
        cannot be served for this resolution (see BarSeries)."""
        entry = self.lookup(symbol)
        ws = self.scenario.get("ws", {})
        history = int(entry.get("history", ws.get("history", 30000)))
        stamp = None
        if parse_resolution(resolution)[0] == "D" and ws.get("daily_stamps", "session") == "session":
            session, timezone = session_of(symbol, entry)
            stamp = lambda day: session_open(day, session, timezone)  # noqa: E731
        skip = ws.get("skip_weekends")
        if skip is None:
            # Exchanges have no daily bars for Saturdays and Sundays; crypto
            # (a 24x7 session) has one for every day.
            skip = parse_resolution(resolution)[0] == "D" and session_of(symbol, entry)[0] != "24x7"
        pinned = self.pinned.get(symbol)
        split = self.split_of(symbol)
        anchor = ws.get("history_anchor")
        series = BarSeries(ws.get("seed", 1), symbol, resolution, ws.get("now", time.time()), history,
                           float(entry.get("price", 100.0) if pinned is None else pinned), self.decimals(entry),
                           bool(skip), self.has_volume(entry), stamp, None if anchor is None else float(anchor),
                           split and (float(split["before"]), float(split["ratio"])))
        if pinned is not None:
            series.pin(pinned)
        return series

    # ---- symbol search ----------------------------------------------------

    def search_reply(self, query):
        params = parse_query(query, plus_is_space=True)
        raw_text = params.get("text", "").strip()
        text = raw_text.upper()
        kind = params.get("type", "").strip().lower()
        shape = self.scenario.get("search_shape", "auto")
        canned = {k.upper(): v for k, v in self.scenario.get("search", {}).items()}
        if text in canned:
            answer = canned[text]
            if isinstance(answer, list):
                return 200, dumps({"symbols_remaining": 0, "symbols": answer} if shape == "v3" else answer)
            return int(answer.get("status", 200)), answer.get("body", "")
        ignore_type = self.scenario.get("search_ignores_type", False)
        exact, prefix = [], []
        for listing in LISTINGS:
            symbol, _, listing_type, _, _, _, _, specs, extra = listing
            contracts = [c for c, _ in extra.get("contracts", [])]
            if not ignore_type and kind not in ("", "undefined", "all"):
                wanted = listing_type in SEARCH_TYPE_MATCHES.get(kind, {kind}) or \
                    (kind == "etf" and listing_type == "fund" and "etf" in specs)
                if not wanted:
                    continue
            if not text:
                continue
            if text == symbol or text in contracts:
                exact.append(listing)
            elif symbol.startswith(text):
                prefix.append(listing)
        found = (exact + prefix)[:50]
        if not found and self.scenario.get("search_any") and made_up_ticker(text) and \
                (ignore_type or kind in ("", "undefined", "all", "stock")):
            found = [made_up_listing(text)]
        if shape == "auto":
            if not found:
                return 200, "[]"
            shape = "v3" if found[0][2] in V3_SEARCH_TYPES else "array"
        if shape == "array":
            return 200, dumps([self.search_item(listing) for listing in found])
        return 200, dumps({"symbols_remaining": 0,
                           "symbols": [self.search_item(listing, text) for listing in found]})

    @staticmethod
    def search_item(listing, highlight=None):
        """One search result; with highlight, the part of "symbol" that the
        text matched comes in <em> tags, as the v3 answers have it."""
        symbol, exchange, kind, description, currency, country, _, specs, extra = listing
        source = listing_id_exchange(listing)
        shown = symbol
        if highlight:
            common = len(os.path.commonprefix([symbol.upper(), highlight]))
            if common:
                shown = "<em>" + symbol[:common] + "</em>" + symbol[common:]
        item = {"symbol": shown, "description": description, "type": kind, "exchange": exchange}
        if "local_description" in extra:
            item["local_description"] = extra["local_description"]
        item.update({"currency_code": currency, "provider_id": "ice",
                     "source2": {"id": source, "name": SOURCE_NAMES.get(source, exchange),
                                 "description": SOURCE_NAMES.get(source, exchange)},
                     "source_id": source})
        if "prefix" in extra:
            item["prefix"] = extra["prefix"]
        if country:
            item["country"] = country
        if "is_primary_listing" in extra:
            item["is_primary_listing"] = extra["is_primary_listing"]
        if "contracts" in extra:
            item["contracts"] = [{"symbol": c, "description": d} for c, d in extra["contracts"]]
        item["typespecs"] = specs
        return item

    def search_origin_refused(self, headers):
        """The search front end answers 403 unless Origin and Referer name the
        service's web site: with search_origin a text, exactly that origin;
        by default any https origin, the Referer being a page under it."""
        wanted = self.scenario.get("search_origin", True)
        if wanted is False:
            return False
        names = {n.lower(): v for n, v in reversed(headers)}
        origin, referer = names.get("origin", ""), names.get("referer", "")
        if isinstance(wanted, str):
            return origin != wanted.rstrip("/") or not referer.startswith(wanted.rstrip("/") + "/")
        return not origin.startswith("https://") or not referer.startswith(origin.rstrip("/") + "/")

    def accepted_tokens(self):
        ws = self.scenario.get("ws", {})
        return {ANONYMOUS_TOKEN, self.scenario.get("signin", {}).get("token", DEFAULT_TOKEN)} | \
            set(ws.get("tokens", []))

    def token_accepted(self, token):
        """Whether set_auth_token with this token is accepted: the fixed
        tokens, or a JWT this scenario's sign-in issued whose exp has not
        passed yet."""
        if not isinstance(token, str):
            return False
        if token in self.accepted_tokens():
            return True
        exp = self.issued_tokens.get(token)
        return exp is not None and time.time() < exp

    def issue_jwt(self, lifetime):
        """A fresh JWT as the service issues them: header, payload with
        user_id, exp, iat and jti, and an HMAC-SHA256 signature, each
        base64url without padding. Remembered with its exp."""
        def b64(data):
            return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")
        now = int(time.time())
        self.jwt_issued += 1
        claims = {"user_id": 1234567, "exp": now + lifetime, "iat": now, "jti": self.jwt_issued}
        signed = b64(JWT_HEADER) + "." + b64(dumps(claims).encode())
        token = signed + "." + b64(hmac.new(JWT_KEY, signed.encode(), hashlib.sha256).digest())
        self.issued_tokens[token] = claims["exp"]
        return token

    def signin_reply(self, form, number):
        """(status, body) of the number-th sign-in request of the scenario."""
        account = self.scenario.get("signin", {})
        if "captcha_after" in account and number > int(account["captcha_after"]):
            return 200, CAPTCHA_REPLY
        if "reply" in account:
            return int(account.get("status", 200)), account["reply"]
        fields = parse_query(form, plus_is_space=True)
        if "username" in account and fields.get("username") == account["username"] and \
                fields.get("password") == account.get("password"):
            if account.get("two_factor"):
                return 200, TWO_FACTOR_REPLY
            token = self.account_token(account)
            return 200, dumps({"error": "", "user": {"id": 1234567, "username": account["username"],
                                                     "auth_token": token, "is_pro": False, "is_broker": False}})
        return int(account.get("status", 200)), '{"error":"Invalid username or password","code":"invalid_credentials"}'

    def account_token(self, account):
        if "jwt_lifetime_s" in account:
            return self.issue_jwt(int(account["jwt_lifetime_s"]))
        return account.get("token", DEFAULT_TOKEN)

    def chart_page(self, headers):
        """The web host's chart page for the browser's session cookie: the
        signed-in user's page, carrying "auth_token", for the scenario's
        sessionid (and sessionid_sign, when it names one) unless the cookie
        has expired; else the page an anonymous visitor gets, with a sign-in
        link and no token."""
        account = self.scenario.get("signin", {})
        cookies = {}
        for name, value in headers:
            if name.lower() == "cookie":
                for part in value.split(";"):
                    key, _, val = part.strip().partition("=")
                    cookies[key] = val
        known = "sessionid" in account and cookies.get("sessionid") == account["sessionid"] and \
            ("sessionid_sign" not in account or cookies.get("sessionid_sign") == account["sessionid_sign"]) and \
            not account.get("cookie_expired")
        if known:
            user = {"id": 1234567, "username": account.get("username", "trader"), "is_pro": True,
                    "auth_token": self.account_token(account), "is_authenticated": True}
        else:
            user = {"is_authenticated": False, "auth_token": None}
        return ('<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>Chart</title></head><body>'
                '<script>window.initData = {"theme":"light"};</script>'
                '<script>window.user = %s;</script>%s</body></html>'
                % (dumps(user), "" if known else '<a href="/accounts/signin/">Sign in</a>'))

    # ---- HTTP plumbing ------------------------------------------------

    @staticmethod
    async def read_request(reader):
        head = await reader.readuntil(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        request_line = lines[0]
        method, target = (request_line.split(" ") + ["", ""])[:2]
        headers = []
        for line in lines[1:]:
            if ":" in line:
                name, value = line.split(":", 1)
                headers.append([name.strip(), value.strip()])
        names = {n.lower(): v for n, v in reversed(headers)}
        body = b""
        if names.get("transfer-encoding", "").lower() == "chunked":
            while len(body) <= MAX_BODY:
                size = int((await reader.readuntil(b"\r\n")).split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    await reader.readuntil(b"\r\n")
                    break
                body += await reader.readexactly(size)
                await reader.readexactly(2)
        elif names.get("content-length"):
            body = await reader.readexactly(min(int(names["content-length"]), MAX_BODY))
        return request_line, method, target, head, headers, body

    @staticmethod
    async def respond(writer, status, body, content_type="application/json; charset=utf-8", extra=None):
        data = body.encode("utf-8") if isinstance(body, str) else body
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = "Status"
        lines = ["HTTP/1.1 %d %s" % (status, reason), "Content-Type: " + content_type,
                 "Content-Length: %d" % len(data), "Connection: close"]
        lines += ["%s: %s" % (n, v) for n, v in (extra or {}).items()]
        writer.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + data)
        await writer.drain()

    @staticmethod
    async def wait_until_client_goes(reader, limit):
        try:
            await asyncio.wait_for(reader.read(), limit)
        except (asyncio.TimeoutError, ConnectionError, ssl.SSLError, OSError):
            pass

    # ---- the service ports ----------------------------------------------

    async def accept_tls(self, transport, port_kind, context):
        """TLS on a fresh connection, then the service. The transport's
        reading was paused at once, so the client's first bytes reach the
        TLS layer rather than a plain reader."""
        loop = asyncio.get_running_loop()
        self.last_activity = time.monotonic()
        rec = self.recorder.bound(self.generation)
        reader = asyncio.StreamReader(limit=MAX_HEAD, loop=loop)
        protocol = asyncio.StreamReaderProtocol(reader, loop=loop)
        try:
            tls = await loop.start_tls(transport, protocol, context, server_side=True, ssl_handshake_timeout=30)
        except (asyncio.TimeoutError, ConnectionError, ssl.SSLError, OSError) as error:
            rec.add("tls_error", port=port_kind, error=str(error)[:300])
            transport.abort()
            return
        protocol.connection_made(tls)
        writer = asyncio.StreamWriter(tls, protocol, reader, loop)
        await self.serve_service(reader, writer, port_kind, rec)

    async def serve_service(self, reader, writer, port_kind, rec):
        self.open_connections.add(writer)
        try:
            try:
                request_line, method, target, head, headers, body = \
                    await asyncio.wait_for(self.read_request(reader), 30)
            except (asyncio.TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError,
                    ConnectionError, ssl.SSLError, OSError):
                return
            path, _, query = target.partition("?")
            upgrade = any(n.lower() == "upgrade" and v.lower() == "websocket" for n, v in headers)
            event = dict(port=port_kind, request_line=request_line, method=method, target=target, path=path,
                         query=query, raw_head=head, headers=headers, body=body, upgrade=upgrade)
            if path == "/socket.io/websocket" and upgrade and method == "GET":
                await self.serve_websocket(reader, writer, headers, event, port_kind, rec)
            else:
                await self.serve_http(reader, writer, method, path, query, body, event, rec, headers)
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
            pass
        finally:
            self.open_connections.discard(writer)
            self.last_activity = time.monotonic()
            try:
                writer.close()
            except Exception:
                pass

    def route(self, method, path, query):
        text = parse_query(query, plus_is_space=True).get("text", "").strip().upper()
        for index, r in enumerate(self.scenario.get("http", [])):
            if r.get("path", "*") not in ("*", path) or r.get("method", method) != method:
                continue
            if "text" in r and str(r["text"]).upper() != text:
                continue
            if "times" in r:
                if self.route_uses.get(index, 0) >= int(r["times"]):
                    continue
                self.route_uses[index] = self.route_uses.get(index, 0) + 1
            return r
        return None

    async def serve_http(self, reader, writer, method, path, query, body, event, rec, headers):
        signin = method == "POST" and path == "/accounts/signin/"
        search = method == "GET" and path == "/symbol_search"
        if signin:
            self.stats["signins"] += 1
        if search:
            self.stats["searches"] += 1
        signin_number = self.stats["signins"]
        # The network's latency (ws.reply_delay_ms) before the answers of the
        # search and the sign-in; a route's own delay_ms comes on top.
        latency = int(self.scenario.get("ws", {}).get("reply_delay_ms", 0)) / 1000.0 if signin or search else 0.0
        latency = min(latency, self.args.lifetime)
        r = self.route(method, path, query) or {}
        if r.get("stall"):
            rec.add("http", reply="stall", **event)
            await self.wait_until_client_goes(reader, self.args.lifetime)
            return
        if r.get("drop"):
            rec.add("http", reply="drop", **event)
            writer.transport.abort()
            return
        if "raw" in r:
            rec.add("http", reply="raw", **event)
            if latency:
                await asyncio.sleep(latency)
            writer.write(base64.b64decode(r["raw"]))
            await writer.drain()
            return
        if "status" in r or "body" in r or "body_size" in r:
            status = int(r.get("status", 200))
            text = r.get("body", "")
            if "body_size" in r:
                text = "".join(chr(ord("a") + i % 26) for i in range(int(r["body_size"])))
        elif method == "GET" and path == "/symbol_search":
            if self.search_origin_refused(headers):
                status, text = 403, '{"error":"forbidden"}'
            else:
                status, text = self.search_reply(query)
        elif signin:
            status, text = self.signin_reply(body.decode("latin-1"), signin_number)
        elif method == "GET" and path in ("/chart/", "/chart"):
            self.stats["chart_pages"] += 1
            rec.add("http", reply=200, **event)
            await self.respond(writer, 200, self.chart_page(headers), content_type="text/html; charset=utf-8")
            return
        else:
            status, text = 404, '{"error":"not found"}'
        rec.add("http", reply=status, **event)
        delay = latency + min(float(r.get("delay_ms", 0)) / 1000.0, self.args.lifetime)
        if delay > 0:
            await asyncio.sleep(delay)
        await self.respond(writer, status, text, extra=r.get("headers"))

    # ---- WebSocket ----------------------------------------------------

    def faults(self, number):
        ws = self.scenario.get("ws", {})
        out = []
        for fault in list(ws.get("faults", [])) + ([ws["fault"]] if "fault" in ws else []):
            if wanted_on(fault, number):
                out.append(dict(fault))
        return out

    async def serve_websocket(self, reader, writer, headers, event, port_kind, rec):
        ws = self.scenario.get("ws", {})
        self.ws_connections += 1
        number = self.ws_connections
        pushes = self.pushes  # this scenario's table, even when a new scenario comes meanwhile
        conversations = self.conversations  # likewise
        stats = self.stats  # likewise
        stats["ws_upgrades"] += 1
        arrived, previous = time.monotonic(), self.last_upgrade
        self.last_upgrade = arrived  # refused or not, every upgrade request counts for the spacing
        faults = self.faults(number)
        upgrade_fault = next((f["kind"] for f in faults if f["kind"] in UPGRADE_FAULTS), None)
        refuse = ws.get("refuse_upgrade")
        if upgrade_fault == "refuse":
            refuse = next(f for f in faults if f["kind"] == "refuse").get("status", 403)
        limit = int(ws.get("max_open_connections", 6))
        if not refuse and limit and len(self.ws_open) >= limit:
            refuse = 429  # too many connections open at once from this address
        gap = int(ws.get("min_connection_gap_ms", 100)) / 1000.0
        if not refuse and gap and previous is not None and arrived - previous < gap:
            refuse = 429  # new connections coming faster than the service takes them
        if refuse:
            refuse = int(refuse)
            rec.add("http", reply=refuse, connection=number, **event)
            extra = None
            if refuse == 429:
                stats["ws_refused_429"] += 1
                if "retry_after_s" in ws:
                    extra = {"Retry-After": str(int(ws["retry_after_s"]))}
            await self.respond(writer, refuse, '{"error":"refused"}', extra=extra)
            return
        if ws.get("stall_upgrade") or upgrade_fault == "stall_upgrade":
            rec.add("http", reply="stall", connection=number, **event)
            await self.wait_until_client_goes(reader, self.args.lifetime)
            return
        if ws.get("drop_upgrade") or upgrade_fault == "drop_upgrade":
            rec.add("http", reply="drop", connection=number, **event)
            writer.transport.abort()
            return
        key = next((v for n, v in headers if n.lower() == "sec-websocket-key"), "")
        accept = base64.b64encode(hashlib.sha1(key.encode("latin-1") + WS_GUID).digest()).decode()
        rec.add("http", reply=101, connection=number, **event)
        stats["ws_opened"] += 1
        # Open from the answer on, before anything is awaited: an upgrade
        # that comes meanwhile counts this one against max_open_connections.
        still_open = self.ws_open  # this scenario's set, even when a new scenario comes meanwhile
        still_open.add(number)
        stats["max_open_at_once"] = max(stats["max_open_at_once"], len(still_open))
        try:
            writer.write(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: %s\r\n\r\n" % accept).encode())
            await writer.drain()
        except BaseException:
            still_open.discard(number)
            raise
        socket = WebSocket(reader, writer, number, int(ws.get("fragment", 0)), rec,
                           None if "script" in ws else stats)
        socket.ignore_close = bool(ws.get("ignore_close"))
        rec.add("ws_open", connection=number, port=port_kind)
        how = "ended"
        try:
            if "script" in ws:
                how = await Script(self, socket, ws["script"]).run()
            else:
                conversation = ServiceConversation(self, socket, ws, faults)
                pushes[number] = conversation.pushes
                conversations[number] = conversation
                how = await conversation.run()
        except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
            how = "connection lost"
        finally:
            still_open.discard(number)
            conversations.pop(number, None)
            rec.add("ws_end", connection=number, how=how, messages=socket.received, bytes_sent=socket.bytes_sent,
                    **socket.end_fields)

    # ---- control port -------------------------------------------------

    async def serve_control(self, reader, writer):
        try:
            _, method, target, _, _, body = await asyncio.wait_for(self.read_request(reader), 30)
            path, _, query = target.partition("?")
            params = parse_query(query)
            if method == "POST" and path == "/scenario":
                try:
                    self.set_scenario(json.loads(body.decode("utf-8") or "{}"))
                except (ValueError, TypeError, AttributeError, KeyError) as error:
                    await self.respond(writer, 400, dumps({"ok": False, "error": str(error)}))
                    return
                await self.respond(writer, 200, '{"ok":true}')
            elif method == "POST" and path == "/reset":
                self.set_scenario({})
                await self.respond(writer, 200, '{"ok":true}')
            elif method == "POST" and path == "/price":
                try:
                    symbol, price = self.price_request(body)
                except ValueError as error:
                    await self.respond(writer, 400, dumps({"ok": False, "error": str(error)}))
                    return
                await self.respond(writer, 200, dumps(await self.set_price(symbol, price)))
            elif method == "GET" and path in ("/recording", "/events"):
                if params.get("wait_kind"):
                    timeout = min(float(params.get("timeout_ms", "5000")), 30000.0) / 1000.0
                    await self.recorder.wait_for(params["wait_kind"], int(params.get("wait_count", "1")), timeout)
                if path == "/recording":
                    await self.respond(writer, 200, json.dumps(self.recorder.events))
                else:
                    await self.respond(writer, 200, self.events_text(params), "text/plain")
            elif method == "GET" and path == "/pushes":
                await self.respond(writer, 200, dumps(self.pushes_list(params)))
            elif method == "GET" and path == "/stats":
                await self.respond(writer, 200, dumps(self.stats))
            elif method == "GET" and path == "/health":
                await self.respond(writer, 200, dumps({"ok": True, "pid": os.getpid(),
                                                       "events": len(self.recorder.events)}))
            else:
                await self.respond(writer, 404, "{}")
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError,
                OSError, ValueError):
            pass
        finally:
            writer.close()

    def price_request(self, body):
        """(symbol, price) of a POST /price body; ValueError says what is wrong."""
        try:
            request = json.loads(body.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            raise ValueError("the body is not JSON") from None
        if not isinstance(request, dict):
            raise ValueError("the body is not a JSON object")
        unknown = sorted(set(request) - {"symbol", "price"})
        if unknown:
            raise ValueError("unknown key %s" % unknown[0])
        symbol, price = request.get("symbol"), request.get("price")
        if not isinstance(symbol, str) or not symbol:
            raise ValueError("symbol must be a non-empty text")
        if isinstance(price, bool) or not isinstance(price, (int, float)) or not math.isfinite(price) or price <= 0:
            raise ValueError("price must be a positive number")
        if self.lookup(symbol) is None:
            raise ValueError("unknown symbol %s" % symbol)
        return symbol, float(price)

    async def set_price(self, symbol, price):
        """Sets a symbol's price and pushes it at once: a partial qsd to every
        quote session that holds the symbol and a du to every series of it, on
        every live service conversation. Each connection writes through its
        own send lock, so a push never cuts into another message; the answer
        waits for the writes, at most PRICE_PUSH_WAIT_S (a client that does
        not read must not hold the control port). "t" is taken once the
        state is updated, just before the first push is handed to its
        connection."""
        self.pinned[symbol] = price
        planned = []
        for conversation in list(self.conversations.values()):
            pushes = conversation.price_pushes(symbol, price)
            if pushes:
                planned.append((conversation, pushes))
        written = {"messages": 0}
        t = time.time()
        tasks = [conversation.add_task(conversation.push_price(pushes, written))
                 for conversation, pushes in planned]
        if tasks:
            await asyncio.wait(tasks, timeout=PRICE_PUSH_WAIT_S)
        return {"ok": True, "pushed": written["messages"], "t": t}

    def pushes_list(self, params):
        """The push counts of this scenario's service conversations, one
        entry per connection in order, or only the one asked for."""
        wanted = params.get("connection")
        return [dict(counts, connection=number) for number, counts in sorted(self.pushes.items())
                if wanted in (None, "", str(number))]

    def events_text(self, params):
        """One line per event of a kind: base64 of one field's bytes."""
        lines = []
        for e in self.recorder.events:
            if e["kind"] != params.get("kind"):
                continue
            value = e.get(params.get("field", ""), "")
            if not isinstance(value, str):
                value = json.dumps(value) if isinstance(value, (list, dict, bool)) or value is None else str(value)
            lines.append(base64.b64encode(value.encode("latin-1", "replace")).decode() + "\n")
        return "".join(lines)


# ---------------------------------------------------------------------------
# RFC 6455 framing, server side.

class WebSocket:
    def __init__(self, reader, writer, number, fragment, recorder, stats=None):
        self.recorder = recorder
        self.stats = stats  # the scenario's counts (service conversations only), or None
        self.bytes_sent = 0  # payload bytes of every frame written
        self.reader = reader
        self.writer = writer
        self.number = number
        self.fragment = fragment
        self.received = 0
        self.arrived = asyncio.Event()
        self.close_sent = False
        self.close_received = False
        self.gone = False
        self.muted = False  # a stalled server: no more text messages, not even heartbeats
        self.ignore_close = False  # a hung server: the client's close is neither answered nor the end
        self.send_lock = asyncio.Lock()
        self.end_fields = {}
        self.kind = "text"

    async def send_frame_locked(self, opcode, data, fin=True):
        head = bytes([(0x80 if fin else 0) | opcode])
        n = len(data)
        if n < 126:
            head += bytes([n])
        elif n < 65536:
            head += bytes([126]) + struct.pack(">H", n)
        else:
            head += bytes([127]) + struct.pack(">Q", n)
        self.writer.write(head + data)
        self.bytes_sent += n
        if self.stats is not None:
            self.stats["bytes_sent"] += n
        await self.writer.drain()

    async def send_message(self, data, fragment=None, opcode=1, gap_ms=0):
        """One text message, as frames of at most fragment bytes (0: one frame),
        gap_ms apart (a message that trickles in). False when nothing more
        may be sent (closing, gone or stalled)."""
        data = data.encode("utf-8") if isinstance(data, str) else bytes(data)
        size = self.fragment if fragment is None else int(fragment)
        async with self.send_lock:
            if self.close_sent or self.gone or self.muted:
                return False
            if size <= 0 or len(data) <= size:
                await self.send_frame_locked(opcode, data)
                return True
            pieces = [data[i:i + size] for i in range(0, len(data), size)]
            for i, piece in enumerate(pieces):
                if i > 0 and gap_ms > 0:
                    await asyncio.sleep(gap_ms / 1000.0)
                    if self.gone:
                        return False
                await self.send_frame_locked(opcode if i == 0 else 0, piece, fin=i == len(pieces) - 1)
            return True

    async def send_control(self, opcode, data=b""):
        async with self.send_lock:
            if not self.close_sent and not self.gone:
                await self.send_frame_locked(opcode, data[:125])

    async def send_raw(self, data):
        async with self.send_lock:
            self.writer.write(data)
            await self.writer.drain()

    async def send_close(self, code=1000, reason=b""):
        """Sends a close frame, once; False when one was sent already or the
        connection is gone. Code None sends a close frame without a status
        code (the peer reads 1005), recorded as 1005."""
        async with self.send_lock:
            if self.close_sent or self.gone:
                return False
            self.close_sent = True
            await self.send_frame_locked(8, b"" if code is None else struct.pack(">H", code) + reason[:123])
        self.recorder.add("ws_close_sent", connection=self.number, code=NO_STATUS_CODE if code is None else code)
        return True

    async def close(self, code=1000, reason=b""):
        """Sends a close frame and waits (bounded) for the client's."""
        if not await self.send_close(code, reason):
            return
        if not self.close_received:
            try:
                await asyncio.wait_for(self.drain_until_close(), CLOSE_WAIT_S)
            except (asyncio.TimeoutError, ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
                pass

    async def drain_until_close(self):
        while await self.receive() is not None:
            pass

    def drop(self):
        self.gone = True
        self.writer.transport.abort()

    @staticmethod
    def unmask(data, mask):
        if not data:
            return b""
        key = int.from_bytes((mask * (len(data) // 4 + 1))[:len(data)], "big")
        return (int.from_bytes(data, "big") ^ key).to_bytes(len(data), "big")

    async def receive(self):
        """The next text or binary message as bytes, or None once the client
        closed or went. Pings are answered, pongs and closes recorded."""
        parts = []
        total = 0
        read = self.reader.readexactly
        while True:
            try:
                head = await read(2)
                n = head[1] & 0x7F
                if n == 126:
                    n = struct.unpack(">H", await read(2))[0]
                elif n == 127:
                    n = struct.unpack(">Q", await read(8))[0]
                masked = bool(head[1] & 0x80)
                mask = await read(4) if masked else b""
                if total + n > MAX_WS_MESSAGE:
                    self.recorder.add("violation", connection=self.number,
                                      what="message larger than %d bytes" % MAX_WS_MESSAGE)
                    self.drop()
                    return None
                data = await read(n)
            except (asyncio.IncompleteReadError, ConnectionError, ssl.SSLError, OSError):
                self.gone = True
                return None
            if masked:
                data = self.unmask(data, mask)
            else:
                self.recorder.add("violation", connection=self.number, what="unmasked client frame")
            opcode = head[0] & 0x0F
            if opcode == 8:
                code = struct.unpack(">H", data[:2])[0] if len(data) >= 2 else 1005
                self.close_received = True
                self.recorder.add("ws_close", connection=self.number, code=code, reason=data[2:])
                if self.ignore_close:
                    continue
                async with self.send_lock:
                    if not self.close_sent and not self.gone:
                        self.close_sent = True
                        await self.send_frame_locked(8, data[:2])
                return None
            if opcode == 9:
                self.recorder.add("ws_ping", connection=self.number, data=data)
                await self.send_control(10, data)
                continue
            if opcode == 10:
                self.recorder.add("ws_pong", connection=self.number, data=data)
                continue
            if opcode not in (0, 1, 2):
                self.recorder.add("violation", connection=self.number, what="unknown opcode %d" % opcode)
                continue
            if opcode != 0 and parts:
                self.recorder.add("violation", connection=self.number, what="new message inside a fragmented one")
            if opcode == 0 and not parts:
                self.recorder.add("violation", connection=self.number, what="continuation without a message")
            if opcode in (1, 2):
                parts = []
                total = 0
                self.kind = "text" if opcode == 1 else "binary"
            parts.append(data)
            total += n
            if head[0] & 0x80:
                message = b"".join(parts)
                self.received += 1
                fields = {"connection": self.number, "text": message, "length": len(message)}
                if self.kind == "binary":
                    fields["binary"] = True
                self.recorder.add("ws_message", **fields)
                self.arrived.set()
                return message

    async def wait_messages(self, total, timeout):
        """Until total client messages arrived, the client went, or timeout."""
        deadline = time.monotonic() + timeout
        while self.received < total and not self.gone and not self.close_received:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return
            self.arrived.clear()
            try:
                await asyncio.wait_for(self.arrived.wait(), min(remaining, 0.25))
            except asyncio.TimeoutError:
                pass


HELLO = ('{"session_id":"<0.%d.%d>_fra-charts-21","timestamp":%d,"timestampMs":%d,'
         '"release":"registry:5000/prod-rp/charts:121","studies_metadata_hash":"5a1f0e","auth_scheme_vsn":2,'
         '"protocol":"json","via":"10.0.0.1:443","javastudies":["3.66"]}')


def hello_payload(number):
    now = time.time()
    return HELLO % (number, os.getpid() % 10000, int(now), int(now * 1000))


class Script:
    """A scripted transport conversation: steps run in order."""

    def __init__(self, double, socket, steps):
        self.double = double
        self.socket = socket
        self.steps = steps
        self.echo = False
        # The sessions the client created last, for steps that rename; only
        # followed when a step needs them.
        self.follow_sessions = any(step.get("rename") for step in steps)
        self.newest_chart = self.newest_quote = None

    def note_sessions(self, message):
        """Follows chart_create_session and quote_create_session in a client
        message (read as the service reads frames; a badly framed rest is
        passed over)."""
        if b"_create_session" not in message:
            return
        for payload in split_frames(message)[0]:
            try:
                name, params = ServiceConversation.parse(payload.decode("utf-8"))
            except UnicodeDecodeError:
                continue
            if params and isinstance(params[0], str):
                if name == "chart_create_session":
                    self.newest_chart = params[0]
                elif name == "quote_create_session":
                    self.newest_quote = params[0]

    async def reader_loop(self):
        while True:
            message = await self.socket.receive()
            if message is None:
                return
            if self.follow_sessions:
                self.note_sessions(message)  # before an "expect" waiting for this message goes on
            if self.echo:
                await self.socket.send_message(message)

    async def run(self):
        s = self.socket
        reading = asyncio.ensure_future(self.reader_loop())
        expected = 0
        lifetime = self.double.args.lifetime
        try:
            for step in self.steps[:MAX_SCRIPT_STEPS]:
                fragment = step.get("fragment")
                if "send" in step:
                    data = step["send"]
                    if step.get("rename"):
                        data = rename_sessions(data.encode("utf-8"), self.newest_chart, self.newest_quote)[0]
                    await s.send_message(data, fragment, gap_ms=float(step.get("gap_ms", 0)))
                elif "send_size" in step:
                    size = int(step["send_size"])
                    await s.send_message("".join(chr(ord("a") + i % 26) for i in range(size)), fragment)
                elif "send_frames" in step:
                    texts = step["send_frames"]
                    if step.get("rename"):
                        texts = [rename_payload(p, self.newest_chart, self.newest_quote) or p for p in texts]
                    await s.send_message(b"".join(frame(p) for p in texts), fragment)
                elif "send_raw" in step:
                    await s.send_raw(base64.b64decode(step["send_raw"]))
                elif step.get("hello"):
                    await s.send_message(frame(hello_payload(s.number)), fragment)
                elif "heartbeat" in step:
                    await s.send_message(frame("~h~%d" % int(step["heartbeat"])), fragment)
                elif "ping" in step:
                    await s.send_control(9, str(step["ping"]).encode())
                elif "expect" in step:
                    expected += int(step["expect"])
                    await s.wait_messages(expected, float(step.get("timeout", 30)))
                elif "close" in step:
                    reading.cancel()
                    await s.close(int(step["close"]))
                    return "script close"
                elif step.get("drop"):
                    s.drop()
                    return "script drop"
                elif step.get("stall"):
                    await asyncio.wait_for(asyncio.shield(reading), lifetime)
                    return "script stall"
                elif "sleep_ms" in step:
                    await asyncio.sleep(float(step["sleep_ms"]) / 1000.0)
                elif step.get("echo"):
                    self.echo = True
                if reading.done():
                    return "client went"
            await asyncio.wait_for(asyncio.shield(reading), lifetime)
            return "script end"
        except asyncio.TimeoutError:
            return "lifetime"
        finally:
            reading.cancel()


class ServiceConversation:
    """The service's own protocol as the plug-in speaks it."""

    def __init__(self, double, socket, ws, faults):
        self.double = double
        self.recorder = socket.recorder
        self.socket = socket
        self.ws = ws
        self.faults = faults
        self.strict = ws.get("strict", True)
        self.count = 0
        self.token = None
        self.chart_sessions = {}
        self.quote_sessions = {}
        self.newest_chart = self.newest_quote = None  # the sessions created last, for replays that rename
        self.heartbeats_sent = 0
        self.heartbeats_open = {}
        self.heartbeats_echoed = 0
        self.first_answer_sent = False
        self.tasks = []
        self.pending = None
        self.split_at = 0
        self.replaying = False
        self.answer_transform = None  # an answer that must go packed in one message sets "pack"
        self.replays = [(i, e) for i, e in enumerate(ws.get("replay", [])) if wanted_on(e, socket.number)]
        self.replays_fired = set()
        beat = ws.get("heartbeat", {})
        self.beat_with_first = beat.get("with_first_answer", False)
        self.beat_first_number = int(beat.get("first_number", 1))  # the service counts from 1 per connection
        self.beat_interval = float(beat.get("interval_ms", 10000)) / 1000.0
        self.beat_require = float(beat.get("require_echo_ms", 0)) / 1000.0
        updates = ws.get("updates", {})
        self.update_interval = float(updates.get("interval_ms", 0)) / 1000.0
        self.update_count = min(int(updates.get("count", 10)), MAX_UPDATES)
        stream = ws.get("stream", {})
        self.stream_quote = float(stream.get("quote_ms", 0)) / 1000.0
        self.stream_bar = float(stream.get("bar_ms", 0)) / 1000.0
        self.new_bar_every = int(stream.get("new_bar_every", 10))
        self.max_series = int(ws.get("max_series", 1))  # series a chart session may ever create (0: no limit)
        self.frozen = False  # heartbeats (and their echoes) only: no answers, no pushes
        self.close_after = float(ws.get("close_after_s", 0))
        self.reply_delay = min(int(ws.get("reply_delay_ms", 0)) / 1000.0, double.args.lifetime)
        self.reading = False  # converse_pipelined reads beside the answering
        self.max_sessions = int(ws.get("max_sessions", 200))
        self.sessions_opened = 0  # chart and quote sessions created on this connection, deleted ones included
        self.series_reply = ws.get("series_reply", "timescale+du" if ws.get("du_after_series") else "timescale")
        self.opened = time.monotonic()
        self.ending = None  # how the conversation ends when a fault ended it between messages
        self.pushes = {"open": True, "messages": 0, "qsd": 0, "du": 0, "new_bars": 0, "symbols": {}, "series": {}}

    # ---- sending --------------------------------------------------------

    def next_heartbeat(self):
        text = "~h~%d" % (self.beat_first_number + self.heartbeats_sent)
        self.heartbeats_sent += 1
        self.heartbeats_open[text] = time.monotonic()
        self.recorder.add("heartbeat_sent", connection=self.socket.number, text=text)
        if self.beat_require > 0:
            self.tasks.append(asyncio.ensure_future(self.watch_echo(text)))
        return text

    async def watch_echo(self, text):
        await asyncio.sleep(self.beat_require)
        if text in self.heartbeats_open and not self.socket.gone:
            self.recorder.add("heartbeat_missed", connection=self.socket.number, text=text)
            self.socket.drop()

    async def send_payloads(self, payloads, transform=None):
        """Sends one answer: each payload its own message, or packed / split
        as the scenario or a fault asks. The first answer may carry a
        heartbeat in front, in the same message. Returns the number of
        WebSocket messages written."""
        if not payloads:
            return 0
        frames = [frame(p) for p in payloads]
        if not self.first_answer_sent:
            self.first_answer_sent = True
            if self.beat_with_first:
                frames[0] = frame(self.next_heartbeat()) + frames[0]
        transform = transform or ("pack" if self.ws.get("pack_frames") else
                                  "split" if self.ws.get("split_frames") else None)
        written = 0
        if transform == "pack":
            written += await self.socket.send_message(b"".join(frames))
        elif transform == "split":
            for f in frames:
                cut = min(max(1, self.split_at or len(f) // 2), len(f) - 1)
                written += await self.socket.send_message(f[:cut])
                written += await self.socket.send_message(f[cut:])
        else:
            for f in frames:
                written += await self.socket.send_message(f)
        return written

    # ---- the conversation ------------------------------------------------

    async def run(self):
        s = self.socket
        try:
            try:
                if self.ws.get("hello", True):
                    await s.send_message(frame(hello_payload(s.number)))
                if self.ws.get("heartbeat_first"):
                    await s.send_message(frame(self.next_heartbeat()))
                ended = await self.fire_faults(None, None)
                if ended:
                    return ended
                for fault in self.faults:
                    if "after_ms" in fault and fault["kind"] not in UPGRADE_FAULTS:
                        self.add_task(self.timed_fault(fault))
                if self.beat_interval > 0:
                    self.add_task(self.heartbeat_loop())
                if self.close_after > 0:
                    self.add_task(self.close_later())
                return await self.converse()
            except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
                if self.ending:  # a fault between messages dropped the connection under an answer
                    return self.ending
                raise
        finally:
            for task in self.tasks:
                task.cancel()
            self.pushes["open"] = False
            s.end_fields = {"heartbeats_sent": self.heartbeats_sent, "heartbeats_echoed": self.heartbeats_echoed,
                            "heartbeats_unanswered": sorted(self.heartbeats_open),
                            "pushes": {k: v for k, v in self.pushes.items() if k != "open"}}

    async def converse(self):
        """Reads the client's messages and answers them until one side ends.
        A stalled or closing server still reads and records, but answers
        nothing. With reply_delay_ms the answers are pipelined (see
        converse_pipelined)."""
        if self.reply_delay > 0:
            return await self.converse_pipelined()
        s = self.socket
        while True:
            message = await s.receive()
            if message is None:
                return self.ending or ("client closed" if s.close_received else "client went")
            ended = await self.take_message(*self.split_message(message))
            if ended:
                return ended

    async def converse_pipelined(self):
        """Network latency without a processing cost: every message is
        handled, and so answered, reply_delay after it arrived, while reading
        goes on at once; messages wait in arrival order, so answers leave in
        that order. Heartbeat echoes are taken as they arrive. This loop only
        reads: whatever ends the conversation from the answering side sends
        its close and lets this loop see the client's (or drops)."""
        s = self.socket
        waiting = asyncio.Queue(MAX_WAITING_MESSAGES)  # a full queue holds the reading back
        self.reading = True
        answering = self.add_task(self.answer_in_time(waiting))
        while True:
            message = await s.receive()
            if message is None:
                return self.ending or ("client closed" if s.close_received else "client went")
            texts, error = self.split_message(message)
            if not (s.close_sent or answering.done()):  # else nothing more gets an answer
                await waiting.put((time.monotonic() + self.reply_delay, texts, error))

    async def answer_in_time(self, waiting):
        """Handles the waiting messages in order, each once its delay is
        over, until the conversation ends."""
        s = self.socket
        try:
            while True:
                due, texts, error = await waiting.get()
                delay = due - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
                ended = await self.take_message(texts, error)
                if ended:
                    self.ending = self.ending or ended
                    return
                if s.gone:
                    return
        except (ConnectionError, ssl.SSLError, OSError):
            s.drop()  # the reader sees the connection go
        except Exception:
            s.drop()  # a fault of the double's own: the connection ends rather than going quiet
            raise

    def split_message(self, message):
        """(texts, error): the service payloads of one client message, and
        the framing error (None when well formed). Heartbeat echoes are
        taken here, as they arrive, unless the message ends the
        conversation as badly framed."""
        s = self.socket
        payloads, error = split_frames(message)
        ending = error and self.strict and not (s.muted or s.close_sent or self.frozen)
        texts = []
        for payload in payloads:
            text = payload.decode("utf-8", "replace")
            if not text.startswith("~h~"):
                texts.append(text)
            elif not ending:
                self.heartbeat_echo(text)
        return texts, error

    async def take_message(self, texts, error):
        """Answers one client message; returns a text when the conversation
        ended."""
        s = self.socket
        if error and self.strict and not (s.muted or s.close_sent or self.frozen):
            self.recorder.add("violation", connection=s.number, what="bad framing: " + error)
            await self.send_payloads(['{"m":"protocol_error","p":["wrong data"]}'])
            return await self.close_conversation("protocol error")
        for text in texts:
            self.count += 1
            if s.muted or s.close_sent:
                continue
            name, params = self.parse(text)
            ended = await self.fire_faults(name, params)
            if ended:
                return ended
            transform, self.pending = self.pending, None
            if transform == "replaced" or self.frozen:
                continue
            replay = self.next_replay(name, params)
            if replay is not None:
                ended = await self.replay(name, params, text, *replay)
                if ended:
                    return ended
                continue
            if name == "set_auth_token":
                # The scenario's verdict on every token (an account banned, a
                # token expired into a frozen connection) comes before the
                # token's own check.
                refusal = self.ws.get("protocol_error_on_token")
                if refusal is None and self.ws.get("frozen_after_token"):
                    self.freeze()
                    continue
                if refusal is None and not self.token_accepted(params):
                    refusal = "bad auth token"
                if refusal is not None:
                    await self.send_payloads([dumps({"m": "protocol_error", "p": [refusal]})])
                    return await self.close_conversation(refusal)
            self.answer_transform = None
            answer = await self.answer(name, params, text)
            await self.send_payloads(answer, transform or self.answer_transform)
            if answer and self.ws.get("close_after_answers"):
                return await self.close_conversation("server closed")
            if s.gone or (s.close_sent and not self.ending):
                return self.ending or "server closed"
        return None

    async def close_conversation(self, how):
        """Sends a close frame (1000) and ends the conversation: waiting here
        for the client's close, or, while converse_pipelined is the one
        reading, as a timed fault ends it."""
        if self.reading:
            return await self.end_with_close(1000, how, True)
        await self.socket.close(1000)
        return how

    def add_task(self, coroutine):
        """Runs a coroutine beside the conversation; it ends with it."""
        self.tasks = [task for task in self.tasks if not task.done()]
        task = asyncio.ensure_future(coroutine)
        self.tasks.append(task)
        return task

    def token_accepted(self, params):
        return bool(params) and self.double.token_accepted(params[0])

    def next_replay(self, name, params=None):
        """The first replay entry for this message not yet fired here: on
        this connection, or for an entry with rename in the session the
        message names (conversations sharing a connection each get the
        answer, as each got it on a connection of its own)."""
        if name is None:
            return None
        session = params[0] if params and isinstance(params[0], str) else None
        for index, entry in self.replays:
            key = (index, session) if entry.get("rename") else index
            if entry["on"] == name and key not in self.replays_fired:
                self.replays_fired.add(key)
                return index, entry
        return None

    async def replay(self, name, params, text, index, entry):
        """Sends the entry's text verbatim as one message instead of the
        double's own answer. The double still takes the message in (sessions,
        symbols, series), so answers it gives itself later refer to it, but
        starts no updates for it. Returns a text when the conversation ended."""
        s = self.socket
        self.replaying = True
        try:
            await self.answer(name, params, text)
        finally:
            self.replaying = False
        data = entry["text"].encode("utf-8")
        fields = {}
        if entry.get("rename"):
            # The sessions the message named, else the newest of the connection.
            named = params[0] if params and isinstance(params[0], str) else None
            chart = named if named is not None and name in CHART_MESSAGES else self.newest_chart
            quote = named if named is not None and name in QUOTE_MESSAGES else self.newest_quote
            data, fields["renamed"] = rename_sessions(data, chart, quote)
        self.recorder.add("replay", connection=s.number, on=name, index=index, **fields)
        await s.send_message(data)
        then = entry.get("then", "go_on")
        if then == "close":
            return await self.close_conversation("replay close")
        if then == "stall":
            s.muted = True
            if self.reading:  # converse_pipelined reads and records until the client goes
                self.ending = "replay stall"
                return self.ending
            try:
                await asyncio.wait_for(s.drain_until_close(), self.double.args.lifetime)
            except (asyncio.TimeoutError, ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError):
                pass
            return "replay stall"
        if then == "drop":
            s.drop()
            return "replay drop"
        return None

    def freeze(self):
        """From now on the connection only beats: no answer to anything, no
        pushes; heartbeats go on and their echoes are still checked."""
        if not self.frozen:
            self.frozen = True
            self.recorder.add("frozen", connection=self.socket.number, at_message=self.count)

    async def close_later(self):
        """A close frame without a status code close_after_s after the
        connection opened, whatever the conversation is doing (a stalled
        server sends nothing, this neither)."""
        delay = self.opened + self.close_after - time.monotonic()
        await asyncio.sleep(min(max(0.0, delay), self.double.args.lifetime))
        s = self.socket
        if s.gone or s.close_sent or s.muted:
            return
        await self.end_with_close(None, "server closed after %g s" % self.close_after, True)

    def heartbeat_echo(self, text):
        expected = text in self.heartbeats_open
        self.heartbeats_open.pop(text, None)
        if expected:
            self.heartbeats_echoed += 1
        self.recorder.add("heartbeat_echo", connection=self.socket.number, text=text, expected=expected)

    async def heartbeat_loop(self):
        for _ in range(int(self.double.args.lifetime / self.beat_interval) + 1):
            await asyncio.sleep(self.beat_interval)
            if self.socket.gone or self.socket.close_sent:
                return
            if not self.socket.muted:  # a stalled server sends no heartbeats either
                await self.socket.send_message(frame(self.next_heartbeat()))

    @staticmethod
    def parse(text):
        try:
            message = json.loads(text)
        except ValueError:
            return None, None
        if not isinstance(message, dict) or not isinstance(message.get("m"), str) or \
                not isinstance(message.get("p", []), list):
            return None, None
        return message["m"], message.get("p", [])

    # ---- faults -----------------------------------------------------------

    async def fire_faults(self, name, params):
        """Fires the faults due now; returns a text when the conversation ended."""
        for fault in self.faults:
            if fault.get("fired") or fault["kind"] in UPGRADE_FAULTS or "after_ms" in fault:
                continue
            if "on" in fault:
                due = name is not None and name == fault["on"]
            else:
                due = self.count == int(fault.get("after_messages", 0))
            if not due:
                continue
            fault["fired"] = True
            ended = await self.fire(fault, name, params or [])
            if ended:
                return ended
        return None

    async def timed_fault(self, fault):
        """A fault due some milliseconds after the connection opened, whatever
        the client sends meanwhile (or not)."""
        delay = self.opened + int(fault["after_ms"]) / 1000.0 - time.monotonic()
        await asyncio.sleep(min(max(0.0, delay), self.double.args.lifetime))
        s = self.socket
        if fault.get("fired") or s.gone or s.close_sent:
            return
        fault["fired"] = True
        await self.fire(fault, None, [])

    async def fire(self, fault, name, params):
        """Fires one fault. A fault due on a message comes before its answer;
        a timed one comes between messages while converse() reads. Returns a
        text when the conversation ended."""
        s = self.socket
        kind = fault["kind"]
        timed = "after_ms" in fault
        self.recorder.add("fault", connection=s.number, fault=kind, at_message=self.count,
                          **({"after_ms": int(fault["after_ms"])} if timed else {}))
        replace = fault.get("replace_answer", False)
        if kind == "stall":
            # Nothing more goes out, heartbeats and pushes included; what the
            # client sends is still read and recorded until it goes.
            s.muted = True
            self.ending = "fault stall"
            replace = True
        elif kind == "freeze":
            self.freeze()
            return None
        elif kind == "drop":
            self.ending = "fault drop"
            s.drop()
            return self.ending
        elif kind == "close":
            return await self.end_with_close(int(fault.get("code", 1000)), "fault close", timed or self.reading)
        elif kind == "garbage":
            data = base64.b64decode(fault["bytes"]) if "bytes" in fault else b"\x01garbage{{{]]~m~x~m~" + b"x" * 100
            await s.send_message(data, fault.get("fragment"))
        elif kind == "huge_length":
            await s.send_message(b"~m~" + b"9" * 40 + b"~m~" + b'{"m":"noise","p":[]}', fault.get("fragment"))
        elif kind == "huge_message":
            size = int(fault.get("size", 4 << 20))
            payload = '{"m":"noise","p":["' + "z" * max(0, size - 22) + '"]}'
            await s.send_message(frame(payload), fault.get("fragment"))
        elif kind == "send":
            await s.send_message(b"".join(frame(p) for p in fault.get("payloads", [])), fault.get("fragment"))
        elif kind in ("pack", "split"):  # timed: the next answer
            self.pending = kind
            self.split_at = int(fault.get("split_at", 0))
            return None
        else:  # an error message in place of the answer (timed: on its own)
            replace = True
            await self.send_payloads([self.error_payload(kind, fault, name, params)])
            if kind == "protocol_error":
                return await self.end_with_close(int(fault.get("code", 1000)), "fault protocol_error",
                                                 timed or self.reading)
        if replace and name is not None:
            self.pending = "replaced"
        return None

    async def end_with_close(self, code, how, timed):
        """Sends a close frame and ends once the client's close comes, or at
        most CLOSE_WAIT_S later. Between messages (timed) converse() is the
        one reading: it sees the client's close, and the connection is
        dropped when none comes in time."""
        s = self.socket
        self.ending = how
        if not timed:
            await s.close(code)
            return how
        if await s.send_close(code):
            await asyncio.sleep(CLOSE_WAIT_S)
            if not s.gone and not s.close_received:
                s.drop()
        return how

    def error_payload(self, kind, fault, name, params):
        p = [str(x) for x in params]
        cs = p[0] if p and p[0].startswith("cs_") else next(iter(self.chart_sessions), "cs_unknown")
        if kind == "symbol_error":
            ref = p[1] if name == "resolve_symbol" and len(p) > 1 else "sds_sym_1"
            return dumps({"m": "symbol_error", "p": [cs, ref, fault.get("text", "invalid symbol")]})
        if kind == "series_error":
            series = p[1] if name == "create_series" and len(p) > 2 else "sds_1"
            key = p[2] if name == "create_series" and len(p) > 2 else "s1"
            return dumps({"m": "series_error", "p": [cs, series, key, fault.get("text", "resolve error")]})
        if kind == "critical_error":
            return dumps({"m": "critical_error", "p": [cs, fault.get("text", "invalid_parameters"),
                                                       method_and_args(name, params)]})
        return dumps({"m": "protocol_error", "p": [fault.get("text", "wrong data")]})

    # ---- answers ----------------------------------------------------------

    def violation(self, what, name):
        self.recorder.add("violation", connection=self.socket.number, what=what, message=name)
        if self.strict:
            return [dumps({"m": "critical_error", "p": ["", "invalid_parameters", name]})]
        return []

    async def answer(self, name, p, text):
        if name is None:
            self.recorder.add("violation", connection=self.socket.number, what="not a JSON message",
                              payload=text[:300])
            return []
        if name == "set_auth_token":
            self.token = p[0] if p else None
            return []
        if name in ("chart_create_session", "quote_create_session"):
            if not p:
                return self.violation("%s without a session id" % name, name)
            if self.max_sessions and self.sessions_opened >= self.max_sessions:
                # Counted over the connection's life, deleted sessions
                # included: the session is not created, the connection goes on.
                self.recorder.add("session_refused", connection=self.socket.number, session=p[0], message=name,
                                  opened=self.sessions_opened)
                return [dumps({"m": "critical_error", "p": [p[0], "max sessions rate reached"]})]
            self.sessions_opened += 1
            self.socket.stats["sessions_opened"] += 1
            if name == "chart_create_session":
                # created: series the session ever created, removed ones included
                self.chart_sessions[p[0]] = {"symbols": {}, "entries": {}, "series": {}, "created": 0}
                self.newest_chart = p[0]
            else:
                self.quote_sessions[p[0]] = {"subs": {}, "fields": []}
                self.newest_quote = p[0]
            return []
        if name in ("set_locale", "set_data_quality", "quote_hibernate_all"):
            return []
        if name in CHART_MESSAGES:
            chart = self.chart_sessions.get(p[0]) if p else None
            if chart is None:
                return self.violation("%s for a chart session never created" % name, name)
            return await self.chart_answer(name, p, chart)
        if name in QUOTE_MESSAGES:
            quote = self.quote_sessions.get(p[0]) if p else None
            if quote is None:
                return self.violation("%s for a quote session never created" % name, name)
            return self.quote_answer(name, p, quote)
        self.recorder.add("unknown_message", connection=self.socket.number, name=name)
        return []

    # ---- helpers for the answers -----------------------------------------

    def anonymous(self):
        """A connection that signed in with no account (or sent no token yet)."""
        return self.token in (None, ANONYMOUS_TOKEN)

    def update_mode(self, entry):
        if self.anonymous() and entry.get("type") in ("stock", "fund", "futures"):
            return "delayed_streaming_900"
        return "streaming"

    def now(self):
        return float(self.ws.get("now", time.time()))

    def stamped(self, message):
        """A message object with the server's "t" (seconds) and "t_ms"."""
        now = self.now()
        return dict(message, t=int(now), t_ms=int(now * 1000))

    def start_live(self, streaming, stream, limited):
        """Starts the live pushes of one subscription or series: the stream
        while the scenario streams, else the limited updates, else none.
        Live pushes run only for answers the double really gave (not for a
        replayed one)."""
        if self.replaying:
            return
        if streaming:
            self.add_task(stream())
        elif self.update_interval > 0:
            self.add_task(limited())

    def live_now(self):
        """The server's clock for live pushes: with a fixed "now" it moves on
        from there as the connection lives."""
        if "now" in self.ws:
            return float(self.ws["now"]) + (time.monotonic() - self.opened)
        return time.time()

    async def ticks(self, interval):
        """Yields once every interval for as long as the connection lives (at
        most the double's lifetime), keeping to the schedule: a push that
        came late (a slow reader) does not bring the next ones in a burst.
        Nothing is yielded while a stall fault keeps the server quiet."""
        due = time.monotonic()
        for _ in range(int(self.double.args.lifetime / interval) + 1):
            due += interval
            delay = due - time.monotonic()
            if delay < -interval:
                due, delay = time.monotonic(), 0.0
            await asyncio.sleep(max(0.0, delay))
            if self.socket.gone or self.socket.close_sent:
                return
            if not (self.socket.muted or self.frozen):
                yield

    def count_push(self, kind, frames, table, name):
        """Counts one pushed message of `frames` qsd or du frames, for the
        connection and for its symbol or series."""
        self.pushes["messages"] += 1
        self.pushes[kind] += frames
        self.pushes[table][name] = self.pushes[table].get(name, 0) + 1

    def series_live(self, cs, chart, series_id, live):
        """Whether a series is still in its chart session (not removed,
        replaced by modify_series, or gone with the session)."""
        return self.chart_sessions.get(cs) is chart and chart["series"].get(series_id) is live

    def quote_live(self, qs, quote, sub):
        """Whether a subscription is still in its quote session."""
        return self.quote_sessions.get(qs) is quote and quote["subs"].get(sub["key"]) is sub

    # ---- chart sessions ---------------------------------------------------

    async def chart_answer(self, name, p, chart):
        cs = p[0]
        if name == "resolve_symbol":
            if len(p) < 3:
                return self.violation("resolve_symbol needs 3 parameters", name)
            symbol, options = symbol_of(p[2])
            entry = self.double.lookup(symbol)
            denied = entry is not None and self.double.denied(symbol)
            chart["symbols"][p[1]] = symbol if entry and not denied else None
            if entry is None or denied:
                why = "permission denied" if denied else "invalid symbol"
                return [dumps({"m": "symbol_error", "p": [cs, p[1], why]})]
            chart["entries"][p[1]] = entry
            exchange, _, short = symbol.rpartition(":")
            session, timezone = session_of(symbol, entry)
            info = {"name": short, "full_name": symbol, "pro_name": symbol, "exchange": exchange or "NASDAQ",
                    "listed_exchange": exchange or "NASDAQ", "type": entry["type"], "session": session,
                    "session_holidays": HOLIDAYS.get(exchange, ""), "timezone": timezone,
                    "description": entry.get("description", short)}
            if "local_description" in entry:
                info["local_description"] = entry["local_description"]
            info.update({"pricescale": 10 ** self.double.decimals(entry), "minmov": 1, "has_intraday": True,
                         "has_daily": True, "currency_code": entry.get("currency", "USD"),
                         "subsessions": [{"description": "Regular Trading Hours", "id": "regular",
                                          "private": False, "session": session, "session-display": session}]})
            if options.get("session"):
                info["subsession_id"] = options["session"]
            return [dumps(self.stamped({"m": "symbol_resolved", "p": [cs, p[1], info]}))]
        if name in ("create_series", "modify_series"):
            if len(p) < 6 or not isinstance(p[5], int) or isinstance(p[5], bool):
                return [dumps({"m": "critical_error", "p": [cs, "invalid_parameters", name]})]
            series_id, key, ref, resolution, count = str(p[1]), str(p[2]), str(p[3]), str(p[4]), p[5]
            if self.max_series and series_id not in chart["series"] and chart["created"] >= self.max_series:
                # Every series the session ever created holds its slot, removed
                # ones too. Only this series is refused: the session, its other
                # series and the connection go on.
                self.recorder.add("series_refused", connection=self.socket.number, session=cs, series=series_id,
                                  symbol=chart["symbols"].get(ref), resolution=resolution, live=len(chart["series"]),
                                  created=chart["created"])
                return [dumps({"m": "critical_error", "p": [cs, "exceed limit of series in the session",
                                                            method_and_args(name, p)]})]
            symbol = chart["symbols"].get(ref)
            if symbol is None:
                # As the service answers a symbol that did not resolve: both
                # frames in one message.
                self.answer_transform = "pack"
                return [dumps({"m": "series_loading", "p": [cs, series_id, key]}),
                        dumps({"m": "series_error", "p": [cs, series_id, key, "resolve error"]})]
            if parse_resolution(resolution) is None:
                return [dumps({"m": "series_error", "p": [cs, series_id, key, "invalid resolution"]})]
            entry = chart["entries"][ref]
            try:
                series = self.double.make_series(symbol, resolution)
            except ValueError as error:  # the scenario's history_anchor does not fit this series
                return [dumps({"m": "series_error", "p": [cs, series_id, key, str(error)]})]
            series.replayed = self.replaying
            if series.clock.unit == "m" and self.anonymous():
                series.limit = int(self.ws.get("bar_limit", 5000))
            # Made and written before the series joins its session: nothing is
            # pushed for it (POST /price) while the loop runs in between.
            bars = await self.take_bars(series, self.cap(count))
            text = await self.bars_text_in_steps(bars)
            if series_id not in chart["series"]:
                chart["created"] += 1
            live = chart["series"][series_id] = (series, key, self.update_mode(entry))
            self.recorder.add("series", connection=self.socket.number, session=cs, series=series_id, symbol=symbol,
                              resolution=resolution, message=name)
            out = [dumps({"m": "series_loading", "p": [cs, series_id, key]})]
            if self.series_reply == "du":
                if bars:
                    out.append(self.du_payload(cs, series_id, key, bars, series, 0, text))
            else:
                if bars:
                    out.append(self.timescale_payload(cs, series_id, key, bars, series, text))
                    out.append(self.timeframe_payload(cs, series_id, key, series))
                out.append(self.completed_payload(cs, series_id, key, series, chart["series"][series_id][2]))
                if self.series_reply == "timescale+du" and bars:
                    out.append(self.du_payload(cs, series_id, key, [series.live_update()], series, len(bars) - 1))
            self.start_live(self.stream_bar > 0, lambda: self.stream_bars(cs, chart, series_id, live),
                            lambda: self.bar_updates(cs, chart, series_id, live))
            return out
        if name == "request_more_data":
            if len(p) < 3 or not isinstance(p[2], int) or isinstance(p[2], bool):
                return [dumps({"m": "critical_error", "p": [cs, "invalid_parameters", name]})]
            found = chart["series"].get(str(p[1]))
            if found is None:
                return self.violation("request_more_data for a series never created", name)
            series, key, mode = found
            bars = await self.take_bars(series, self.cap(p[2]))
            out = []
            if bars:
                out.append(self.timescale_payload(cs, str(p[1]), key, bars, series,
                                                  await self.bars_text_in_steps(bars)))
                out.append(self.timeframe_payload(cs, str(p[1]), key, series))
            out.append(self.completed_payload(cs, str(p[1]), key, series, mode))
            return out
        if name == "remove_series":
            series_id = str(p[1]) if len(p) > 1 else ""
            if series_id not in chart["series"]:
                self.recorder.add("remove_unmatched", connection=self.socket.number, message=name, session=cs,
                                  series=series_id)
                return []
            self.remove_series(cs, chart, series_id, name)
            return []
        if name == "chart_delete_session":
            for series_id in list(chart["series"]):
                self.remove_series(cs, chart, series_id, name)
            del self.chart_sessions[cs]
            return []
        return []

    def remove_series(self, cs, chart, series_id, why):
        """Takes a series out of its session: its pushes stop."""
        series = chart["series"].pop(series_id)[0]
        self.recorder.add("series_removed", connection=self.socket.number, session=cs, series=series_id,
                          symbol=series.symbol, resolution=series.resolution, why=why)

    def cap(self, count):
        limit = int(self.ws.get("max_per_request", 0))
        count = max(0, int(count))
        return min(count, limit) if limit > 0 else count

    @staticmethod
    async def take_bars(series, count):
        """series.take_older(count), a long history made MAKE_STEP bars at a
        time with the event loop let run in between: 10000 daily bars take
        about 0.1 s to make, which must not hold up the other connections'
        upgrades (their spacing is timed), heartbeats and answers."""
        count = max(0, int(count))
        for _ in range(MAX_ANCHOR_BARS // MAKE_STEP + 2):  # the bars after now's, with a history_anchor
            if not (series.skipping and series._skip(MAKE_STEP)):
                break
            await asyncio.sleep(0)
        wanted = series.handed_out + count
        if series.limit:
            wanted = min(wanted, series.limit)
        wanted = min(wanted, series.history)
        for _ in range(wanted // MAKE_STEP + 1):
            made = len(series.newest_first)
            if made + MAKE_STEP >= wanted:
                break
            series._make(made + MAKE_STEP)
            await asyncio.sleep(0)
        return series.take_older(count)

    @staticmethod
    async def bars_text_in_steps(bars):
        """bars_text(bars, 0), written MAKE_STEP bars at a time with the event
        loop let run in between."""
        parts = []
        for start in range(0, len(bars), MAKE_STEP):
            if start:
                await asyncio.sleep(0)
            parts.append(bars_text(bars[start:start + MAKE_STEP], start))
        return ",".join(parts)

    def timescale_payload(self, cs, series_id, key, bars, series, text=None):
        """timescale_update of bars (text: bars_text(bars, 0) when written already)."""
        times = ",".join(str(int(b[0])) for b in bars)
        now = self.now()
        return ('{"m":"timescale_update","p":[%s,{%s:{"node":"fra-charts-21","s":[%s],"ns":{"d":"","indexes":[]},'
                '"t":%s,"lbs":{"bar_close_time":%d}}},{"index":%d,"zoffset":0,"changes":[%s],'
                '"marks":[[1,%d,0]],"index_diff":[]}],"t":%d,"t_ms":%d}'
                % (dumps(cs), dumps(series_id), bars_text(bars, 0) if text is None else text, dumps(key),
                   series.bar_close_time(), len(bars) - 1, times, int(bars[0][0]), int(now), int(now * 1000)))

    @staticmethod
    def timeframe_payload(cs, series_id, key, series):
        first, last, period = series.timeframe()
        return dumps({"m": "series_timeframe", "p": [cs, series_id, key, first, last, period, True]})

    @staticmethod
    def du_payload(cs, series_id, key, bars, series, first_index, text=None):
        """du of bars from first_index (text: their bars_text when written already)."""
        return ('{"m":"du","p":[%s,{%s:{"s":[%s],"ns":{"d":"","indexes":"nochange"},"t":%s,'
                '"lbs":{"bar_close_time":%d}}}]}'
                % (dumps(cs), dumps(series_id), bars_text(bars, first_index) if text is None else text, dumps(key),
                   series.bar_close_time()))

    def completed_payload(self, cs, series_id, key, series, mode):
        """series_completed [cs, series, update mode, key, {...}]: the last
        object says why the series stopped ("end": no older bars, "limit":
        the session's bar limit), or only the update period while more bars
        could come."""
        why = series.why_stopped()
        tail = {"rt_update_period": 0, "data_completed": why} if why else {"rt_update_period": 5}
        return dumps(self.stamped({"m": "series_completed", "p": [cs, series_id, mode, key, tail]}))

    async def bar_updates(self, cs, chart, series_id, live):
        """The limited updates: count du frames moving the newest bar."""
        series, key, _ = live
        for _ in range(self.update_count):
            await asyncio.sleep(self.update_interval)
            if self.socket.gone or self.socket.close_sent or not self.series_live(cs, chart, series_id, live):
                return
            bar = series.live_update()
            if bar is not None and not (self.socket.muted or self.frozen):
                await self.send_payloads([self.du_payload(cs, series_id, key, [bar], series,
                                                          max(0, series.handed_out - 1))])
                self.count_push("du", 1, "series", series_id)

    async def stream_bars(self, cs, chart, series_id, live):
        """A push every bar_ms for as long as the series lives: a du moving
        the newest bar by a trade, and every new_bar_every-th time a new bar
        at the next bar time (new_bar_push)."""
        series, key, _ = live
        pushes = 0
        async for _ in self.ticks(self.stream_bar):
            if not self.series_live(cs, chart, series_id, live):
                return
            pushes += 1
            if self.new_bar_every > 0 and pushes % self.new_bar_every == 0:
                payloads = self.new_bar_push(cs, series_id, key, series)
                if payloads is None:  # a series without bars
                    continue
                await self.send_payloads(payloads, "pack")
                self.count_push("du", len(payloads) - 1, "series", series_id)
                self.pushes["new_bars"] += 1
                continue
            bar = series.live_update()
            if bar is None:
                continue
            await self.send_payloads([self.du_payload(cs, series_id, key, [bar], series,
                                                      max(0, series.handed_out - 1))])
            self.count_push("du", 1, "series", series_id)

    def new_bar_push(self, cs, series_id, key, series):
        """A new bar as the service pushes it, in one message: the old bar's
        du after its last trade, the same du again (its final values, sent
        twice as the service does), then a small timescale_update that opens
        the next index at the next bar time, opening at the last close, with
        the server's "t"/"t_ms". None for a series without bars."""
        old = series.live_update()
        if old is None:
            return None
        old_du = self.du_payload(cs, series_id, key, [old], series, max(0, series.handed_out - 1))
        new = series.new_bar()
        index = series.handed_out - 1
        now = self.live_now()
        opened = ('{"m":"timescale_update","p":[%s,{%s:{"s":[%s],"ns":{"d":"","indexes":"nochange"},"t":%s,'
                  '"lbs":{"bar_close_time":%d}}},{"index":%d,"zoffset":0,"changes":[%r],"marks":[],'
                  '"index_diff":[]}],"t":%d,"t_ms":%d}'
                  % (dumps(cs), dumps(series_id), bars_text([new], index), dumps(key), series.bar_close_time(),
                     index, new[0], int(now), int(now * 1000)))
        return [old_du, old_du, opened]

    # ---- quotes -------------------------------------------------------

    def quote_answer(self, name, p, quote):
        qs = p[0]
        number = self.socket.number
        if name == "quote_set_fields":
            quote["fields"] = [str(x) for x in p[1:]]
            return []
        if name == "quote_fast_symbols":
            # No answer and no change of pace; recorded, with the names that
            # are in the session neither as added nor as their symbol.
            names = [str(x) for x in p[1:]]
            known = set(quote["subs"]) | {sub["symbol"] for sub in quote["subs"].values()}
            self.recorder.add("fast", connection=number, session=qs, symbols=names,
                              not_subscribed=[n for n in names if n not in known and symbol_of(n)[0] not in known])
            return []
        if name == "quote_remove_symbols":
            # A symbol is named as it was added (the "n" of its qsd frames).
            for text in p[1:]:
                if str(text) in quote["subs"]:
                    self.unsubscribe(qs, quote, str(text), name)
                else:
                    self.recorder.add("remove_unmatched", connection=number, message=name, session=qs,
                                      text=str(text))
            return []
        if name == "quote_delete_session":
            for text in list(quote["subs"]):
                self.unsubscribe(qs, quote, text, name)
            del self.quote_sessions[qs]
            return []
        if name != "quote_add_symbols":
            return []
        out = []
        for text in p[1:]:
            symbol, _ = symbol_of(str(text))
            entry = self.double.lookup(symbol)
            status = "error" if entry is None else "permission_denied" if self.double.denied(symbol) else "ok"
            # The session keeps the text as sent (a removal must name it so);
            # the frames carry the service's own writing of it.
            n = text if self.ws.get("quote", {}).get("echo_subscribed_text") else reserialised(text)
            sub = quote["subs"][str(text)] = {"key": str(text), "symbol": symbol, "n": n, "s": status,
                                              "replayed": self.replaying}
            self.recorder.add("subscribe", connection=number, session=qs, symbol=symbol, text=str(text), n=n,
                              s=status)
            if status == "error":
                out.append(dumps({"m": "qsd", "p": [qs, {"n": n, "s": "error", "errmsg": "no_such_symbol",
                                                         "v": {}}]}))
            elif status == "permission_denied":
                out.append(dumps({"m": "qsd", "p": [qs, {"n": n, "s": "permission_denied",
                                                         "errmsg": "Permission denied",
                                                         "v": {"alternative": symbol}}]}))
            else:
                full = self.quote_values(symbol, entry)
                if self.ws.get("quote", {}).get("first_without_lp"):
                    out.append(dumps({"m": "qsd", "p": [qs, {"n": n, "s": "ok",
                                                             "v": {k: v for k, v in full.items() if k != "lp"}}]}))
                out.append(dumps({"m": "qsd", "p": [qs, {"n": n, "s": "ok", "v": full}]}))
                self.start_live(self.stream_quote > 0,
                                lambda sub=sub, symbol=symbol, entry=entry:
                                    self.stream_quotes(qs, quote, sub, symbol, entry),
                                lambda sub=sub, symbol=symbol, entry=entry:
                                    self.quote_updates(qs, quote, sub, symbol, entry))
            out.append(dumps({"m": "quote_completed", "p": [qs, n]}))
        return out

    def unsubscribe(self, qs, quote, key, why):
        """Takes a symbol out of its quote session: its pushes stop."""
        sub = quote["subs"].pop(key)
        self.recorder.add("unsubscribe", connection=self.socket.number, session=qs, symbol=sub["symbol"], text=key,
                          why=why)

    def quote_state(self, symbol, entry):
        """The moving last price of a symbol: every poll and update moves it,
        unless a price set over the control port pins it (the volume still
        moves)."""
        r = self.double.decimals(entry)
        state = self.double.quote_counters.get(symbol)
        if state is None:
            last = float(entry.get("price", 100.0))
            state = self.double.quote_counters[symbol] = {
                "rng": random.Random("%s|%s|quote" % (self.ws.get("seed", 1), symbol)), "lp": last,
                "prev": max(round(last * 0.995, r), 10.0 ** -r), "volume": 1000000}
        tick = 10.0 ** -r * max(1.0, state["lp"] / 100.0)
        step = state["rng"].choice((-3, -2, -1, 1, 2, 3))
        pinned = self.double.pinned.get(symbol)
        if pinned is not None:
            state["lp"] = pinned
        else:
            state["lp"] = round(max(state["lp"] + step * tick, 10.0 ** -r), r)
        state["volume"] += state["rng"].randint(100, 20000)
        return state

    def change(self, state, entry):
        ch = round(state["lp"] - state["prev"], self.double.decimals(entry))
        return ch, round(ch / state["prev"] * 100.0, 2)

    def volume(self, state, entry):
        return state["volume"] if self.double.has_volume(entry) else NO_VOLUME

    def quote_values(self, symbol, entry):
        state = self.quote_state(symbol, entry)
        now = int(self.now())
        exchange, _, short = symbol.rpartition(":")
        r = self.double.decimals(entry)
        ch, chp = self.change(state, entry)
        # The names come before "lp": a reader that counts a frame's length
        # in bytes instead of UTF-16 code units cuts a non-English frame
        # before its price.
        values = {"ch": ch, "chp": chp, "current_session": "market",
                  "description": entry.get("description", short)}
        if "local_description" in entry:
            values["local_description"] = entry["local_description"]
        values.update({"exchange": exchange, "lp": state["lp"], "lp_time": now,
                       "volume": self.volume(state, entry), "update_mode": self.update_mode(entry),
                       "type": entry["type"], "pro_name": symbol, "short_name": short, "pricescale": 10 ** r,
                       "minmov": 1, "fractional": False, "is_tradable": True,
                       "currency_code": entry.get("currency", "USD"), "original_name": symbol,
                       "rtc": round(state["lp"] * 1.001, r), "rtc_time": now - 3600, "rchp": 0.1})
        for field, value in self.ws.get("quote", {}).get("fields", {}).items():
            if value is None:
                values.pop(field, None)
            else:
                values[field] = value
        return values

    def partial_values(self, symbol, entry, lp_time, keys=PRICE_PARTIAL):
        """The values of one partial qsd, these keys in this order: by
        default "lp", "ch", "chp", "lp_time", "volume"; only "volume" with
        partial_without_lp. A trade moves the quote first, unless the frame
        carries nothing but "lp_time"."""
        if self.ws.get("quote", {}).get("partial_without_lp"):
            keys = ("volume",)
        if keys == ("lp_time",):
            return {"lp_time": lp_time}
        state = self.quote_state(symbol, entry)
        ch, chp = self.change(state, entry)
        every = {"lp": state["lp"], "ch": ch, "chp": chp, "lp_time": lp_time, "volume": self.volume(state, entry)}
        return {k: every[k] for k in keys}

    def price_pushes(self, symbol, price):
        """The pushes this connection owes a price set over the control port,
        as (kind, table, name, payload): a partial qsd per quote session text
        of the symbol that was answered "ok", a du per live series of it
        moving the newest bar's close there. The series are pinned here, so
        every later du keeps that close. None for a connection that may not
        send (closing, gone, stalled); answers that were replayed get none,
        as they get no live pushes."""
        s = self.socket
        if s.gone or s.close_sent or s.muted or self.frozen:
            return None
        entry = self.double.lookup(symbol)
        if entry is None:
            return None
        pushes = []
        lp_time = int(self.live_now())
        for qs, quote in self.quote_sessions.items():
            for sub in quote["subs"].values():
                if sub["symbol"] != symbol or sub["s"] != "ok" or sub["replayed"]:
                    continue
                state = self.quote_state(symbol, entry)
                ch, chp = self.change(state, entry)
                values = {"lp": state["lp"], "ch": ch, "chp": chp, "lp_time": lp_time,
                          "volume": self.volume(state, entry)}
                pushes.append(("qsd", "symbols", symbol,
                               dumps({"m": "qsd", "p": [qs, {"n": sub["n"], "s": "ok", "v": values}]})))
        for cs, chart in self.chart_sessions.items():
            for series_id, (series, key, _) in chart["series"].items():
                if series.symbol != symbol or series.replayed:
                    continue
                bar = series.pin(price)
                if bar is None:  # a series without bars
                    continue
                pushes.append(("du", "series", series_id,
                               self.du_payload(cs, series_id, key, [bar], series, max(0, series.handed_out - 1))))
        return pushes

    async def push_price(self, pushes, written):
        """Writes the pushes of price_pushes, each as the stream writes its
        own (through the connection's send lock), counting them in the
        connection's pushes and the WebSocket messages in written."""
        for kind, table, name, payload in pushes:
            try:
                sent = await self.send_payloads([payload])
            except (ConnectionError, ssl.SSLError, OSError):
                return
            if not sent:
                return
            written["messages"] += sent
            self.count_push(kind, 1, table, name)

    async def quote_updates(self, qs, quote, sub, symbol, entry):
        """The limited updates: partial qsd frames, two to a message as the
        service often sends them: one with only "volume", one with the moved
        price."""
        for i in range(self.update_count):
            await asyncio.sleep(self.update_interval)
            if self.socket.gone or self.socket.close_sent or not self.quote_live(qs, quote, sub):
                return
            if self.socket.muted or self.frozen:
                continue
            first = {"volume": self.volume(self.quote_state(symbol, entry), entry)}
            second = self.partial_values(symbol, entry, int(self.now()) + i + 1)
            await self.send_payloads([dumps({"m": "qsd", "p": [qs, {"n": sub["n"], "s": "ok", "v": v}]})
                                      for v in (first, second)], "pack")
            self.count_push("qsd", 2, "symbols", symbol)

    async def stream_quotes(self, qs, quote, sub, symbol, entry):
        """A push every quote_ms for as long as the symbol stays in its
        session, as the service sends them while a price moves: one message
        of the partial qsd frames of one of STREAM_QUOTE_SHAPES, drawn from
        the seed and the text subscribed; the prices from the symbol's
        moving quote."""
        shapes = random.Random("%s|%s|stream" % (self.ws.get("seed", 1), sub["key"]))
        async for _ in self.ticks(self.stream_quote):
            if not self.quote_live(qs, quote, sub):
                return
            draw = shapes.random()
            frames = next(keys for upto, keys in STREAM_QUOTE_SHAPES if draw < upto)
            lp_time = int(self.live_now())
            values = [self.partial_values(symbol, entry, lp_time, keys) for keys in frames]
            await self.send_payloads([dumps({"m": "qsd", "p": [qs, {"n": sub["n"], "s": "ok", "v": v}]})
                                      for v in values], "pack" if len(values) > 1 else None)
            self.count_push("qsd", len(values), "symbols", symbol)


class TlsAcceptor(asyncio.Protocol):
    """Accepts a TCP connection of a service port and hands it to TLS."""

    def __init__(self, double, port_kind, context):
        self.double = double
        self.port_kind = port_kind
        self.context = context

    def connection_made(self, transport):
        transport.pause_reading()
        if len(self.double.open_connections) >= MAX_CONNECTIONS:
            transport.abort()
            return
        self.task = asyncio.ensure_future(self.double.accept_tls(transport, self.port_kind, self.context))

    def data_received(self, data):  # reading is paused until TLS takes over
        pass


# ---------------------------------------------------------------------------

async def watch_exit(double, args, parent):
    """Returns when the double should stop."""
    loop = asyncio.get_running_loop()
    stdin_closed = None if args.ignore_stdin else loop.run_in_executor(None, sys.stdin.buffer.read)
    start = time.monotonic()
    while True:
        if stdin_closed is not None and stdin_closed.done():
            return "standard input closed"
        if os.getppid() != parent:
            return "parent went"
        if time.monotonic() - start > args.lifetime:
            return "lifetime reached"
        if not double.open_connections and time.monotonic() - double.last_activity > args.idle:
            return "idle"
        await asyncio.sleep(0.25)


async def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--certs", required=True, help="folder with server.pem/.key and untrusted.pem/.key")
    parser.add_argument("--port-file", required=True, help="where the ports are written as JSON once listening")
    parser.add_argument("--lifetime", type=float, default=3600.0, help="seconds before the double stops")
    parser.add_argument("--idle", type=float, default=1200.0, help="seconds without any connection before it stops")
    parser.add_argument("--scenario", help="a scenario file to start with")
    parser.add_argument("--ignore-stdin", action="store_true", help="do not stop when standard input closes")
    args = parser.parse_args()
    parent = os.getppid()

    double = Double(args)
    if args.scenario:
        with open(args.scenario, encoding="utf-8") as f:
            double.set_scenario(json.load(f))

    def tls(name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(args.certs, name + ".pem"), os.path.join(args.certs, name + ".key"))
        return context

    trusted, untrusted = tls("server"), tls("untrusted")
    loop = asyncio.get_running_loop()
    service = await loop.create_server(lambda: TlsAcceptor(double, "service", trusted), "127.0.0.1", 0)
    untrusted_server = await loop.create_server(lambda: TlsAcceptor(double, "untrusted", untrusted), "127.0.0.1", 0)
    control = await asyncio.start_server(double.serve_control, "127.0.0.1", 0, limit=MAX_HEAD)
    ports = {"service": service.sockets[0].getsockname()[1],
             "untrusted": untrusted_server.sockets[0].getsockname()[1],
             "control": control.sockets[0].getsockname()[1], "pid": os.getpid()}
    tmp = args.port_file + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(ports, f)
    os.replace(tmp, args.port_file)
    why = await watch_exit(double, args, parent)
    print("service double stops: " + why, file=sys.stderr, flush=True)
    os._exit(0)


if __name__ == "__main__":
    asyncio.run(main())
