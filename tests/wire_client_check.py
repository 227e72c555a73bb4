#!/usr/bin/env python3
"""Runs wire_client.py against the demo service as a host in another language would: the
socket found where docs/wire-protocol.md says, the access token, discovery, calls with every
common value shape, the result codes of bad requests, and a subscription with its
notifications. Exits with 1 at the first mismatch.

    wire_client_check.py DEMO_SERVICE [--hex]

--hex lists every frame of the run on standard output.
"""

import base64
import datetime
import os
import shutil
import stat
import subprocess
import sys
import tempfile

# Run from the source tree: leave no compiled copy of the client there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire_client as wire  # noqa: E402

TOKEN = b'wire-check-token'
UTC = datetime.timezone.utc


class Mismatch(Exception):
    pass


def expect(what, actual, expected):
    if actual != expected:
        raise Mismatch('%s: expected %r, got %r' % (what, expected, actual))
    print('ok - %s: %s' % (what, actual.hex(' ') if isinstance(actual, bytes) else repr(actual)))


def start_service(program, name):
    service = subprocess.Popen([program, '--listen', 'local:' + name, '--token', TOKEN],
                               stdout=subprocess.PIPE, universal_newlines=True)
    for line in service.stdout:
        if line.startswith('listening on'):
            return service
    service.wait()
    raise Mismatch('the service ended (status %s) without listening' % service.returncode)


def stop_service(service):
    """Stops the service as its users do; under the sanitizers its exit status tells of
    leaks and faults found on the way out."""
    service.terminate()
    try:
        status = service.wait(60)
    except subprocess.TimeoutExpired:
        service.kill()
        service.wait()
        raise Mismatch('the service did not stop on SIGTERM')
    expect('the service\'s exit status', status, 0)


def check_codecs():
    # The date-time of the value encoding's example, both ways.
    moment = datetime.datetime(2024, 5, 6, 7, 8, 9, 10000, tzinfo=UTC)
    documented = bytes.fromhex('00000010 00 0000000000258b15 0187fbb2 01')
    expect('a UTC date-time written', wire.encode_value(moment), documented)
    expect('a UTC date-time read', wire.decode_list(b'\0\0\0\1' + documented), [moment])
    expect('an answer time stamp before 1899-12-30', wire.ole_date(-1.75),
           datetime.datetime(1899, 12, 29, 18, tzinfo=UTC))


def check_refused_token(address, dump):
    client = wire.Client(address, b'not the token', dump)
    try:
        client.discover()
        raise Mismatch('a wrong access token was admitted')
    except wire.Refusal as refusal:
        expect('refusal reason for a wrong token', refusal.reason, 1)
    finally:
        client.close()


def call(client, target, method, *arguments):
    result, value = client.call(target, method, list(arguments))
    if result != 0:
        raise Mismatch('%s.%s%r failed with result %d' % (target.name, method, arguments, result))
    return value


def invoke_collecting(client, target, signature):
    """The answer of a call and the notifications that came before it."""
    payload = base64.b64encode(wire.encode_list(['void', signature]))
    uid = client.request(target.object_id, wire.INVOKE, payload)
    notifications = []
    while True:
        message = client.read_message()
        if message.kind == wire.NOTIFY and message.object_id == target.object_id:
            notifications.append(message.notification())
        elif message.kind == wire.ANSWER and message.request_uid == uid:
            return message.answer(), notifications


