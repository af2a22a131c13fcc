# Writes document.xml: a declaration envelope whose body has long lines, Cyrillic text, a line that
# starts with "." and a line with "=", so every encoder has something to escape and fold.
body = ['<?xml version="1.0" encoding="utf-8"?>',
        '<env:Envelope xmlns:env="http://www.w3.org/2001/06/soap-envelope" xmlns:roi="urn:customs:RoutingInf:5.10.0">',
        '<env:Header><roi:RoutingInf><roi:EnvelopeID>7c1e0a52-3b6f-4f3a-9e21-5d0c2b8e4a11</roi:EnvelopeID>',
        '<roi:SenderInformation>smtp://customs.example/declarant</roi:SenderInformation>',
        '<roi:ReceiverInformation>smtp://edh.example/gateway</roi:ReceiverInformation></roi:RoutingInf>',
        '<ed:EDHeader xmlns:ed="urn:customs:EDHeader"><ed:ParticipantID>PID-0001</ed:ParticipantID></ed:EDHeader></env:Header>',
        '<env:Body><Declaration>']
for i in range(40):
    body.append('  <Line n="%d">Товар %d: ' % (i, i) + 'x' * (i * 5) + ' a=b ' + '</Line>')
body.append('.a line that starts with a period')
body.append('..two periods')
body.append('</Declaration></env:Body></env:Envelope>')
open('document.xml', 'wb').write(('\r\n'.join(body) + '\r\n').encode())
