"""A scriptable HTTPS server for client tests: the first path segment picks how a request is answered, the second
is the length n of the file, whose bytes are i % 251. Prints its port, then serves until killed. Each request (head
and body) is appended to the log as "<length>\\n<bytes>" before it is answered."""
import gzip
import http
import re
import socket
import ssl
import struct
import sys
import threading
import time

BLOCK = bytes(range(251)) * 261
log_lock = threading.Lock()


def pattern(start, end):
    out, at = [], start
    while at < end:
        k = at % 251
        out.append(BLOCK[k:k + min(end - at, len(BLOCK) - k)])
        at += len(out[-1])
    return b"".join(out)


def read_request(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk or len(data) > 1 << 20:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    if headers.get("expect", "").lower() == "100-continue":
        s.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    if "content-length" in headers:
        while len(body) < int(headers["content-length"]):
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
    elif headers.get("transfer-encoding", "").lower() == "chunked":
        raw, body = body, b""
        while True:
            while b"\r\n" not in raw:
                raw += s.recv(65536) or b"0\r\n\r\n"
            size_line, _, raw = raw.partition(b"\r\n")
            size = int(size_line.split(b";")[0], 16)
            while len(raw) < size + 2:
                raw += s.recv(65536) or b"\r\n"
            body, raw = body + raw[:size], raw[size + 2:]
            if size == 0:
                break
    return lines[0], headers, head + b"\r\n\r\n" + body, body


def send_head(s, status, fields):
    try:
        reason = http.HTTPStatus(status).phrase
    except ValueError:
        reason = "Status"
    lines = [f"HTTP/1.1 {status} {reason}"] + [f"{k}: {v}" for k, v in fields] + ["Connection: close", "", ""]
    s.sendall("\r\n".join(lines).encode("latin-1"))


def respond(s, method, status, fields, body):
    send_head(s, status, fields + [("Content-Length", len(body))])
    if method != "HEAD":
        s.sendall(body)


def asked_range(headers, n):
    m = re.fullmatch(r"bytes=(\d*)-(\d*)", headers.get("range", "").replace(" ", ""))
    if not m or m.group(1) == m.group(2) == "":
        return None
    if m.group(1) == "":
        return max(n - int(m.group(2)), 0), n - 1
    return int(m.group(1)), min(int(m.group(2)) if m.group(2) else n - 1, n - 1)


def serve_slice(s, method, n, start, end, status=206):
    if start > end:
        return respond(s, method, 416, [("Content-Range", f"bytes */{n}")], b"")
    respond(s, method, status, [("Content-Range", f"bytes {start}-{end}/{n}")], pattern(start, end + 1))


def answer(s, method, path, headers, body):
    parts = path.split("?")[0].strip("/").split("/") + [""]
    script = parts[0]
    n = int(parts[1]) if parts[1].isdigit() else 0
    rng = asked_range(headers, n)
    if script == "ok":
        return serve_slice(s, method, n, *rng) if rng else respond(s, method, 200, [], pattern(0, n))
    if script.startswith("redirect") and script[8:] in ("301", "302", "307", "308"):
        return respond(s, method, int(script[8:]), [("Location", f"/ok/{n}")], b"")
    if script == "gzip":
        return respond(s, method, 200, [("Content-Encoding", "gzip")], gzip.compress(pattern(0, n), mtime=0))
    if script == "chunked":
        send_head(s, 200, [("Transfer-Encoding", "chunked")])
        for at in range(0, n, 4096):
            piece = pattern(at, min(at + 4096, n))
            s.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
        return s.sendall(b"0\r\n\r\n")
    if script in ("long-body", "short-body", "drop", "stall"):
        length, sent = {"long-body": (n, n + 1), "short-body": (n, n - 1), "drop": (n, n // 2), "stall": (n, 0)}[script]
        send_head(s, 200, [("Content-Length", length)])
        s.sendall(pattern(0, sent))
        if script == "stall":
            time.sleep(60)
        if script == "drop":  # a reset, without the TLS close alert
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return script == "drop"
    if script == "full-for-range":
        return respond(s, method, 200, [], pattern(0, n))
    if script == "status" and n:
        return respond(s, method, n, [("Content-Type", "text/plain")], b"status %d\n" % n)
    if script == "json":
        return respond(s, method, 200, [("Content-Type", "application/json")], body if method == "POST" else b"")
    respond(s, method, 404, [("Content-Type", "text/plain")], b"no such script\n")


def handle(context, conn, log):
    try:
        conn.settimeout(30)
        with context.wrap_socket(conn, server_side=True) as s:
            request = read_request(s)
            if request is None:
                return
            line, headers, raw, body = request
            with log_lock:
                log.write(b"%d\n%s" % (len(raw), raw))
                log.flush()
            method, path = (line.split(" ") + ["", ""])[:2]
            if answer(s, method, path, headers, body):
                return
            try:  # send the close alert; wait only briefly for the client's
                s.settimeout(1)
                s.unwrap()
            except (OSError, ValueError):
                pass
    except (OSError, ValueError):
        pass
    finally:
        conn.close()


def main():
    cert, key, log_path = sys.argv[1:4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])
    listener = socket.create_server(("127.0.0.1", 0), backlog=64)
    log = open(log_path, "ab")
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(context, conn, log), daemon=True).start()


if __name__ == "__main__":
    main()
