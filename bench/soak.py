#!/usr/bin/python3
"""soak.py BUILD_DIR SECONDS: ZqUpsSim, ZqUpsNetd and ZqUpsExporter under
churn for SECONDS, then their memory over time.

Clients connect to ZqUpsNetd from many loopback addresses (127.0.x.y) and
ask GET and LIST, try LOGIN with good and wrong passwords, ask GET over
STARTTLS, leave mid-line or at once; a scraper reads the exporter's /metrics; every other period
the simulator is stopped and started again (the UPS service flaps).  Every
--sample seconds each server's RSS (ps -o rss=) and open descriptors are
sampled; at the end a table and each one's growth over the second half.
Exits 1 when a server died.

Only loopback is used, but the simulator takes /tmp/UPS0: run it in a
private /tmp and network namespace, for example
  unshare --mount --net --fork sh -c 'ip link set lo up;
    mount -t tmpfs tmpfs /tmp && bench/soak.py build 1800'
"""
import argparse
import http.client
import os
import random
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

USER, PASSWORD = "soak", "soak-password"
TLS = None  # the clients' context, when ZqUpsNetd offers STARTTLS
FLAT_KIB = 512  # what "flat over the second half" allows


def program(build, name):
    for path in (os.path.join(build, name, name), os.path.join(build, name)):
        if os.access(path, os.X_OK):
            return path
    sys.exit(f"soak.py: no {name} in {build}")


class Server:
    """A server in the background, its standard error to a file."""

    def __init__(self, name, argv, work):
        self.name, self.argv = name, argv
        self.err = open(os.path.join(work, name + ".log"), "ab")
        self.proc = None
        self.port = None

    def start(self, wait=30):
        self.proc = subprocess.Popen(self.argv, stdout=subprocess.PIPE, stderr=self.err,
                                     stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline().decode(errors="replace")
            if not line:
                break
            if ": listening on " in line:
                self.port = line.rsplit(":", 1)[1].strip()
                return
        self.stop()
        sys.exit(f"soak.py: {self.name} did not start; see {self.err.name}")

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, wait=20):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait(5)
        finally:
            self.proc.stdout.close()


def rss_kib(server):
    if not server.alive():
        return None
    out = subprocess.run(["ps", "-o", "rss=", "-p", str(server.proc.pid)],
                         capture_output=True, text=True, timeout=10).stdout.strip()
    return int(out) if out.isdigit() else None


def rss_range(server, reads=5):
    """The least and most of a few reads 0.2 s apart: a password check
    maps its hash's memory (16 MiB for yescrypt) only while it runs."""
    seen = []
    for _ in range(reads):
        kib = rss_kib(server)
        if kib is not None:
            seen.append(kib)
        time.sleep(0.2)
    return (min(seen), max(seen)) if seen else (None, None)


def descriptors(server):
    try:
        return len(os.listdir(f"/proc/{server.proc.pid}/fd"))
    except OSError:
        return None


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = {}

    def add(self, key):
        with self.lock:
            self.values[key] = self.values.get(key, 0) + 1


def lines_until(sock, end):
    """What comes until the line `end` or an ERR line."""
    data = b""
    while not data.endswith(end) and not (data.endswith(b"\n") and b"ERR " in data):
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


class Pace:
    """At most `rate` a second, over all threads."""

    def __init__(self, rate):
        self.lock, self.gap, self.next = threading.Lock(), 1.0 / rate, time.monotonic()

    def take(self):
        """Whether one may go now."""
        with self.lock:
            now = time.monotonic()
            if now < self.next:
                return False
            self.next = now + self.gap
            return True

    def wait(self, stop):
        """Until one's turn (or `stop`)."""
        with self.lock:
            turn = max(self.next, time.monotonic())
            self.next = turn + self.gap
        stop.wait(max(0.0, turn - time.monotonic()))


