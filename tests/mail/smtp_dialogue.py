#!/usr/bin/python3
# Drives zel's SMTP service as real clients do: every reply of a raw dialogue checked byte for byte
# (order errors, AUTH in all its forms, MAIL spacing, two messages after one MAIL and RCPT), and
# documents mailed with Python's smtplib and email package. Usage: smtp_dialogue.py PORT DOCS_DIR;
# writes the mailed documents' expected bytes into DOCS_DIR as <envelope id>.xml and exits 0 when
# every reply matched.
import base64
import email.policy
import smtplib
import socket
import sys
from email.message import EmailMessage

port = int(sys.argv[1])
docs = sys.argv[2]
failures = []

B64 = lambda s: base64.b64encode(s.encode() if isinstance(s, str) else s).decode()
PLAIN_OK = B64('\0alice\0secretA')


class Raw:
    def __init__(self):
        self.s = socket.create_connection(('127.0.0.1', port), timeout=15)
        self.f = self.s.makefile('rb')
        self.expect(b'220 ZEL SMTP service 2.1.0444 ready\r\n', 'greeting')

    def reply(self):
        lines = b''
        while True:
            line = self.f.readline()
            lines += line
            if len(line) < 4 or line[3:4] != b'-':
                return lines

    def expect(self, want, what):
        got = self.reply()
        if got != want:
            failures.append('%s: got %r, want %r' % (what, got, want))

    def send(self, line, want, what=None):
        self.s.sendall(line.encode() + b'\r\n')
        self.expect(want, what or line)

    def close(self):
        self.s.close()


def document(envelope_id, extra=''):
    return ('<?xml version="1.0" encoding="utf-8"?>\r\n<ed:Envelope xmlns:ed="urn:e"><ed:EDHeader>'
            '<ed:ParticipantID>PID-A</ed:ParticipantID></ed:EDHeader><ed:RoutingInf><ed:EnvelopeID>%s'
            '</ed:EnvelopeID></ed:RoutingInf>\r\n<Body>\r\n%s\r\n</Body></ed:Envelope>\r\n' % (envelope_id, extra))


def mail(subject, doc, cte='base64', disposition='attachment'):
    m = EmailMessage()
    m['From'] = 'declarant@customs.example'
    m['To'] = 'gateway@edh.example'
    m['Subject'] = subject
    m.set_content('Declaration attached.\n')
    if cte == 'base64':
        m.add_attachment(doc.encode(), maintype='application', subtype='xml', filename='d.xml',
                         disposition=disposition)
    else:
        m.add_attachment(doc, subtype='xml', filename='d.xml', cte=cte, disposition=disposition)
    return m.as_bytes(policy=email.policy.SMTP)


def expect_docs(**expected):
    for name, doc in expected.items():
        with open('%s/%s.xml' % (docs, name), 'wb') as f:
            f.write(doc.encode())


OK = b'250 Ok\r\n'
NEED = '503 5.5.1 Error: need %s command\r\n'
SYNTAX = b'501 5.5.4 Bad syntax\r\n'
AUTH_OK = b'235 2.7.0 Authentication successful\r\n'
AUTH_FAIL = b'535 5.7.8 Error: Authentication failed\r\n'

# Order errors in their order, with their codes and texts.
c = Raw()
c.send('MAIL FROM:<a@b>', (NEED % 'HELO/EHLO').encode(), 'MAIL before EHLO')
c.send('RCPT TO:<a@b>', (NEED % 'HELO/EHLO').encode(), 'RCPT before EHLO')
c.send('DATA', (NEED % 'HELO/EHLO').encode(), 'DATA before EHLO')
c.send('AUTH PLAIN ' + PLAIN_OK, (NEED % 'HELO/EHLO').encode(), 'AUTH before EHLO')
c.send('AUTH', SYNTAX)
c.send('AUTH CRAM-MD5', SYNTAX)
c.send('EHLO', SYNTAX)
c.send('HELO', SYNTAX)
c.send('MAIL', SYNTAX)
c.send('RSET', b'502 5.5.2 Error: command not recognized\r\n')
c.send('NOOP', b'502 5.5.2 Error: command not recognized\r\n')
c.s.sendall(b'EHLO client.example\r\n')
got = c.reply()
if not (got.startswith(b'250-') and got.endswith(b' Hello client.example\r\n250 AUTH LOGIN PLAIN\r\n')):
    failures.append('EHLO: %r' % got)
