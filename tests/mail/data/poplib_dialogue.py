#!/usr/bin/env python3
"""The whole POP3 dialogue with Python's poplib against zel on 127.0.0.1: port, mailbox folder.

Every document of the mailbox must come back, through RETR and the email package, as an attachment
that decodes to the file's bytes; TOP gives the head only; DELE with a dropped connection and DELE
with RSET delete nothing; DELE with QUIT deletes the file. Exits non-zero on the first failure."""
import email
import os
import poplib
import socket
import sys
import time

port, folder = int(sys.argv[1]), sys.argv[2]
originals = {name: open(os.path.join(folder, name), 'rb').read() for name in os.listdir(folder)}


def login(user='aLiCe'):
    box = poplib.POP3('127.0.0.1', port, timeout=15)
    assert box.getwelcome() == b'+OK ZEL POP3 service 2.1.0444 ready', box.getwelcome()
    assert box.user(user) == b'+OK PASS please'
    assert box.pass_('secretA') == b'+OK Authenticated'
    return box


def login_after_drop(user):
    """A dropped connection is noticed by its session a moment later: until then the mailbox stays
    locked, and the login is refused with the locked reply, which must be the only refusal."""
    for _ in range(100):
        try:
            return login(user)
        except poplib.error_proto as refused:
            assert refused.args[0] == b'-ERR Mailbox already locked in', refused
            time.sleep(0.02)
    raise AssertionError('the mailbox stayed locked after the connection dropped')


box = login()
count, total = box.stat()
assert count == len(originals), (count, originals.keys())
_, listing, _ = box.list()
assert len(listing) == count and sum(int(l.split()[1]) for l in listing) == total
_, uids, _ = box.uidl()
assert [u.split()[0] for u in uids] == [str(n).encode() for n in range(1, count + 1)]
assert box.uidl(1).split()[2:] == [uids[0].split()[1]]
names = []
for number in range(1, count + 1):
    response, lines, octets = box.retr(number)
    message = email.message_from_bytes(b'\r\n'.join(lines) + b'\r\n')
    assert message['Subject'] == 'EDS' and message.get_content_type() == 'multipart/mixed'
    attachments = [p for p in message.walk() if p.get_content_disposition() == 'attachment']
    assert len(attachments) == 1
    name = attachments[0].get_filename()
    assert attachments[0].get_payload(decode=True) == originals[name], name
    names.append(name)
assert sorted(names) == sorted(originals)
for lines_asked in (0, 10, 100000):
    _, head, _ = box.top(1, lines_asked)
    text = b'\r\n'.join(head)
    assert text.startswith(b'From: <') and b'MIME-Version: 1.0' in text, text
    assert b'base64' not in text and b'Content-Disposition' not in text, text
    assert head[-1] == b'', 'the head ends with its blank line'
box.quit()

# DELE, then the connection drops: nothing is deleted.
box = login()
box.dele(1)
box.sock.shutdown(socket.SHUT_RDWR)
box.sock.close()
assert sorted(os.listdir(folder)) == sorted(originals)

# DELE, RSET brings the mark back, QUIT deletes nothing.
box = login_after_drop('ALICE')
box.dele(1)
assert box.stat()[0] == count - 1
box.rset()
assert box.stat()[0] == count
box.quit()
assert sorted(os.listdir(folder)) == sorted(originals)

# DELE then QUIT deletes exactly that document.
box = login()
box.dele(1)
box.quit()
assert sorted(os.listdir(folder)) == sorted(n for n in originals if n != names[0]), os.listdir(folder)
print('poplib dialogue passed')