# A password check maps its hash's memory while it runs: checks back to
# back would hide the server's RSS, hence few logins.
def one_client(port, source, counts, logins):
    kind = random.choices(["get", "list", "bad-login", "login", "mid-line", "at-once", "tls"],
                          [40, 20, 10, 5, 15, 10, 5 if TLS else 0])[0]
    if kind in ("bad-login", "login") and not logins.take():
        kind = "get"
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.settimeout(15)
        sock.bind((source, 0))
        sock.connect(("127.0.0.1", int(port)))
        if kind == "get":
            sock.sendall(b"GET VAR ups ups.status\nGET VAR ups battery.charge\n")
            lines_until(sock, b"\n")
        elif kind == "list":
            sock.sendall(b"LIST VAR ups\n")
            lines_until(sock, b"END LIST VAR ups\n")
            sock.sendall(b"LIST UPS\n")
            lines_until(sock, b"END LIST UPS\n")
        elif kind in ("bad-login", "login"):
            password = PASSWORD if kind == "login" else "wrong-%d" % random.randrange(10**6)
            sock.sendall(f"USERNAME {USER}\nPASSWORD {password}\nLOGIN ups\n".encode())
            reply = b""
            while reply.count(b"\n") < 3:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                reply += chunk
            counts.add("login ok" if reply.endswith(b"OK\n") and kind == "login" else "login refused")
            if kind == "login":
                sock.sendall(b"GET NUMLOGINS ups\nLOGOUT\n")
                lines_until(sock, b"Goodbye\n")
        elif kind == "tls":
            sock.sendall(b"STARTTLS\n")
            if lines_until(sock, b"\n").startswith(b"OK STARTTLS"):
                with TLS.wrap_socket(sock) as tls:
                    tls.sendall(b"GET VAR ups ups.status\n")
                    lines_until(tls, b"\n")
        elif kind == "mid-line":
            sock.sendall(b"GET VAR ups ups.sta")
    counts.add(kind)


def churn(port, addresses, stop, counts, logins, connections):
    while not stop.is_set():
        connections.wait(stop)
        n = random.randrange(addresses)
        source = f"127.0.{n // 250}.{n % 250 + 2}"
        try:
            one_client(port, source, counts, logins)
        except OSError as e:
            counts.add("client error: " + type(e).__name__)
            stop.wait(0.05)


def scrape(port, stop, counts):
    while not stop.wait(0.5):
        try:
            connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=15)
            connection.request("GET", "/metrics")
            response = connection.getresponse()
            response.read()
            counts.add("scrape %d" % response.status)
            connection.close()
        except (OSError, http.client.HTTPException) as e:
            counts.add("scrape error: " + type(e).__name__)


def flap(sim, period, stop, flapping, counts):
    """Steady for a period, then the service stopped and started every 2 s for one."""
    start = time.monotonic()
    while not stop.is_set():
        if int((time.monotonic() - start) / period) % 2 == 0:
            flapping.clear()
            stop.wait(1)
            continue
        flapping.set()
        sim.stop()
        counts.add("service stopped")
        if stop.wait(2):
            break
        sim.start()
        stop.wait(2)


def certificate(work):
    """ZqUpsNetd's TLS options with a self-signed certificate made in
    `work`, and the clients' context; none without openssl."""
    global TLS
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    try:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-days", "2", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        print("soak: no STARTTLS (openssl could not make a certificate)")
        return []
    os.chmod(key, 0o600)
    TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    TLS.check_hostname = False
    TLS.verify_mode = ssl.CERT_NONE
    return ["--tls-cert", cert, "--tls-key", key]