def check_session(client):
    objects = client.discover()
    expect('objects and ids in publishing order',
           [(name, target.object_id) for name, target in objects.items()],
           [('calculator', 1), ('counter', 2), ('clock', 3), ('admin', 4)])
    calculator, counter, admin = objects['calculator'], objects['counter'], objects['admin']
    expect('calculator class', calculator.class_name, 'Calculator')
    expect('counter members', counter.records,
           ['Signal void changed(int)', 'Slot void increment()', 'Slot void reset()',
            'Method int value()'])

    expect('add(2, 3)', call(client, calculator, 'add', 2, 3), 5)
    expect('add(1, 2, 3)', call(client, calculator, 'add', 1, 2, 3), 6)
    expect('greet("wire")', call(client, calculator, 'greet', 'wire'), 'Hello, wire!')
    expect('service takes unwrapped requests', client.features & wire.TAKES_UNWRAPPED,
           wire.TAKES_UNWRAPPED)
    long_name = 'w' * 5000
    expect('greet(5000 characters), sent unwrapped',
           call(client, calculator, 'greet', long_name), 'Hello, %s!' % long_name)
    moment = datetime.datetime(2024, 5, 6, 7, 8, 9, 10000, tzinfo=UTC)
    expect('greet(a UTC date-time)', call(client, calculator, 'greet', moment),
           'Hello, 2024-05-06T07:08:09.010Z!')
    expect('stats([1, 2, 3.5])', call(client, calculator, 'stats', [1, 2, 3.5]),
           {'count': 3, 'sum': 6.5, 'mean': 6.5 / 3})
    expect('published()', call(client, admin, 'published'),
           ['calculator', 'counter', 'clock', 'admin'])
    expect('value() with a date-time return holder',
           client.invoke(counter, 'value()', [], holder=moment), (0, 0))

    expect('add(1.5, 1.5): INVALID_PARAM',
           client.invoke(calculator, 'add(int,int)', [1.5, 1.5]), (4, None))
    expect('nosuch(): INVALID_COMMAND', client.invoke(calculator, 'nosuch()', []), (2, None))
    expect('GETINFO of an unknown id: INVALID_DEVICE_ID', client.command(999, wire.GETINFO),
           (3, []))
    uid = client.request(calculator.object_id, wire.GETINFO, magic=0x1234)
    refused = client.wait_for(uid)
    expect('a request with a wrong magic', (refused.kind, refused.object_id, refused.payload),
           (wire.REFUSED, calculator.object_id, b''))
    client.request(counter.object_id, wire.SET_EVENT, b'\x02' + bytes(254))
    uid = client.request(counter.object_id, wire.GETINFO)
    expect('the message after SET_EVENT and GETINFO answers', client.read_message().request_uid,
           uid)

    expect('SIGCONNECT changed(int)',
           client.signal_command(counter, wire.SIGCONNECT, 'changed(int)'), True)
    (stamp, result, command, values), notifications = invoke_collecting(
        client, counter, 'increment()')
    expect('increment() answer', (result, command, values), (0, wire.INVOKE, [True, None]))
    expect('notifications before the answer', notifications, [('changed(int)', [1])])
    now = datetime.datetime.now(UTC)
    if abs(stamp - now) > datetime.timedelta(days=1):
        raise Mismatch('answer time stamp %s is not about now (%s)' % (stamp, now))
    print('ok - answer time stamp: %s' % stamp.isoformat())
    expect('SIGDISCONNECT changed(int)',
           client.signal_command(counter, wire.SIGDISCONNECT, 'changed(int)'), True)
    _, notifications = invoke_collecting(client, counter, 'increment()')
    expect('notifications after unsubscribing', notifications, [])
    expect('value() after two increments', call(client, counter, 'value'), 2)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    dump = print if '--hex' in sys.argv[2:] else None
    # A folder of its own for the socket file: the client finds it through TMPDIR as Qt does.
    folder = tempfile.mkdtemp(prefix='remoto-wire-')
    os.environ['TMPDIR'] = folder
    name = 'demo-%d' % os.getpid()
    service = None
    try:
        check_codecs()
        service = start_service(sys.argv[1], name)
        path = wire.local_socket_path(name)
        expect('socket file at $TMPDIR/NAME', stat.S_ISSOCK(os.stat(path).st_mode), True)
        check_refused_token('local:' + name, dump)
        client = wire.Client('local:' + name, TOKEN, dump)
        try:
            check_session(client)
        finally:
            client.close()
        running, service = service, None
        stop_service(running)
    except (Mismatch, OSError, wire.ProtocolError, wire.Refusal, LookupError) as error:
        print('FAIL - %s' % error)
        return 1
    finally:
        if service:
            service.kill()
            service.wait()
        shutil.rmtree(folder, ignore_errors=True)
    print('all checks passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
