#!/usr/bin/env python3
"""A host for RemotoPlugin2 services in plain Python 3 (standard library only), written from
docs/wire-protocol.md alone: it lists a service's objects, calls their methods and watches
their signals over a local socket or TCP.

    wire_client.py [--connect ADDRESS] [--token TOKEN] [--hex] list
    wire_client.py [...] call OBJECT METHOD [ARG ...]      arguments as JSON, e.g. 2 '"text"'
    wire_client.py [...] watch OBJECT 'SIGNAL(TYPES)' [--count N]

--hex prints every frame sent and received, field by field, with the value lists decoded.
Imported, it offers the codecs and Client to other scripts (see wire_client_check.py).
"""

import argparse
import base64
import datetime
import json
import math
import os
import socket
import struct
import sys
import uuid

try:
    import zoneinfo
except ImportError:  # before Python 3.9
    zoneinfo = None

# Frames
VERSION = 1
HELLO, REQUEST, MESSAGE, REFUSAL = 1, 2, 3, 4
HEADER_SIZES = {HELLO: 4, REQUEST: 24, MESSAGE: 20, REFUSAL: 8}
MAX_BODY = 16 * 1024 * 1024
# The request flag for a payload sent as the bytes its Base64 text stands for, and the
# ObjectsAnnounced feature bit of a service that takes such requests.
FLAG_UNWRAPPED = 0x0001
TAKES_UNWRAPPED = 0x00000001
# From this size of a value list on, a request goes unwrapped where the service takes it.
UNWRAP_FROM = 3072
MAX_TOKEN = 1024
MAGIC = 0x29111993

# Message kinds
NOTIFY, ANSWER, OBJECT_UP, OBJECT_DOWN, REFUSED, OBJECTS_ANNOUNCED = 0, 1, 3, 4, 17, 256
KIND_NAMES = {NOTIFY: 'Notify', ANSWER: 'Answer', OBJECT_UP: 'ObjectUp',
              OBJECT_DOWN: 'ObjectDown', REFUSED: 'Refused',
              OBJECTS_ANNOUNCED: 'ObjectsAnnounced'}

# Commands
GETINFO, GETMETAINFO, INVOKE, SIGCONNECT, SIGDISCONNECT, SET_EVENT = range(0x1100, 0x1106)
COMMAND_NAMES = {GETINFO: 'GETINFO', GETMETAINFO: 'GETMETAINFO', INVOKE: 'INVOKE',
                 SIGCONNECT: 'SIGCONNECT', SIGDISCONNECT: 'SIGDISCONNECT',
                 SET_EVENT: 'SET_EVENT'}

RESULT_NAMES = {0: 'OK', 1: 'INVALID_PARAM', 2: 'INVALID_COMMAND', 3: 'INVALID_DEVICE_ID',
                4: 'INVALID_PARAM', 5: 'INVALID_MSG', 7: 'CONNECTION_ERROR', 17: 'NO_RIGHTS'}
REFUSAL_REASONS = {1: 'access token', 2: 'too many clients', 3: 'no hello in time',
                   4: 'over the memory budget'}

# Value type ids
T_INVALID, T_BOOL, T_INT, T_UINT, T_LONGLONG, T_ULONGLONG, T_DOUBLE, T_QCHAR = range(8)
T_MAP, T_LIST, T_STRING, T_STRINGLIST, T_BYTES, T_BITS, T_DATE, T_TIME, T_DATETIME = range(8, 17)
T_URL, T_LOCALE, T_RECT, T_RECTF, T_SIZE, T_SIZEF, T_LINE, T_LINEF = range(17, 25)
T_POINT, T_POINTF = 25, 26
T_HASH, T_UUID = 28, 30
T_LONG, T_SHORT, T_CHAR, T_ULONG, T_USHORT, T_UCHAR, T_FLOAT = range(32, 39)
T_SCHAR, T_VARIANT, T_BYTESLIST, T_NULLPTR = 40, 41, 49, 51
T_USER = 1024