def growth(samples, column, seconds):
    half = [(t, row[column]) for t, row in samples if t >= seconds / 2 and row[column] is not None]
    if len(half) < 2:
        return "too few samples in the second half"
    (t0, first), (t1, last) = half[0], half[-1]
    values = [v for _, v in half]
    span = max(values) - min(values)
    per_minute = (last - first) / ((t1 - t0) / 60)
    verdict = "flat" if span <= FLAT_KIB else "NOT flat"
    return (f"{first} -> {last} KiB from {t0:.0f} s to {t1:.0f} s: {last - first:+d} KiB "
            f"({per_minute:+.1f} KiB/min), span {span} KiB: {verdict} (within {FLAT_KIB} KiB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", help="the build directory (or one holding the three programs)")
    parser.add_argument("seconds", type=int, help="how long the soak runs")
    parser.add_argument("--sample", type=int, default=30, help="seconds between samples")
    parser.add_argument("--clients", type=int, default=4, help="clients at once")
    parser.add_argument("--addresses", type=int, default=1000, help="loopback addresses used")
    parser.add_argument("--rate", type=float, default=200, help="connections a second, at most")
    parser.add_argument("--logins", type=float, default=2, help="LOGIN attempts a second, at most")
    parser.add_argument("--flap-period", type=int, default=60,
                        help="seconds steady, then as many flapping (0: never flaps)")
    parser.add_argument("--netd-prefix", default="", help="words before ZqUpsNetd (valgrind ...)")
    parser.add_argument("--exporter-prefix", default="", help="words before ZqUpsExporter")
    args = parser.parse_args()
    if os.path.exists("/tmp/UPS0"):
        sys.exit("soak.py: /tmp/UPS0 is taken; run in a private /tmp (see --help)")
    netd_path = program(args.build, "ZqUpsNetd")
    work = tempfile.mkdtemp(prefix="zqups-soak.")
    users = os.path.join(work, "users")
    hashed = subprocess.run([netd_path, "--hash-password"], input=PASSWORD + "\n",
                            capture_output=True, text=True, timeout=60)
    if hashed.returncode != 0:
        sys.exit("soak.py: --hash-password: " + hashed.stderr)
    with open(os.open(users, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write(f"{USER}:{hashed.stdout.strip()}:monitor\n")

    tls_options = certificate(work)
    sim = Server("ZqUpsSim", [program(args.build, "ZqUpsSim")], work)
    netd = Server("ZqUpsNetd", args.netd_prefix.split() + [
        netd_path, "--listen", "127.0.0.1:0", "--users", users] + tls_options, work)
    exporter = Server("ZqUpsExporter", args.exporter_prefix.split() + [
                      program(args.build, "ZqUpsExporter"),
                                        "--listen", "127.0.0.1:0"], work)
    servers = [sim, netd, exporter]
    for server in servers:
        server.start(wait=120)
    stop, flapping, counts = threading.Event(), threading.Event(), Counts()
    logins, connections = Pace(args.logins), Pace(args.rate)
    threads = [threading.Thread(target=churn, args=(netd.port, args.addresses, stop, counts,
                                                    logins, connections))
               for _ in range(args.clients)]
    threads.append(threading.Thread(target=scrape, args=(exporter.port, stop, counts)))
    if args.flap_period > 0:
        threads.append(threading.Thread(target=flap,
                                        args=(sim, args.flap_period, stop, flapping, counts)))
    service = (f"service flapping every other {args.flap_period} s" if args.flap_period > 0
               else "service steady")
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else "?"
    print(f"soak: {args.seconds} s, {args.clients} clients from {args.addresses} addresses, "
          f"at most {args.rate:g} connections/s and {args.logins:g} LOGIN/s, {service}; "
          f"load average {' '.join(load)}")
    print("RSS in KiB, the least and most of 5 reads 0.2 s apart")
    print(f"{'t/s':>5} {'netd':>7} {'most':>7} {'fds':>4} {'exporter':>8} {'most':>7} {'fds':>4} "
          f"{'sim':>6} {'clients':>8} {'scrapes':>8}  service", flush=True)
    samples, died = [], []
    begin = time.monotonic()
    for thread in threads:
        thread.start()
    try:
        while True:
            t = time.monotonic() - begin
            row = {}
            row["netd"], row["netd most"] = rss_range(netd)
            row["exporter"], row["exporter most"] = rss_range(exporter)
            row["sim"] = rss_kib(sim)
            with counts.lock:
                clients = sum(v for k, v in counts.values.items()
                              if k in ("get", "list", "bad-login", "login", "mid-line", "at-once"))
                scrapes = counts.values.get("scrape 200", 0)
            samples.append((t, row))
            print(f"{t:5.0f} {row['netd'] or '-':>7} {row['netd most'] or '-':>7} "
                  f"{descriptors(netd) or '-':>4} {row['exporter'] or '-':>8} "
                  f"{row['exporter most'] or '-':>7} {descriptors(exporter) or '-':>4} "
                  f"{row['sim'] or '-':>6} {clients:>8} {scrapes:>8}  "
                  f"{'flapping' if flapping.is_set() else 'steady'}", flush=True)
            died = [s.name for s in (netd, exporter) if not s.alive()]
            if died or t >= args.seconds:
                break
            time.sleep(min(args.sample, max(0.0, args.seconds - t) + 0.01))
    finally:
        stop.set()
        for thread in threads:
            thread.join(30)
        codes = {server.name: server.stop() for server in servers}
    for name, column in (("ZqUpsNetd", "netd"), ("ZqUpsExporter", "exporter")):
        print(f"{name}: second half {growth(samples, column, args.seconds)}")
    print("counts:", ", ".join(f"{k} {v}" for k, v in sorted(counts.values.items())))
    if os.path.exists("/proc/loadavg"):
        print("load average at the end:", " ".join(open("/proc/loadavg").read().split()[:3]))
    print("exit statuses:", ", ".join(f"{k} {v}" for k, v in codes.items()), "; logs in", work)
    if died:
        print("soak: died:", ", ".join(died))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
