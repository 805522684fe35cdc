"""A small LDAP responder for the referral cases that no real directory
serves with a principal-name bind: it speaks just enough LDAP (BER) to
refuse StartTLS, answer a simple bind, and answer every search with result
10 (referral) and the URLs it was given. One responder listens on one
loopback address, port 389, in a thread of the test process.

    r = Responder("127.0.0.2", ["ldap://127.0.0.3/DC=quen,DC=test"])
    r.start(); ...; r.stop()

With refuse_bind=True every bind answers 13 (confidentiality required), as
a directory does that wants an encrypted channel it cannot get; bind_result
makes every bind answer that result instead (51 busy, 52 unavailable, as an
overloaded or shutting-down directory does). With silent=True it accepts
connections and reads requests but never answers, as a hung directory."""

import socket
import threading

PORT = 389
_DIAGNOSTICS = {13: "encryption required", 51: "busy", 52: "unavailable"}


def _length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def _tlv(tag, body):
    return bytes([tag]) + _length(len(body)) + body


def _integer(tag, value):
    return _tlv(tag, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


def _string(text, tag=0x04):
    return _tlv(tag, text.encode())


def _read_tlv(data, offset):
    """(tag, body, next offset) of the element at offset, or None when data
    does not hold all of it yet."""
    if len(data) < offset + 2:
        return None
    tag = data[offset]
    first = data[offset + 1]
    offset += 2
    if first & 0x80:
        count = first & 0x7F
        if len(data) < offset + count:
            return None
        length = int.from_bytes(data[offset:offset + count], "big")
        offset += count
    else:
        length = first
    if len(data) < offset + length:
        return None
    return tag, data[offset:offset + length], offset + length


def _result(message_id, op_tag, code, diagnostic="", referrals=()):
    body = _integer(0x0A, code) + _string("") + _string(diagnostic)
    if referrals:
        body += _tlv(0xA3, b"".join(_string(url) for url in referrals))
    return _tlv(0x30, _integer(0x02, message_id) + _tlv(op_tag, body))


class Responder:
    def __init__(self, address, referrals, refuse_bind=False, bind_result=0, silent=False):
        self.address = address
        self.referrals = list(referrals)
        self.bind_result = 13 if refuse_bind else bind_result
        self.silent = silent
        self.searches = 0
        self._listener = None
        self._thread = None
        self._stopping = False

    def start(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((self.address, PORT))
        self._listener.listen(16)
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stopping = True
        try:
            # Wake accept() so the thread ends.
            socket.create_connection((self.address, PORT), timeout=1).close()
        except OSError:
            pass
        self._listener.close()
        self._thread.join(timeout=5)

    def _accept(self):
        while not self._stopping:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            if self._stopping:
                conn.close()
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        data = b""
        conn.settimeout(30)
        try:
            while True:
                element = _read_tlv(data, 0)
                if element is None:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    if not self.silent:
                        data += chunk
                    continue
                _, message, used = element
                data = data[used:]
                id_element = _read_tlv(message, 0)
                message_id = int.from_bytes(id_element[1], "big", signed=True)
                op_tag = message[id_element[2]]
                if op_tag == 0x60:  # bind request
                    code = self.bind_result
                    conn.sendall(_result(message_id, 0x61, code, _DIAGNOSTICS.get(code, "refused") if code else ""))
                elif op_tag == 0x77:  # extended request: StartTLS is not offered
                    conn.sendall(_result(message_id, 0x78, 2, "unsupported extended operation"))
                elif op_tag == 0x63:  # search request
                    self.searches += 1
                    conn.sendall(_result(message_id, 0x65, 10, "", self.referrals))
                elif op_tag == 0x42:  # unbind
                    return
                else:
                    conn.sendall(_result(message_id, 0x65, 53, "unwilling"))
        except OSError:
            pass
        finally:
            conn.close()