TYPE_NAMES = {
    T_INVALID: 'invalid', T_BOOL: 'bool', T_INT: 'int', T_UINT: 'uint', T_LONGLONG: 'qlonglong',
    T_ULONGLONG: 'qulonglong', T_DOUBLE: 'double', T_QCHAR: 'QChar', T_MAP: 'QVariantMap',
    T_LIST: 'QVariantList', T_STRING: 'QString', T_STRINGLIST: 'QStringList',
    T_BYTES: 'QByteArray', T_BITS: 'QBitArray', T_DATE: 'QDate', T_TIME: 'QTime',
    T_DATETIME: 'QDateTime', T_URL: 'QUrl', T_LOCALE: 'QLocale', T_RECT: 'QRect',
    T_RECTF: 'QRectF', T_SIZE: 'QSize', T_SIZEF: 'QSizeF', T_LINE: 'QLine', T_LINEF: 'QLineF',
    T_POINT: 'QPoint', T_POINTF: 'QPointF', T_HASH: 'QVariantHash', T_UUID: 'QUuid',
    T_LONG: 'long', T_SHORT: 'short', T_CHAR: 'char', T_ULONG: 'ulong', T_USHORT: 'ushort',
    T_UCHAR: 'uchar', T_FLOAT: 'float', T_SCHAR: 'signed char', T_VARIANT: 'QVariant',
    T_BYTESLIST: 'QByteArrayList', T_NULLPTR: 'std::nullptr_t',
}
# Names a type-1024 header may carry, besides those above.
TYPE_ALIASES = {
    'unsigned int': T_UINT, 'long long': T_LONGLONG, 'unsigned long long': T_ULONGLONG,
    'unsigned long': T_ULONG, 'unsigned short': T_USHORT, 'unsigned char': T_UCHAR,
    'qint8': T_SCHAR, 'quint8': T_UCHAR, 'qint16': T_SHORT, 'quint16': T_USHORT,
    'qint32': T_INT, 'quint32': T_UINT, 'qint64': T_LONGLONG, 'quint64': T_ULONGLONG,
    'QList<QVariant>': T_LIST, 'QMap<QString,QVariant>': T_MAP,
    'QHash<QString,QVariant>': T_HASH, 'QList<QByteArray>': T_BYTESLIST,
    'QVariantList': T_LIST, 'QVariantMap': T_MAP, 'QVariantHash': T_HASH,
}
TYPE_IDS = {name: type_id for type_id, name in TYPE_NAMES.items() if type_id != T_INVALID}
TYPE_IDS.update(TYPE_ALIASES)

NULL_LENGTH = 0xFFFFFFFF
MAX_DEPTH = 64
NULL_JULIAN_DAY = -(2 ** 63)
# Julian day of 0001-01-01 minus its proleptic Gregorian ordinal (1).
JULIAN_DAY_OFFSET = 1721425
MSECS_PER_DAY = 86400000
INTEGER_FORMATS = {T_INT: '>i', T_UINT: '>I', T_LONGLONG: '>q', T_ULONGLONG: '>Q',
                   T_LONG: '>q', T_ULONG: '>Q', T_SHORT: '>h', T_USHORT: '>H',
                   T_CHAR: '>b', T_SCHAR: '>b', T_UCHAR: '>B'}


class ProtocolError(Exception):
    """The peer broke the protocol, or a value list cannot be read."""


class Value:
    """A value of an exact type: `Value('QStringList', ['a'])`, `Value('float', 1.5)`, or a
    type's null holder `Value('QDateTime', None, null=True)`."""

    def __init__(self, type_name, value=None, null=False):
        self.type_id = type_name if isinstance(type_name, int) else TYPE_IDS[type_name]
        self.value = value
        self.null = null

    def __eq__(self, other):
        return (isinstance(other, Value) and (self.type_id, self.value, self.null)
                == (other.type_id, other.value, other.null))

    def __repr__(self):
        null = ', null' if self.null else ''
        return 'Value(%r, %r%s)' % (TYPE_NAMES.get(self.type_id, self.type_id), self.value, null)


class NullDate:
    """An invalid QDate, QTime or QDateTime: it has no Python form."""

    def __eq__(self, other):
        return isinstance(other, NullDate)

    def __repr__(self):
        return 'NullDate()'


# ---------------------------------------------------------------------------------------------
# Writing values

def _string(text):
    if text is None:
        return struct.pack('>I', NULL_LENGTH)
    data = text.encode('utf-16-be')
    return struct.pack('>I', len(data)) + data


def _bytes(data):
    if data is None:
        return struct.pack('>I', NULL_LENGTH)
    return struct.pack('>I', len(data)) + bytes(data)


def _date_time_fields(moment):
    """Julian day, msecs since midnight, time kind and what follows the kind."""
    if isinstance(moment, NullDate):
        return NULL_JULIAN_DAY, NULL_LENGTH, 0, b''
    day = moment.date().toordinal() + JULIAN_DAY_OFFSET
    msecs = ((moment.hour * 60 + moment.minute) * 60 + moment.second) * 1000 \
        + moment.microsecond // 1000
    zone = moment.tzinfo
    if zone is None:
        return day, msecs, 0, b''
    if zoneinfo is not None and isinstance(zone, zoneinfo.ZoneInfo):
        return day, msecs, 3, _string(zone.key)
    offset = moment.utcoffset()
    if zone is datetime.timezone.utc:
        return day, msecs, 1, b''
    return day, msecs, 2, struct.pack('>i', int(offset.total_seconds()))


