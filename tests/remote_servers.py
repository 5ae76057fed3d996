"""Servers on loopback for the remote-file tests: nginx over HTTP and HTTPS, and a proxy that injects faults."""
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


# nginx lives in /usr/sbin on Debian, which a user's PATH may leave out.
NGINX = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def make_certificates(directory):
    """A certificate authority and a server certificate for 127.0.0.1 it signed: (ca, cert, key) paths."""
    ca_key, ca = os.path.join(directory, "ca.key"), os.path.join(directory, "ca.pem")
    key, csr, cert = (os.path.join(directory, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(directory, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n")
    quiet = {"check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
                    "-days", "2", "-subj", "/CN=sekva test CA"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=127.0.0.1"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
                    "-out", cert, "-days", "2", "-extfile", ext], **quiet)
    return ca, cert, key



def stop_process(process):
    """Terminates a server process (killed if it does not stop within 10 s) and waits for it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def read_fai(path):
    """{name: (length, offset, bases per line, bytes per line)} of a .fai file."""
    with open(path) as f:
        return {p[0]: tuple(int(x) for x in p[1:5]) for p in (line.split("\t") for line in f)}


def spanned_bytes(fai, regions, slack=False):
    """Bytes of the file the bases of (name, start, end) regions lie in (1-based, clamped to their
    record), overlaps counted once; with `slack`, each with one line more, as a reader's window has."""
    spans = []
    for name, s, e in regions:
        length, offset, lenc, lenb = fai[name]
        s, e = max(s, 1), min(e, length)
        if s > e:
            continue
        first = offset + (s - 1) // lenc * lenb + (s - 1) % lenc
        last = offset + (e - 1) // lenc * lenb + (e - 1) % lenc + 1
        spans.append((first, last + (lenb if slack else 0)))
    spans.sort()
    total = reach = 0
    for a, b in spans:
        a = max(a, reach)
        if b > a:
            total += b - a
            reach = b
    return total

class Nginx:
    """nginx serving `root` on 127.0.0.1 over HTTP (`http_url`) and HTTPS (`https_url`), in the foreground."""

    TOKEN = "ya29.sekva-test-token"

    def __init__(self, root, workdir, access_log=None):
        """`access_log`, when given, is a file that gets one line per request: status, body bytes
        sent, and the Range asked for."""
        self.root = root
        self.http_port, self.https_port = free_port(), free_port()
        self.ca, cert, key = make_certificates(workdir)
        conf = os.path.join(workdir, "nginx.conf")
        temp = os.path.join(workdir, "temp")
        os.makedirs(temp, exist_ok=True)
        # /moved.fa (and its index) redirect within the server; /away.fa to plain HTTP on another host
        # name (from HTTP) or to plain HTTP (from HTTPS); /secret.fa is forbidden; /bucket/ wants
        # TOKEN as a bearer token, as a Google Cloud Storage bucket would; .../away-https.fa (over
        # HTTP) redirects to HTTPS on another host name.
        locations = ("location /bucket/ { if ($http_authorization != \"Bearer " + self.TOKEN + "\") { return 401; } } "
                     "location = /moved.fa { return 302 /plain.fa; } "
                     "location = /moved.fa.fai { return 302 /plain.fa.fai; } "
                     "location = /secret.fa { return 403; }")
        logging = (f"log_format counted '$status $body_bytes_sent \"$http_range\"'; access_log {access_log} counted;"
                   if access_log else "access_log off;")
        with open(conf, "w") as f:
            f.write(f"""
daemon off;
master_process off;
worker_processes 1;
pid {workdir}/nginx.pid;
error_log {workdir}/error.log;
events {{ worker_connections 256; }}
http {{
    {logging}
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{self.http_port};
        root {root};
        {locations}
        location = /away.fa {{ return 302 http://localhost:{self.http_port}/plain.fa; }}
        location ~ /away-https[.]fa$ {{ return 302 https://localhost:{self.https_port}/plain.fa; }}
    }}
    server {{
        listen 127.0.0.1:{self.https_port} ssl;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        root {root};
        {locations}
        location = /away.fa {{ return 302 http://127.0.0.1:{self.http_port}/plain.fa; }}
    }}
}}
""")
        self.process = subprocess.Popen([NGINX, "-p", workdir, "-c", conf, "-e", f"{workdir}/error.log"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not (wait_for_port(self.http_port, self.process) and wait_for_port(self.https_port, self.process)):
            self.stop()
            with open(os.path.join(workdir, "error.log")) as f:
                raise RuntimeError("nginx did not start: " + f.read())

    def http_url(self, name):
        return f"http://127.0.0.1:{self.http_port}/{name}"

    def https_url(self, name):
        return f"https://127.0.0.1:{self.https_port}/{name}"

    def stop(self):
        stop_process(self.process)


class S3Server:
    """moto's S3 server on 127.0.0.1, in a process of its own, with IAM checking every request's
    signature once `authenticate()` is called.

    `client()` is a boto3 client with the user's keys (`access_key`, `secret_key`), made through IAM
    with a policy that allows every S3 action. `url` is the endpoint (AWS_ENDPOINT_URL).
    """

    def __init__(self, workdir):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.log = open(os.path.join(workdir, "moto.log"), "w")
        env = dict(os.environ, AWS_ACCESS_KEY_ID="setup", AWS_SECRET_ACCESS_KEY="setup")
        self.process = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(self.port)],
                                        stdout=self.log, stderr=subprocess.STDOUT, env=env)
        if not wait_for_port(self.port, self.process, 30):
            self.stop()
            raise RuntimeError("moto_server did not start")
        iam = self._boto("iam", "setup", "setup")
        iam.create_user(UserName="reader")
        iam.put_user_policy(UserName="reader", PolicyName="all-s3", PolicyDocument=json.dumps({
            "Version": "2012-10-17",
            "Statement": [{"Effect": "Allow", "Action": ["s3:*", "sts:*"], "Resource": "*"}]}))
        key = iam.create_access_key(UserName="reader")["AccessKey"]
        self.access_key, self.secret_key = key["AccessKeyId"], key["SecretAccessKey"]

    def _boto(self, service, access, secret, **options):
        import boto3
        return boto3.client(service, endpoint_url=self.url, region_name="us-east-1", aws_access_key_id=access,
                            aws_secret_access_key=secret, **options)

    def client(self, service="s3", **options):
        return self._boto(service, self.access_key, self.secret_key, **options)

    def authenticate(self, on=True):
        """From now on every request is checked (its signature, its keys, their permission), or,
        with on=False, none is (moto cannot serve an unsigned request while it checks)."""
        request = urllib.request.Request(self.url + "/moto-api/reset-auth", data=b"0" if on else b"inf", method="POST",
                                         headers={"Content-Type": "text/plain"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            answer.read()

    def stop(self):
        stop_process(self.process)
        self.log.close()


def proxy_server(upstream_port):
    """The fault-injecting proxy's server, not yet serving (FaultProxy runs it in a process of its own,
    so that what the tests count is never slowed by the tests' own interpreter)."""
    state = {"faults": [], "always": None, "delay": 3.0, "requests": [], "authorization": [], "statuses": [],
             "body_bytes": 0}
    lock = threading.Lock()

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def control(self):
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query, keep_blank_values=True)
            with lock:
                if "faults" in query:
                    state["faults"] = [f for f in query["faults"][0].split(",") if f]
                if "always" in query:
                    state["always"] = query["always"][0] or None
                if "delay" in query:
                    state["delay"] = float(query["delay"][0])
                if "reset" in query:
                    state["requests"], state["authorization"], state["statuses"], state["body_bytes"] = [], [], [], 0
                body = json.dumps({"requests": state["requests"], "authorization": state["authorization"],
                                   "statuses": state["statuses"], "body_bytes": state["body_bytes"]}).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self):
            if self.path.startswith("/_proxy"):
                self.control()
                return
            with lock:
                state["requests"].append((self.path, self.headers.get("Range")))
                state["authorization"].append(self.headers.get("Authorization"))
                fault = state["faults"].pop(0) if state["faults"] else state["always"]
            if fault == "drop":
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            if fault == "delay":
                time.sleep(state["delay"])
            if fault == "503":
                self.send_response(503)
                self.send_header("Retry-After", "0")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            # The Host header goes on as the client sent it: a signed request signed it.
            headers = {k: v for k, v in self.headers.items() if k.lower() != "connection"}
            if fault == "ignore_range":
                headers.pop("Range", None)
            upstream = http.client.HTTPConnection("127.0.0.1", upstream_port, timeout=30)
            try:
                upstream.request("GET", self.path, headers=headers)
                answer = upstream.getresponse()
                body = answer.read()
                self.send_response(answer.status)
                for k, v in answer.getheaders():
                    key = k.lower()
                    if key in ("connection", "content-length", "transfer-encoding", "keep-alive", "server", "date"):
                        continue
                    if fault == "wrong_range" and key == "content-range":
                        unit, rest = v.split(" ", 1)
                        span, total = rest.split("/")
                        a, b = (int(x) for x in span.split("-"))
                        v = f"{unit} {a + 1}-{b + 1}/{total}"
                    if fault == "etag" and key == "etag":
                        v = '"changed-' + v.strip('"') + '"'
                    self.send_header(k, v)
                # "truncate" promises the whole body and closes half-way; "short" sends half a body
                # with a length that fits it.
                sent = body[: len(body) // 2] if fault in ("truncate", "short") else body
                self.send_header("Content-Length", str(len(body) if fault == "truncate" else len(sent)))
                self.end_headers()
                with lock:
                    state["body_bytes"] += len(sent)
                    state["statuses"].append(answer.status)
                self.wfile.write(sent)
                self.wfile.flush()
                if fault == "truncate":
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                self.close_connection = True
            finally:
                upstream.close()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    return server


def serve_proxy(upstream_port):
    server = proxy_server(upstream_port)
    print(server.server_address[1], flush=True)
    server.serve_forever()


class FaultProxy:
    """An HTTP proxy in a process of its own, forwarding GETs to an upstream port and counting what
    it sends.

    `set(faults=[...])` gives fault names, each used up by one request (in order); `set(always=...)`
    one that applies to every request. Faults: "drop" (close without an answer), "delay" (wait
    `delay` seconds first), "503" (answer 503), "truncate" (close half-way through the body),
    "short" (a body shorter than the range, with a Content-Length that fits it), "ignore_range"
    (forward without Range: a 200 with the whole file), "wrong_range" (a Content-Range shifted by
    one byte), "etag" (another ETag).
    """

    def __init__(self, upstream_port):
        self.process = subprocess.Popen([sys.executable, __file__, "proxy", str(upstream_port)],
                                        stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def control(self, **query):
        with urllib.request.urlopen(self.url("_proxy?" + urllib.parse.urlencode(query)), timeout=10) as answer:
            return json.loads(answer.read())

    def set(self, faults=None, always=None, delay=None):
        query = {"always": always or ""}
        if faults is not None:
            query["faults"] = ",".join(faults)
        if delay is not None:
            query["delay"] = delay
        self.control(**query)

    def reset_counts(self):
        self.control(reset=1)

    @property
    def requests(self):
        return [tuple(r) for r in self.control()["requests"]]

    @property
    def authorization(self):
        """The Authorization header of each request, None where there was none."""
        return self.control()["authorization"]

    @property
    def statuses(self):
        """The status of each answer passed on from upstream."""
        return self.control()["statuses"]

    @property
    def body_bytes(self):
        return self.control()["body_bytes"]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()


if __name__ == "__main__" and sys.argv[1:2] == ["proxy"]:
    serve_proxy(int(sys.argv[2]))
