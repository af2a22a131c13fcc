#!/usr/bin/env bash
# Makes the MIME fixtures with real mail producers: Python's email package, swaks and s-nail.
# Each carries document.xml (or image.bin) as its attachment; the tests decode and compare.
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 document.py
head -c 3000 /dev/urandom > image.bin
/usr/bin/python3 - <<'PY'
from email.message import EmailMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.mime.application import MIMEApplication
from email import policy
import email.charset
doc = open('document.xml', 'rb').read()
def save(name, msg):
    open(name, 'wb').write(msg.as_bytes(policy=policy.SMTP))
m = EmailMessage()
m['From'] = 'declarant@customs.example'; m['To'] = 'gateway@edh.example'; m['Subject'] = 'EDS'
m.set_content('Declaration attached.\n')
m.add_attachment(doc, maintype='application', subtype='xml', filename='declaration.xml')
save('python-base64.eml', m)
m = EmailMessage()
m['From'] = 'declarant@customs.example'; m['To'] = 'gateway@edh.example'; m['Subject'] = 'EDS'
m.set_content('Declaration attached.\n')
m.add_attachment(doc, maintype='application', subtype='xml', filename='declaration.xml', cte='quoted-printable')
save('python-qp.eml', m)
m = EmailMessage()
m['From'] = 'declarant@customs.example'; m['To'] = 'gateway@edh.example'; m['Subject'] = 'EDS'
m.set_content('Declaration attached.\n')
m.add_attachment(doc.decode(), subtype='xml', filename='declaration.xml', cte='quoted-printable')
save('python-qp-text.eml', m)
m = MIMEMultipart()
m['Subject'] = 'EDS'
m.preamble = 'This is a multi-part message in MIME format.\n--not a delimiter'
m.epilogue = 'epilogue text\n--after the end'
m.attach(MIMEText('first part\n'))
a = MIMEApplication(open('image.bin', 'rb').read(), 'octet-stream')
a.add_header('Content-Disposition', 'attachment', filename='image.bin')
m.attach(a)
save('python-preamble-epilogue.eml', m)
PY
swaks --dump-mail --to gateway@edh.example --from declarant@customs.example --header 'Subject: EDS' \
  --body 'Declaration attached.' --attach-type application/xml --attach-name declaration.xml \
  --attach @document.xml | sed -n '/^Date:/,$p' | perl -pe 's/(?<!\r)\n/\r\n/' > swaks-base64.eml
cat > /tmp/zel-save-mail.sh <<'SH'
#!/bin/sh
cat > "$ZEL_MAIL_OUT"
SH
chmod +x /tmp/zel-save-mail.sh
echo 'Declaration attached.' | ZEL_MAIL_OUT=s-nail.raw s-nail -n -Sv15-compat -Smta=/tmp/zel-save-mail.sh \
  -Sfrom=declarant@customs.example -s EDS -a document.xml gateway@edh.example
perl -pe 's/(?<!\r)\n/\r\n/' s-nail.raw > s-nail-base64.eml
rm -f s-nail.raw /tmp/zel-save-mail.sh
