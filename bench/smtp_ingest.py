#!/usr/bin/python3
# SMTP ingest of one mailed document of 10 MB and of 100 MB: zel's SMTP service (the document
# decoded and written durably into outbound before the reply) against Python's aiosmtpd receiving
# the same message in the same run (its handler writes the message to a file and fsyncs it).
# Prints the time from DATA to the final reply, MB/s, zel's peak RSS, and the per-byte growth
# from 10 MB to 100 MB. Usage: smtp_ingest.py ZEL_BINARY ZEL_SEAL
import base64, os, socket, subprocess, sys, tempfile, time, threading

zel_binary, zel_seal = sys.argv[1], sys.argv[2]
SIZES = [10 * 2**20, 100 * 2**20]
ROUNDS = 3


def free_port():
    s = socket.socket(); s.bind(('127.0.0.1', 0)); p = s.getsockname()[1]; s.close(); return p


def message(size):
    padding = b'x' * max(0, size * 3 // 4 - 300)
    doc = (b'<?xml version="1.0"?><ed:Envelope xmlns:ed="urn:e"><ed:EDHeader><ed:ParticipantID>PID-A'
           b'</ed:ParticipantID></ed:EDHeader><ed:RoutingInf><ed:EnvelopeID>BENCH-%d</ed:EnvelopeID>'
           b'</ed:RoutingInf><Body>%s</Body></ed:Envelope>' % (size, padding))
    text = base64.b64encode(doc)
    lines = b'\r\n'.join(text[i:i + 76] for i in range(0, len(text), 76))
    head = (b'From: a@b\r\nTo: c@d\r\nSubject: EDS\r\nMIME-Version: 1.0\r\n'
            b'Content-Type: multipart/mixed; boundary="=_b"\r\n\r\n--=_b\r\nContent-Type: text/plain\r\n\r\nx\r\n'
            b'--=_b\r\nContent-Type: application/xml\r\nContent-Disposition: attachment; filename="d.xml"\r\n'
            b'Content-Transfer-Encoding: base64\r\n\r\n')
    return head + lines + b'\r\n--=_b--\r\n', doc


def reply(f):
    got = b''
    while True:
        line = f.readline()
        got += line
        if len(line) < 4 or line[3:4] != b'-':
            return got


def ingest(port, mail, auth):
    s = socket.create_connection(('127.0.0.1', port), timeout=600)
    f = s.makefile('rb')
    reply(f)
    def cmd(line):
        s.sendall(line + b'\r\n'); r = reply(f); return r
    cmd(b'EHLO bench.example')
    if auth:
        assert cmd(b'AUTH PLAIN ' + base64.b64encode(b'\0alice\0secretA')).startswith(b'235')
    assert cmd(b'MAIL FROM:<a@b>').startswith(b'250')
    assert cmd(b'RCPT TO:<c@d>').startswith(b'250')
    start = time.perf_counter()
    assert cmd(b'DATA').startswith(b'354')
    s.sendall(mail)
    s.sendall(b'\r\n.\r\n')
    r = reply(f)
    elapsed = time.perf_counter() - start
    assert r.startswith(b'250'), r
    cmd(b'QUIT'); s.close()
    return elapsed


def peak_rss_kib(pid):
    for line in open('/proc/%d/status' % pid):
        if line.startswith('VmHWM:'):
            return int(line.split()[1])
    return 0


work = tempfile.mkdtemp(prefix='smtp-bench-')
base = work + '/base'
for d in ('in', 'out', 'bad', 'queue', 'temp', 'log', 'state'):
    os.makedirs(base + '/' + d)
smtp, pop3, aio = free_port(), free_port(), free_port()
stored = subprocess.check_output([zel_seal, 'alice', 'secretA']).decode().strip()
open(base + '/config.xml', 'w').write(
    "<config><Basedir path='%s'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/>"
    "<Bad path='$basedir/bad'/><Queue path='$basedir/queue'/><Temp path='$basedir/temp'/>"
    "<Logfile path='$basedir/log/zel.log'/><Accounts><Account name='A' ParticipantID='PID-A' login='alice' "
    "password='%s' hostid='0'/></Accounts><Server port='9' refresh='3600' list='/l' get='/g' post='/p' remove='/r'/>"
    "<Mailserver enabled='true' smtp_port='%d' pop3_port='%d'/></config>" % (base, stored, smtp, pop3))
env = dict(os.environ, ZEL_STATE_DIR=base + '/state', ZEL_SERVER_HOSTS='127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1',
           NOTIFY_SOCKET='')
zel = subprocess.Popen([zel_binary, '-f', '-c', base + '/config.xml'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
saved = work + '/aiosmtpd'
os.makedirs(saved)
server_code = r'''
import os, sys, asyncio
from aiosmtpd.controller import Controller
class Keep:
    async def handle_DATA(self, server, session, envelope):
        with open(os.path.join(sys.argv[2], 'message'), 'wb') as f:
            f.write(envelope.original_content or envelope.content)
            f.flush(); os.fsync(f.fileno())
        return '250 Ok'
c = Controller(Keep(), hostname='127.0.0.1', port=int(sys.argv[1]), data_size_limit=0)
c.start()
sys.stdout.write('ready\n'); sys.stdout.flush()
sys.stdin.read()
c.stop()
'''
aiosmtpd = subprocess.Popen(['/usr/bin/python3', '-c', server_code, str(aio), saved], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
aiosmtpd.stdout.readline()
for _ in range(200):
    try:
        socket.create_connection(('127.0.0.1', smtp), timeout=1).close(); break
    except OSError:
        time.sleep(0.05)

results = {}
try:
    for size in SIZES:
        mail, doc = message(size)
        z = min(ingest(smtp, mail, True) for _ in range(ROUNDS))
        stored_doc = open(base + '/out/BENCH-%d.xml' % size, 'rb').read() if os.path.exists(
            base + '/out/BENCH-%d.xml' % size) else None
        a = min(ingest(aio, mail, False) for _ in range(ROUNDS))
        results[size] = (len(mail), z, a, stored_doc is None or stored_doc == doc)
    rss = peak_rss_kib(zel.pid)
finally:
    zel.terminate(); zel.wait()
    aiosmtpd.stdin.close(); aiosmtpd.wait()
    subprocess.call(['rm', '-rf', work])

print('%-10s %12s %10s %10s %12s %10s %8s' % ('message', 'bytes', 'zel s', 'zel MB/s', 'aiosmtpd s', 'aio MB/s', 'zel/aio'))
for size, (n, z, a, ok) in results.items():
    print('%-10s %12d %10.3f %10.1f %12.3f %10.1f %8.2f%s' % ('%d MB' % (size >> 20), n, z, n / z / 1e6, a,
                                                             n / a / 1e6, z / a, '' if ok else '  STORED BYTES DIFFER'))
(n1, z1, a1, _), (n2, z2, a2, _) = results[SIZES[0]], results[SIZES[1]]
growth = (z2 / n2) / (z1 / n1)
print('zel time per byte, 100 MB against 10 MB: %.2fx (target at most 1.2x); aiosmtpd %.2fx' % (growth, (a2 / n2) / (a1 / n1)))
print('zel peak RSS: %.1f MiB' % (rss / 1024))
sys.exit(0 if growth <= 1.2 and all(r[3] for r in results.values()) else 1)