c.send('MAIL FROM:<a@b>', b'530 5.7.0 Authentication required\r\n', 'MAIL before AUTH')
c.send('RCPT TO:<a@b>', b'530 5.7.0 Authentication required\r\n', 'RCPT before AUTH')
c.send('DATA', b'530 5.7.0 Authentication required\r\n', 'DATA before AUTH')
c.send('AUTH PLAIN ' + PLAIN_OK, AUTH_OK, 'AUTH PLAIN with initial response')
c.send('RCPT TO:<a@b>', (NEED % 'MAIL').encode(), 'RCPT before MAIL')
c.send('DATA', (NEED % 'MAIL').encode(), 'DATA before MAIL')
c.send('MAIL FROM :<a@b>', SYNTAX, 'MAIL with a space before the colon')
c.send('MAIL TO:<a@b>', SYNTAX, 'MAIL with another word')
c.send('MAIL FROM: <a@b>', OK, 'MAIL with a space after the colon')
c.send('DATA', (NEED % 'RCPT').encode(), 'DATA before RCPT')
c.send('RCPT FROM:<a@b>', SYNTAX, 'RCPT with another word')
c.send('rcpt to:<gateway@edh.example>', OK, 'RCPT in lower case')
# Two messages after one MAIL and one RCPT.
for n in (1, 2):
    doc = document('TWO-%d' % n)
    c.send('DATA', b'354 End data with <CR><LF>.<CR><LF>\r\n', 'DATA %d' % n)
    c.s.sendall(mail('EDS', doc).replace(b'\r\n.', b'\r\n..') + b'\r\n.\r\n')
    c.expect(OK, 'message %d' % n)
    expect_docs(**{'TWO-%d' % n: doc})
c.send('QUIT', b'221 2.0.0 Bye\r\n')
c.close()

# AUTH PLAIN in the dialogue, AUTH LOGIN in both forms, and refusals.
c = Raw()
c.s.sendall(b'HELO client.example\r\n')
got = c.reply()
if not (got.startswith(b'250 ') and got.endswith(b'\r\n') and b'\r\n' not in got[:-2]):
    failures.append('HELO: %r' % got)
c.send('AUTH PLAIN', b'334\r\n', 'AUTH PLAIN without initial response')
c.send(PLAIN_OK, AUTH_OK, 'PLAIN response in the dialogue')
c.send('AUTH LOGIN', b'334 VXNlcm5hbWU6\r\n', 'AUTH LOGIN')
c.send(B64('alice'), b'334 UGFzc3dvcmQ6\r\n', 'LOGIN user')
c.send(B64('secretA'), AUTH_OK, 'LOGIN password')
c.send('AUTH LOGIN ' + B64('ALICE'), b'334 UGFzc3dvcmQ6\r\n', 'AUTH LOGIN with initial response')
c.send(B64('secretA'), AUTH_OK, 'LOGIN password after initial response, login in capitals')
c.send('AUTH PLAIN ' + B64('\0alice'), AUTH_FAIL, 'PLAIN without the password part')
c.send('AUTH PLAIN ' + B64('\0alice\0'), AUTH_FAIL, 'PLAIN with an empty password')
c.send('AUTH LOGIN', b'334 VXNlcm5hbWU6\r\n', 'AUTH LOGIN again')
c.send(B64('alice'), b'334 UGFzc3dvcmQ6\r\n', 'LOGIN user again')
c.send(B64('secreta'), AUTH_FAIL, 'LOGIN wrong password')
c.send('MAIL FROM:<a@b>', b'530 5.7.0 Authentication required\r\n', 'MAIL after a failed AUTH')
c.send('QUIT', b'221 2.0.0 Bye\r\n')
c.close()

# smtplib: AUTH PLAIN and LOGIN as it sends them, documents in both transfer encodings, and
# packets that are answered 250 and stored nowhere.
dotted = '.a line that starts with a period\r\n..and one with two'
for mechanism in ('PLAIN', 'LOGIN'):
    with smtplib.SMTP('127.0.0.1', port, timeout=15) as s:
        s.ehlo('client.example')
        s.user, s.password = 'alice', 'secretA'
        code, text = s.auth(mechanism, getattr(s, 'auth_' + mechanism.lower()), initial_response_ok=True)
        if code != 235:
            failures.append('smtplib AUTH %s: %d %r' % (mechanism, code, text))
        b64 = document('SMTPLIB-B64-' + mechanism)
        qp = document('SMTPLIB-QP-' + mechanism, dotted)
        s.sendmail('declarant@customs.example', ['gateway@edh.example'], mail('EDS', b64))
        s.sendmail('declarant@customs.example', ['gateway@edh.example'], mail('EDS', qp, 'quoted-printable'))
        expect_docs(**{'SMTPLIB-B64-' + mechanism: b64, 'SMTPLIB-QP-' + mechanism: qp})
        for what, message in (('subject eds', mail('eds', document('NOT-1'))),
                              ('no attachment', mail('EDS', document('NOT-2'), disposition='inline')),
                              ('7bit', mail('EDS', document('NOT-3'), cte='7bit'))):
            refused = s.sendmail('declarant@customs.example', ['gateway@edh.example'], message)
            if refused:
                failures.append('smtplib %s: %r' % (what, refused))
        try:
            s.sendmail('a@b', ['c@d'], mail('EDS', document('../escape')))
            failures.append('a path as envelope identifier was accepted')
        except smtplib.SMTPDataError as e:
            if e.smtp_code != 554:
                failures.append('a path as envelope identifier: %r' % e)

for f in failures:
    print('FAIL', f)
print('%d failures' % len(failures))
sys.exit(1 if failures else 0)