def _payload(type_id, value, depth):
    """The bytes after a value's header."""
    if type_id in (T_INVALID, T_NULLPTR):
        return b''
    if type_id == T_BOOL:
        return b'\x01' if value else b'\x00'
    if type_id in INTEGER_FORMATS:
        return struct.pack(INTEGER_FORMATS[type_id], value or 0)
    if type_id in (T_DOUBLE, T_FLOAT):
        return struct.pack('>d', value or 0.0)
    if type_id == T_QCHAR:
        return struct.pack('>H', ord(value) if value else 0)
    if type_id == T_STRING:
        return _string(value)
    if type_id in (T_BYTES, T_URL):
        return _bytes(value.encode('utf-8') if isinstance(value, str) else value)
    if type_id == T_LOCALE:
        return _string(value or 'C')
    if type_id == T_STRINGLIST:
        items = value or []
        return struct.pack('>I', len(items)) + b''.join(_string(item) for item in items)
    if type_id == T_BYTESLIST:
        items = value or []
        return struct.pack('>I', len(items)) + b''.join(_bytes(item) for item in items)
    if type_id == T_LIST:
        items = value or []
        return struct.pack('>I', len(items)) + b''.join(encode_value(v, depth + 1) for v in items)
    if type_id in (T_MAP, T_HASH):
        entries = list((value or {}).items())
        # Written last key first, as Qt writes a map; any order reads back the same.
        entries.sort(key=lambda entry: entry[0], reverse=True)
        return struct.pack('>I', len(entries)) + b''.join(
            _string(key) + encode_value(item, depth + 1) for key, item in entries)
    if type_id == T_VARIANT:
        return encode_value(value, depth + 1)
    if type_id == T_DATE:
        if value is None or isinstance(value, NullDate):
            return struct.pack('>q', NULL_JULIAN_DAY)
        return struct.pack('>q', value.toordinal() + JULIAN_DAY_OFFSET)
    if type_id == T_TIME:
        if value is None or isinstance(value, NullDate):
            return struct.pack('>I', NULL_LENGTH)
        return struct.pack('>I', ((value.hour * 60 + value.minute) * 60 + value.second) * 1000
                           + value.microsecond // 1000)
    if type_id == T_DATETIME:
        day, msecs, kind, rest = _date_time_fields(value if value is not None else NullDate())
        return struct.pack('>qIb', day, msecs, kind) + rest
    if type_id == T_UUID:
        return (value or uuid.UUID(int=0)).bytes
    if type_id == T_BITS:
        bits = value or []
        packed = bytearray((len(bits) + 7) // 8)
        for index, bit in enumerate(bits):
            if bit:
                packed[index // 8] |= 1 << (index % 8)
        return struct.pack('>I', len(bits)) + bytes(packed)
    if type_id in (T_POINT, T_SIZE):
        return struct.pack('>ii', *(value or (0, 0)))
    if type_id in (T_RECT, T_LINE):
        return struct.pack('>iiii', *(value or (0, 0, 0, 0)))
    if type_id in (T_POINTF, T_SIZEF):
        return struct.pack('>dd', *(value or (0.0, 0.0)))
    if type_id in (T_RECTF, T_LINEF):
        return struct.pack('>dddd', *(value or (0.0, 0.0, 0.0, 0.0)))
    raise ValueError('no way to write a value of type %d' % type_id)


def _natural_type(value):
    if value is None:
        return T_INVALID
    if isinstance(value, bool):
        return T_BOOL
    if isinstance(value, int):
        if -2 ** 31 <= value < 2 ** 31:
            return T_INT
        return T_LONGLONG if -2 ** 63 <= value < 2 ** 63 else T_ULONGLONG
    if isinstance(value, float):
        return T_DOUBLE
    if isinstance(value, str):
        return T_STRING
    if isinstance(value, (bytes, bytearray)):
        return T_BYTES
    if isinstance(value, (list, tuple)):
        return T_LIST
    if isinstance(value, dict):
        return T_MAP
    if isinstance(value, (datetime.datetime, NullDate)):
        return T_DATETIME
    if isinstance(value, datetime.date):
        return T_DATE
    if isinstance(value, datetime.time):
        return T_TIME
    if isinstance(value, uuid.UUID):
        return T_UUID
    raise ValueError('no value type for %r' % (value,))


def encode_value(value, depth=1):
    """One value: type id, null flag, then its bytes."""
    if depth > MAX_DEPTH:
        raise ValueError('nested deeper than %d' % MAX_DEPTH)
    if isinstance(value, Value):
        type_id, inner, null = value.type_id, value.value, value.null
    else:
        type_id, inner = _natural_type(value), value
        # An invalid value is always written as null, as Qt writes it.
        null = type_id == T_INVALID
    return struct.pack('>IB', type_id, 1 if null else 0) + _payload(type_id, inner, depth)


def encode_list(values):
    """A value list: its count, then the values."""
    return struct.pack('>I', len(values)) + b''.join(encode_value(v) for v in values)


# ---------------------------------------------------------------------------------------------
# Reading values

class _Reader:
    """Reads values from untrusted bytes: every count and length is checked against what is
    left before anything is taken. `trace`, when given, receives (offset, bytes, note) for a
    listing of the bytes."""

    def __init__(self, data, trace=None):
        self.data = bytes(data)
        self.pos = 0
        self.trace = trace

    def take(self, size, note=''):
        if size < 0 or self.pos + size > len(self.data):
            raise ProtocolError('value list cut short at byte %d' % self.pos)
        chunk = self.data[self.pos:self.pos + size]
        if self.trace is not None:
            self.trace.append((self.pos, chunk, note))
        self.pos += size
        return chunk

    def unpack(self, fmt, note=''):
        values = struct.unpack(fmt, self.take(struct.calcsize(fmt), note))
        return values[0] if len(values) == 1 else values

    def note(self, text):
        """Puts a note on the last bytes taken."""
        if self.trace:
            offset, chunk, old = self.trace[-1]
            self.trace[-1] = (offset, chunk, (old + ' ' + text).strip())

    def count(self, smallest, what):
        count = self.unpack('>I', '%s count' % what)
        if count > (len(self.data) - self.pos) // smallest:
            raise ProtocolError('%s count %d exceeds the bytes left' % (what, count))
        self.note('%d' % count)
        return count

    def string(self, what='string'):
        length = self.unpack('>I')
        if length == NULL_LENGTH:
            self.note('%s: null (0xFFFFFFFF)' % what)
            return None
        if length % 2:
            raise ProtocolError('odd UTF-16 byte length %d' % length)
        self.note('%s: %d bytes' % (what, length))
        text = self.take(length).decode('utf-16-be', 'surrogatepass')
        self.note(json.dumps(text))
        return text

    def byte_array(self, what='bytes'):
        length = self.unpack('>I')
        if length == NULL_LENGTH:
            self.note('%s: null (0xFFFFFFFF)' % what)
            return None
        self.note('%s: %d bytes' % (what, length))
        return self.take(length)

    def value_list(self, depth):
        count = self.count(5, 'list')
        return [self.value(depth) for _ in range(count)]

    def value(self, depth):
        type_id, null_flag = self.unpack('>IB')
        # Only the flag's lowest bit counts.
        null = bool(null_flag & 1)
        self.note('type %d %s%s' % (type_id, TYPE_NAMES.get(type_id, 'by name')
                                    if type_id != T_USER else 'by name',
                                    ', null flag' if null else ''))
        if type_id == T_USER:
            raw = self.byte_array('type name') or b''
            name = raw.split(b'\0', 1)[0].decode('latin-1')
            if len(raw) > 1024 or name not in TYPE_IDS:
                raise ProtocolError('unreadable type %r' % name)
            type_id = TYPE_IDS[name]
            self.note('%s -> type %d' % (json.dumps(name), type_id))
        if type_id in (T_LIST, T_MAP, T_HASH, T_VARIANT):
            if depth >= MAX_DEPTH:
                raise ProtocolError('containers nested deeper than %d' % MAX_DEPTH)
            if type_id == T_LIST:
                return self.value_list(depth + 1)
            if type_id == T_VARIANT:
                return self.value(depth + 1)
            entries = {}
            for _ in range(self.count(9, 'entry')):
                key = self.string('key')
                # Of repeated keys the last one read is the one Qt keeps first.
                entries[key] = self.value(depth + 1)
            return entries
        return self.plain(type_id, null)

    def plain(self, type_id, null):
        if type_id == T_INVALID:
            return None
        if type_id == T_NULLPTR:
            return Value(T_NULLPTR, None, null)
        if type_id == T_BOOL:
            flag = self.unpack('>B')
            self.note(str(flag != 0).lower())
            return flag != 0
        if type_id in INTEGER_FORMATS:
            number = self.unpack(INTEGER_FORMATS[type_id])
            self.note(str(number))
            return number
        if type_id in (T_DOUBLE, T_FLOAT):
            number = self.unpack('>d')
            self.note(repr(number))
            return number
        if type_id == T_QCHAR:
            unit = self.unpack('>H')
            self.note('U+%04X' % unit)
            return chr(unit)
        if type_id == T_STRING:
            return self.string()
        if type_id == T_BYTES:
            return self.byte_array()
        if type_id == T_STRINGLIST:
            return [self.string() for _ in range(self.count(4, 'string list'))]
        if type_id == T_BYTESLIST:
            return Value(T_BYTESLIST, [self.byte_array() for _ in range(self.count(4, 'list'))])
        if type_id == T_BITS:
            size = self.unpack('>I')
            if size > (2 ** 31 - 1) // 8 * 8 - 8:
                raise ProtocolError('bit array of %d bits' % size)
            self.note('%d bits' % size)
            packed = self.take((size + 7) // 8)
            if size % 8 and packed[-1] >> (size % 8):
                raise ProtocolError('bit array with unused bits set')
            return Value(T_BITS, [bool(packed[i // 8] >> (i % 8) & 1) for i in range(size)])
        if type_id == T_DATE:
            return self.date(self.unpack('>q', 'Julian day'))
        if type_id == T_TIME:
            return self.time(self.unpack('>I', 'msecs since midnight'))
        if type_id == T_DATETIME:
            return self.date_time()
        if type_id == T_URL:
            data = self.byte_array('url')
            return Value(T_URL, None if data is None else data.decode('utf-8', 'replace'))
        if type_id == T_LOCALE:
            return Value(T_LOCALE, self.string('locale'))
        if type_id == T_UUID:
            return uuid.UUID(bytes=self.take(16, 'uuid'))
        formats = {T_POINT: '>ii', T_SIZE: '>ii', T_RECT: '>iiii', T_LINE: '>iiii',
                   T_POINTF: '>dd', T_SIZEF: '>dd', T_RECTF: '>dddd', T_LINEF: '>dddd'}
        if type_id in formats:
            return Value(type_id, self.unpack(formats[type_id], TYPE_NAMES[type_id]))
        raise ProtocolError('unreadable value type %d' % type_id)

    def date(self, day):
        if day == NULL_JULIAN_DAY:
            self.note('(null date)')
            return NullDate()
        try:
            value = datetime.date.fromordinal(day - JULIAN_DAY_OFFSET)
        except (ValueError, OverflowError):
            raise ProtocolError('Julian day %d is beyond what this client handles' % day)
        self.note(value.isoformat())
        return value

    def time(self, msecs):
        if msecs >= MSECS_PER_DAY:
            self.note('(null time)' if msecs == NULL_LENGTH else '(invalid time)')
            return NullDate()
        value = (datetime.datetime.min + datetime.timedelta(milliseconds=msecs)).time()
        self.note(value.isoformat())
        return value

    def date_time(self):
        day = self.unpack('>q', 'Julian day')
        date = self.date(day)
        time = self.time(self.unpack('>I', 'msecs since midnight'))
        kind = self.unpack('>b', 'time kind')
        zone = None
        if kind == 0:
            self.note('0 local time')
        elif kind == 1:
            self.note('1 UTC')
            zone = datetime.timezone.utc
        elif kind == 2:
            self.note('2 offset from UTC')
            seconds = self.unpack('>i', 'offset seconds')
            if abs(seconds) > 2 ** 31 // 1000:
                raise ProtocolError('offset of %d seconds' % seconds)
            self.note(str(seconds))
            zone = datetime.timezone(datetime.timedelta(seconds=seconds))
        elif kind == 3:
            self.note('3 time zone')
            zone = self.zone()
        else:
            raise ProtocolError('time kind %d' % kind)
        if isinstance(date, NullDate) or isinstance(time, NullDate):
            return NullDate()
        return datetime.datetime.combine(date, time, zone)

    def zone(self):
        zone_id = self.string('zone id')
        if zone_id == 'OffsetFromUtc':
            zone_id = self.string('zone id')
            seconds = self.unpack('>i', 'offset seconds')
            self.string('name')
            self.string('abbreviation')
            self.unpack('>i', 'country')
            self.string('comment')
            return datetime.timezone(datetime.timedelta(seconds=seconds))
        if zone_id is None or zoneinfo is None:
            raise ProtocolError('time zone %r cannot be read here' % zone_id)
        try:
            return zoneinfo.ZoneInfo(zone_id)
        except (ValueError, zoneinfo.ZoneInfoNotFoundError):
            raise ProtocolError('unknown time zone %r' % zone_id)


def decode_list(data, trace=None):
    """A value list from untrusted bytes; bytes after it are ignored."""
    return _Reader(data, trace).value_list(1)


def ole_date(days):
    """The answer's time stamp: days since 1899-12-30 00:00 UTC; before that day the
    fraction still counts forward from midnight, with the sign of the day."""
    whole = math.trunc(days)
    fraction = abs(days - whole)
    return datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc) \
        + datetime.timedelta(days=whole) + datetime.timedelta(days=fraction)


# ---------------------------------------------------------------------------------------------
# Frames

def frame(frame_type, header_fields=b'', payload=b'', flags=0):
    body = struct.pack('>BBH', VERSION, frame_type, flags) + header_fields + payload
    return struct.pack('>I', len(body)) + body


def hello_frame(token=b''):
    if len(token) > MAX_TOKEN:
        raise ValueError('an access token has at most %d bytes' % MAX_TOKEN)
    return frame(HELLO, payload=token)


def request_frame(uid, sequence, object_id, command, payload=b'', magic=MAGIC, flags=0):
    return frame(REQUEST, struct.pack('>IiIii', uid, sequence, object_id, command, magic),
                 payload, flags)


class Message:
    def __init__(self, request_uid, object_id, kind, magic, payload):
        self.request_uid = request_uid
        self.object_id = object_id
        self.kind = kind
        self.magic = magic
        self.payload = payload

    def answer(self):
        """(time, result, command, values) of an Answer."""
        if len(self.payload) < 16:
            raise ProtocolError('answer shorter than its header')
        days, result, command = struct.unpack('<dii', self.payload[:16])
        values = decode_list(base64.b64decode(self.payload[16:], validate=True))
        return ole_date(days), result, command, values

    def notification(self):
        """(signature, arguments) of a Notify."""
        values = decode_list(base64.b64decode(self.payload, validate=True))
        if len(values) < 2 or not isinstance(values[1], str):
            raise ProtocolError('a notification without a signature')
        return values[1], values[2:]


class Refusal(Exception):
    def __init__(self, reason, text):
        super().__init__('the service refused the link: %s (%d): %s'
                         % (REFUSAL_REASONS.get(reason, '?'), reason, text))
        self.reason = reason
        self.text = text


# ---------------------------------------------------------------------------------------------
# Hex listing of frames, for --hex

def _hex_lines(offset, chunk, note, out):
    for start in range(0, max(len(chunk), 1), 16):
        piece = chunk[start:start + 16]
        out.append('  %04x  %-47s  %s' % (offset + start, piece.hex(' '), note if start == 0
                                           else ''))


def _list_listing(raw, out, title, how='Base64-decoded'):
    trace = []
    try:
        decode_list(raw, trace)
    except ProtocolError as error:
        trace.append((len(raw), b'', 'unreadable: %s' % error))
    out.append('  %s (%d bytes, %s):' % (title, len(raw), how))
    for offset, chunk, note in trace:
        _hex_lines(offset, chunk, note, out)


def describe_frame(data, direction):
    """A field-by-field listing of one whole frame (length prefix included)."""
    out = []
    frame_type = data[5]
    names = {HELLO: 'hello', REQUEST: 'request', MESSAGE: 'message', REFUSAL: 'refusal'}
    out.append('%s %s frame, %d bytes' % (direction, names.get(frame_type, '?'), len(data)))
    _hex_lines(0, data[0:4], 'length %d (big-endian)' % struct.unpack('>I', data[:4]), out)
    flags = struct.unpack('>H', data[6:8])[0]
    _hex_lines(4, data[4:8], 'version %d, type %d, flags %d%s'
               % (data[4], frame_type, flags, ' (unwrapped)' if flags & FLAG_UNWRAPPED else ''),
               out)
    payload = data[4 + HEADER_SIZES.get(frame_type, 4):]
    at = 4 + HEADER_SIZES.get(frame_type, 4)
    if frame_type == REQUEST:
        uid, sequence, object_id, command, magic = struct.unpack('>IiIii', data[8:28])
        for index, note in enumerate(('requestUid %d' % uid, 'sequence %d' % sequence,
                                      'objectId %d' % object_id,
                                      'command 0x%x %s' % (command,
                                                           COMMAND_NAMES.get(command, '?')),
                                      'magic 0x%08x' % magic)):
            _hex_lines(8 + 4 * index, data[8 + 4 * index:12 + 4 * index], note, out)
        if command == SET_EVENT:
            shown = payload.rstrip(b'\0')
            _hex_lines(at, shown, 'raw mask bytes, then %d zero bytes (%d in all)'
                       % (len(payload) - len(shown), len(payload)), out)
        elif payload:
            if flags & FLAG_UNWRAPPED:
                raw = payload
            else:
                out.append('  %04x  payload, Base64 text: %s' % (at, payload.decode('latin-1')))
                raw = base64.b64decode(payload)
            if command in (SIGCONNECT, SIGDISCONNECT):
                out.append('        decoded: %s' % raw.decode('utf-8', 'replace'))
            else:
                _list_listing(raw, out, 'value list',
                              'unwrapped' if flags & FLAG_UNWRAPPED else 'Base64-decoded')
        else:
            out.append('  %04x  payload: none' % at)
    elif frame_type == MESSAGE:
        uid, object_id, kind, magic = struct.unpack('>IIii', data[8:24])
        for index, note in enumerate(('requestUid %d' % uid, 'objectId %d' % object_id,
                                      'kind %d %s' % (kind, KIND_NAMES.get(kind, '?')),
                                      'magic 0x%08x' % magic)):
            _hex_lines(8 + 4 * index, data[8 + 4 * index:12 + 4 * index], note, out)
        if kind == ANSWER and len(payload) >= 16:
            days, result, command = struct.unpack('<dii', payload[:16])
            _hex_lines(at, payload[:8], 'time %r days (little-endian double) = %s'
                       % (days, ole_date(days).strftime('%Y-%m-%d %H:%M:%S.%f')[:-3] + ' UTC'), out)
            _hex_lines(at + 8, payload[8:12], 'result %d %s (little-endian)'
                       % (result, RESULT_NAMES.get(result, '?')), out)
            _hex_lines(at + 12, payload[12:16], 'command 0x%x %s (little-endian)'
                       % (command, COMMAND_NAMES.get(command, '?')), out)
            out.append('  %04x  value list, Base64 text: %s'
                       % (at + 16, payload[16:].decode('latin-1')))
            _list_listing(base64.b64decode(payload[16:]), out, 'value list')
        elif kind == OBJECTS_ANNOUNCED and payload:
            _hex_lines(at, payload, 'features 0x%08x' % struct.unpack('>I', payload[:4]), out)
        elif kind == NOTIFY:
            out.append('  %04x  payload, Base64 text: %s' % (at, payload.decode('latin-1')))
            _list_listing(base64.b64decode(payload), out, 'value list')
        else:
            out.append('  %04x  payload: %s' % (at, payload.hex(' ') if payload else 'none'))
    elif frame_type == HELLO:
        _hex_lines(at, payload, 'access token %s' % json.dumps(payload.decode('latin-1'))
                   if payload else 'access token: none', out)
    elif frame_type == REFUSAL:
        reason = struct.unpack('>i', data[8:12])[0]
        _hex_lines(8, data[8:12], 'reason %d %s' % (reason, REFUSAL_REASONS.get(reason, '?')),
                   out)
        _hex_lines(12, payload, 'text, UTF-8: %s' % json.dumps(payload.decode('utf-8',
                                                                               'replace')), out)
    return '\n'.join(out)


# ---------------------------------------------------------------------------------------------
# The client

def local_socket_path(name):
    """Where a service listening on local:NAME has its socket file."""
    if name.startswith('/'):
        return name
    return os.path.normpath(os.environ.get('TMPDIR') or '/tmp') + '/' + name


class RemoteObject:
    def __init__(self, object_id):
        self.object_id = object_id
        self.class_name = None
        self.name = None
        self.records = []
        self.sequence = 0

    def method(self, name, count):
        """The callable member of that name taking that many arguments; with several, the
        last one listed, as the module picks it."""
        chosen = None
        for record in self.records:
            fields = record.split(' ')
            if len(fields) != 3 or fields[0] not in ('Slot', 'Method'):
                continue
            signature = fields[2]
            parameters = signature[signature.find('(') + 1:-1]
            depth, arity = 0, 1 if parameters else 0
            for char in parameters:
                depth += (char in '<([') - (char in '>)]')
                arity += char == ',' and depth == 0
            if signature.startswith(name + '(') and arity == count:
                chosen = (fields[1], signature)
        return chosen


class Client:
    def __init__(self, address, token=b'', hex_dump=None, timeout=30.0):
        self.hex_dump = hex_dump
        if address.startswith('local:'):
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.settimeout(timeout)
            self.sock.connect(local_socket_path(address[len('local:'):]))
        elif address.startswith('tcp://'):
            host, _, port = address[len('tcp://'):].rpartition(':')
            self.sock = socket.create_connection((host.strip('[]') or '127.0.0.1', int(port)),
                                                 timeout)
        else:
            raise ValueError('not a service address: %s' % address)
        self.inbox = []
        self.last_uid = 0
        self.objects = {}
        self.announced = False
        self.features = 0
        self.send(hello_frame(token))

    def close(self):
        self.sock.close()

    def send(self, data):
        if self.hex_dump:
            self.hex_dump(describe_frame(data, '>>'))
        self.sock.sendall(data)

    def _exactly(self, size):
        data = b''
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise ConnectionError('the service closed the link')
            data += chunk
        return data

    def read_message(self):
        """The next message frame; a refusal raises Refusal."""
        prefix = self._exactly(4)
        length = struct.unpack('>I', prefix)[0]
        if length < 4 or length > MAX_BODY:
            raise ProtocolError('frame length %d' % length)
        head = self._exactly(4)
        version, frame_type, flags = struct.unpack('>BBH', head)
        if version != VERSION or flags != 0 or frame_type not in (MESSAGE, REFUSAL):
            raise ProtocolError('frame version %d, type %d, flags %d'
                                % (version, frame_type, flags))
        if length < HEADER_SIZES[frame_type] or (frame_type == REFUSAL and length > 8 + 256):
            raise ProtocolError('frame of type %d with a body of %d bytes'
                                % (frame_type, length))
        body = head + self._exactly(length - 4)
        if self.hex_dump:
            self.hex_dump(describe_frame(prefix + body, '<<'))
        if frame_type == REFUSAL:
            reason = struct.unpack('>i', body[4:8])[0]
            raise Refusal(reason, body[8:].decode('utf-8', 'replace'))
        uid, object_id, kind, magic = struct.unpack('>IIii', body[4:20])
        return Message(uid, object_id, kind, magic, body[20:])

    def next_message(self):
        """The next message, first from those set aside while waiting for an answer."""
        return self.inbox.pop(0) if self.inbox else self.read_message()

    def request(self, object_id, command, payload=b'', magic=MAGIC, flags=0):
        """Sends a request; returns its uid."""
        self.last_uid = (self.last_uid + 1) & 0xFFFFFFFF
        target = self.objects.setdefault(object_id, RemoteObject(object_id))
        sequence = target.sequence
        target.sequence = (sequence + 1 + 2 ** 31) % 2 ** 32 - 2 ** 31
        self.send(request_frame(self.last_uid, sequence, object_id, command, payload, magic,
                                flags))
        return self.last_uid

    def wait_for(self, uid):
        """The Answer or Refused message for a request; other messages are set aside, in
        order, for next_message()."""
        while True:
            message = self.read_message()
            if message.kind in (ANSWER, REFUSED) and message.request_uid == uid:
                return message
            self.inbox.append(message)

    def command(self, object_id, command, payload=b'', flags=0):
        """(result, values) of a command's answer."""
        message = self.wait_for(self.request(object_id, command, payload, flags=flags))
        if message.kind == REFUSED:
            return REFUSED, []
        _, result, answered, values = message.answer()
        if answered != command:
            raise ProtocolError('answer for command 0x%x to a 0x%x request'
                                % (answered, command))
        return result, values

    def discover(self):
        """Reads the announcements, then describes every object present: name -> object."""
        present = []
        while not self.announced:
            message = self.read_message()
            if message.kind == OBJECTS_ANNOUNCED:
                self.announced = True
                if len(message.payload) >= 4:
                    self.features = struct.unpack('>I', message.payload[:4])[0]
            elif message.kind == OBJECT_UP:
                present.append(message.object_id)
            elif message.kind == OBJECT_DOWN and message.object_id in present:
                present.remove(message.object_id)
        found = {}
        for object_id in present:
            target = self.objects.setdefault(object_id, RemoteObject(object_id))
            result, values = self.command(object_id, GETINFO)
            if result != 0 or len(values) < 2:
                continue
            target.class_name, target.name = values[0], values[1]
            result, values = self.command(object_id, GETMETAINFO)
            if result == 0 and values and isinstance(values[0], list):
                target.records = values[0][1:]
            found[target.name] = target
        return found

    def invoke(self, target, signature, arguments, holder=None):
        """(result code, returned value) of a call."""
        raw = encode_list([holder, signature] + list(arguments))
        if self.features & TAKES_UNWRAPPED and len(raw) >= UNWRAP_FROM:
            result, values = self.command(target.object_id, INVOKE, raw, FLAG_UNWRAPPED)
        else:
            result, values = self.command(target.object_id, INVOKE, base64.b64encode(raw))
        if result == 0 and (len(values) != 2 or values[0] is not True):
            raise ProtocolError('an INVOKE answer of %r' % (values,))
        return result, values[1] if result == 0 else None

    def call(self, target, name, arguments):
        """Calls a method by name and argument count, as the module does."""
        chosen = target.method(name, len(arguments))
        if chosen is None:
            raise LookupError('%s has no method %s taking %d argument(s)'
                              % (target.name, name, len(arguments)))
        return_type, signature = chosen
        # The module sends the text "void", or a null value of the return type.
        holder = 'void' if return_type == 'void' else (
            Value(TYPE_IDS[return_type], None, null=True) if return_type in TYPE_IDS
            else None)
        return self.invoke(target, signature, arguments, holder)

    def signal_command(self, target, command, signature):
        payload = base64.b64encode(signature.encode('utf-8'))
        result, values = self.command(target.object_id, command, payload)
        return result == 0 and values == [True]


# ---------------------------------------------------------------------------------------------
# Command line

def _jsonable(value):
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode('ascii')
    if isinstance(value, (uuid.UUID, NullDate)):
        return str(value)
    if isinstance(value, Value):
        return _jsonable(value.value)
    if isinstance(value, list):
        return [_jsonable(item) for item in value]
    if isinstance(value, dict):
        return {key: _jsonable(item) for key, item in value.items()}
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--connect', default='local:remoto-demo', metavar='ADDRESS')
    parser.add_argument('--token', default='', help='the access token the hello carries')
    parser.add_argument('--hex', action='store_true', help='list every frame on stderr')
    commands = parser.add_subparsers(dest='command', required=True)
    commands.add_parser('list')
    call = commands.add_parser('call')
    call.add_argument('object')
    call.add_argument('method')
    call.add_argument('arguments', nargs='*')
    watch = commands.add_parser('watch')
    watch.add_argument('object')
    watch.add_argument('signal')
    watch.add_argument('--count', type=int, default=0, help='stop after N notifications')
    options = parser.parse_args(argv)

    dump = (lambda text: print(text, file=sys.stderr)) if options.hex else None
    try:
        client = Client(options.connect, options.token.encode('utf-8'), dump)
        objects = client.discover()
        if options.command == 'list':
            for name, target in objects.items():
                print('%s (%s) #%d' % (name, target.class_name, target.object_id))
                for record in target.records:
                    print('    ' + record)
            return 0
        target = objects.get(options.object)
        if target is None:
            print('no object %s; there are: %s' % (options.object, ', '.join(objects)),
                  file=sys.stderr)
            return 2
        if options.command == 'call':
            arguments = [json.loads(text) for text in options.arguments]
            result, value = client.call(target, options.method, arguments)
            if result != 0:
                print('call failed: %s (%d)' % (RESULT_NAMES.get(result, '?'), result),
                      file=sys.stderr)
                return 1
            print(json.dumps(_jsonable(value)))
            return 0
        if not client.signal_command(target, SIGCONNECT, options.signal):
            print('%s does not relay %s' % (target.name, options.signal), file=sys.stderr)
            return 1
        seen = 0
        while not options.count or seen < options.count:
            message = client.next_message()
            if message.kind == NOTIFY and message.object_id == target.object_id:
                signature, arguments = message.notification()
                print('%s %s' % (signature, json.dumps(_jsonable(arguments))), flush=True)
                seen += 1
        client.signal_command(target, SIGDISCONNECT, options.signal)
        return 0
    except (OSError, ProtocolError, Refusal, LookupError, ValueError) as error:
        print('wire_client: %s' % error, file=sys.stderr)
        return 1


if __name__ == '__main__':
    sys.exit(main())
