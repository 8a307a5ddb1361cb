#!/usr/bin/env python3
"""Collection-service stub for the telemetry tests, on 127.0.0.1 only.

Usage: collector_stub.py --log FILE [--fail-first N] [--delay S] [--close]
Prints "LISTENING 127.0.0.1:PORT" once it accepts. Every POST is appended to FILE as one JSON line
when it arrives, before any answer:
  {"n": 1-based count, "path": ..., "body": raw body (latin-1), "fields": {name: decoded text},
   "records": [{"code": ..., "info": info text, "keys": [member names in order]}],
   "errors": [decoding problems]}
A single event ("code=...&info=...") gives one record; a batch ("data=[...]") one per element.
Form decoding: letters and digits as they are, "_" a space, "%XX" a byte; the bytes are UTF-8.
Answers {"error":0}, except: the first N posts get {"error":1}; --delay waits S seconds first;
--close drops the connection without an answer.
"""
import argparse
import json
import re
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

parser = argparse.ArgumentParser()
parser.add_argument("--log", required=True)
parser.add_argument("--fail-first", type=int, default=0)
parser.add_argument("--delay", type=float, default=0.0)
parser.add_argument("--close", action="store_true")
options = parser.parse_args()

lock = threading.Lock()
count = 0


def form_decode(text, errors):
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        if c == "_":
            out += b" "
        elif c == "%" and re.fullmatch(r"[0-9A-F]{2}", text[i + 1:i + 3]):
            out.append(int(text[i + 1:i + 3], 16))
            i += 2
        elif c.isascii() and c.isalnum():
            out += c.encode()
        else:
            errors.append("unencoded byte %r at %d" % (c, i))
            out += c.encode("latin-1")
        i += 1
    try:
        return out.decode("utf-8")
    except UnicodeDecodeError as error:
        errors.append("not UTF-8: %s" % error)
        return out.decode("latin-1")


def record(code, info, errors):
    keys = []
    try:
        keys = list(json.loads(info).keys())
    except ValueError as error:
        errors.append("info is no JSON object: %s" % error)
    return {"code": code, "info": info, "keys": keys}


def decode(body):
    errors, fields, records = [], {}, []
    for part in body.split("&"):
        name, _, value = part.partition("=")
        # The event code and the form names go out as they are.
        fields[name] = value if name == "code" else form_decode(value, errors)
    if "data" in fields:
        try:
            for element in json.loads(fields["data"]):
                records.append(record(element.get("code"), element.get("info", ""), errors))
        except ValueError as error:
            errors.append("data is no JSON array: %s" % error)
    elif "info" in fields:
        records.append(record(fields.get("code"), fields["info"], errors))
    return fields, records, errors


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        global count
        length = min(int(self.headers.get("Content-Length", "0")), 16 * 1024 * 1024)
        body = self.rfile.read(length).decode("latin-1")
        fields, records, errors = decode(body)
        with lock:
            count += 1
            n = count
            with open(options.log, "a", encoding="utf-8") as log:
                log.write(json.dumps({"n": n, "path": self.path, "body": body, "fields": fields,
                                      "records": records, "errors": errors},
                                     ensure_ascii=False) + "\n")
        if options.delay > 0:
            time.sleep(options.delay)
        if options.close:
            self.close_connection = True
            return
        answer = b'{"error":1}' if n <= options.fail_first else b'{"error":0}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print("LISTENING 127.0.0.1:%d" % server.server_address[1], flush=True)
server.serve_forever()
