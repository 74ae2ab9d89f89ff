# Parses a multipart/form-data body with Python's email package, which takes a delimiter after
# CR LF, a bare LF or a bare CR alike.
# Usage: parse_multipart.py BOUNDARY BODY_FILE
# Prints one line per part: name, filename, Content-Type and content, each in hex (an empty field as
# "-"); exits non-zero when the message or a part has defects.
import sys
from email.parser import BytesParser
boundary, path = sys.argv[1], sys.argv[2]
with open(path, 'rb') as f:
    body = f.read()
head = ('Content-Type: multipart/form-data; boundary="%s"\r\n\r\n' % boundary).encode('ascii')
msg = BytesParser().parsebytes(head + body)
if not msg.is_multipart() or msg.defects:
    print('defects', msg.defects)
    sys.exit(3)
def raw(text):
    return (text or '').encode('ascii', 'surrogateescape')
for part in msg.get_payload():
    if part.defects:
        print('defects', part.defects)
        sys.exit(4)
    fields = [raw(part.get_param('name', header='content-disposition')),
              raw(part.get_param('filename', header='content-disposition')),
              raw(part.get('Content-Type')),
              part.get_payload(decode=True) or b'']
    print(' '.join(f.hex() or '-' for f in fields))
