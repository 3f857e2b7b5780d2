"""netd_tls_test.py CASE NETD SIM TOOL PROFILES

ZqUpsNetd with STARTTLS, a certificate from a CA made here (openssl), and
--require-tls, in front of ZqUpsSim:
  client   Python's ssl verifies the certificate, then logs in and reads;
           credentials in the clear are refused; a LOGOUT sent in the same
           packet as STARTTLS is never run.
  stall    a client that stops halfway through its handshake holds up none
           of 50 others, and is dropped after the handshake's 10 s.
  openssl  openssl s_client: TLS 1.0 and 1.1 refused, 1.2 without
           compression, no renegotiation.
  upsmon   Debian's upsmon with FORCESSL and CERTVERIFY logs in through
           TLS when its NSS database trusts the CA, and never otherwise.
Run with /usr/bin/python3 under install_path_claim, as netd_clients_test.py
(whose helpers it uses).  Exits 77 (not run) only when a client is missing.
"""
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import threading
import time

# The helpers of the plain clients' test, without bytecode in the sources.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netd_clients_test as clients  # noqa: E402
from netd_clients_test import Failure, Skip, within  # noqa: E402

HANDSHAKE_SECONDS = 10
OTHERS = 50


class TlsRun(clients.Run):
    """A Run whose ZqUpsNetd offers TLS with a certificate for 127.0.0.1
    and whose upsmons insist on it, trusting what `certdb` holds."""

    def __init__(self, *argv):
        super().__init__(*argv)
        self.certdb = None

    def openssl(self, *argv):
        r = subprocess.run(["openssl"] + list(argv), cwd=self.work, capture_output=True,
                           text=True, timeout=60)
        if r.returncode != 0:
            raise Failure("openssl %s: %s" % (argv[0], r.stderr))

    def make_pki(self):
        old = os.umask(0o077)
        try:
            self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                         "-out", "ca.pem", "-days", "2", "-subj", "/CN=ZqUps test CA")
            self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
                         "-out", "server.csr", "-subj", "/CN=127.0.0.1")
            with open(self.path("san"), "w") as f:
                f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
            self.openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-out", "server.pem", "-days", "2",
                         "-extfile", "san")
        finally:
            os.umask(old)
        os.chmod(self.path("ca.pem"), 0o644)
        os.chmod(self.path("server.pem"), 0o644)

    def nss_db(self, name, trust_ca):
        """An NSS database for upsmon's CERTPATH, with the CA or empty."""
        db = self.path(name)
        os.mkdir(db)
        r = self.client("certutil", "-N", "-d", "sql:" + db, "--empty-password")
        if r.returncode == 0 and trust_ca:
            r = self.client("certutil", "-A", "-d", "sql:" + db, "-n", "zqups-test-ca",
                            "-t", "C,,", "-i", self.path("ca.pem"))
        if r.returncode != 0:
            raise Failure("certutil: " + r.stdout + r.stderr)
        if self.as_nobody:
            for p in [db] + [os.path.join(db, f) for f in os.listdir(db)]:
                shutil.chown(p, "nobody")
        return db

    def spawn(self, name, argv, **kw):
        if argv[0] == self.netd:
            argv = argv + ["--tls-cert", self.path("server.pem"),
                           "--tls-key", self.path("server.key"), "--require-tls",
                           "--max-per-address", str(2 * OTHERS)]
        elif argv[0] == clients.UPSMON:
            with open(argv[-1], "a") as f:
                f.write("FORCESSL 1\nCERTVERIFY 1\nCERTPATH %s\n" % self.certdb)
        return super().spawn(name, argv, **kw)


class Line:
    """Request lines on a socket, plain or TLS; every read has a bound."""

    def __init__(self, sock):
        sock.settimeout(10)
        self.sock = sock
        self.reader = sock.makefile("rb")

    def send(self, text):
        self.sock.sendall(text.encode())

    def read(self):
        return self.reader.readline().decode()

    def ask(self, request):
        self.send(request + "\n")
        return self.read()

    def starttls(self, run):
        """STARTTLS, then the handshake verifying the server's certificate."""
        reply = self.ask("STARTTLS")
        if reply != "OK STARTTLS\n":
            raise Failure("STARTTLS: %r" % reply)
        return self.wrap(run)

    def wrap(self, run):
        context = ssl.create_default_context(cafile=run.path("ca.pem"))
        tls = context.wrap_socket(self.sock, server_hostname="127.0.0.1")
        return Line(tls)

    def close(self):
        self.reader.close()
        self.sock.close()


def connect(run):
    return Line(socket.create_connection(("127.0.0.1", run.port), timeout=10))


def expect(what, got, wanted):
    if got != wanted:
        raise Failure("%s: %r, not %r" % (what, got, wanted))


def check_client(run):
    run.start_sim()
    run.start_netd({"mon": "monitor"})
    clear = connect(run)
    for request in ("USERNAME mon", "PASSWORD nom", "LOGIN ups", "SET VAR ups battery.date x",
                    "PRIMARY ups", "FSD ups"):
        expect(request + " in the clear", clear.ask(request), "ERR ACCESS-DENIED STARTTLS first\n")
    expect("NETVER in the clear", clear.ask("NETVER"), "1.3\n")

    # Secured, the same connection now takes the credentials refused
    # before: none of them was kept.
    tls = clear.starttls(run)
    expect("STARTTLS again", tls.ask("STARTTLS"), "ERR ALREADY-SSL-MODE\n")
    for request in ("USERNAME mon", "PASSWORD " + run.users["mon"], "LOGIN ups"):
        expect(request, tls.ask(request), "OK\n")
    if not within(10, lambda: tls.ask("GET VAR ups ups.status") ==
                  'VAR ups ups.status "OL CHRG"\n'):
        raise Failure("GET VAR through TLS: " + tls.ask("GET VAR ups ups.status"))
    expect("NUMLOGINS", tls.ask("GET NUMLOGINS ups"), "NUMLOGINS ups 1\n")
    tls.close()

    piped = connect(run)
    piped.send("STARTTLS\nLOGOUT\n")
    expect("STARTTLS with LOGOUT behind", piped.read(), "OK STARTTLS\n")
    tls = piped.wrap(run)
    expect("the first reply through TLS", tls.ask("NETVER"), "1.3\n")
    tls.close()


def half_a_client_hello():
    """The first half of a real ClientHello, as a client that stalls sends it."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = ssl.create_default_context().wrap_bio(incoming, outgoing, server_hostname="x")
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    return hello[:len(hello) // 2]


def check_stall(run):
    run.start_sim()
    run.start_netd({})
    stalled = connect(run)
    expect("STARTTLS", stalled.ask("STARTTLS"), "OK STARTTLS\n")
    stalled.send(half_a_client_hello().decode("latin-1"))
    stalled_at = time.monotonic()

    others = [connect(run).starttls(run) for _ in range(OTHERS)]
    for n, other in enumerate(others):
        expect("client %d through TLS" % n, other.ask("NETVER"), "1.3\n")
    served_in = time.monotonic() - stalled_at
    if served_in > HANDSHAKE_SECONDS / 2:
        raise Failure("%d clients took %.1f s beside a stalled handshake" % (OTHERS, served_in))
    for other in others:
        other.close()

    readable, _, _ = select.select([stalled.sock], [], [], HANDSHAKE_SECONDS + 5)
    gone_at = time.monotonic() - stalled_at
    if not readable or stalled.sock.recv(100) != b"":
        raise Failure("a stalled handshake still open after %.1f s" % gone_at)
    if gone_at < HANDSHAKE_SECONDS - 1:
        raise Failure("a stalled handshake dropped after %.1f s only" % gone_at)


def relay_after_starttls(port, listener):
    """One client of `listener` relayed to ZqUpsNetd once STARTTLS is
    answered, so that s_client does the handshake itself."""
    client, _ = listener.accept()
    with client, socket.create_connection(("127.0.0.1", port), timeout=10) as server:
        server.sendall(b"STARTTLS\n")
        if server.recv(100) != b"OK STARTTLS\n":
            return
        ends = {client: server, server: client}
        while True:
            readable, _, _ = select.select(list(ends), [], [], 10)
            if not readable:
                return
            for end in readable:
                data = end.recv(65536)
                if not data:
                    return
                ends[end].sendall(data)


def s_client(run, options, stdin=""):
    with socket.create_server(("127.0.0.1", 0)) as listener:
        relay = threading.Thread(target=relay_after_starttls, args=(run.port, listener))
        relay.start()
        try:
            r = subprocess.run(["openssl", "s_client", "-connect",
                                "127.0.0.1:%d" % listener.getsockname()[1],
                                "-CAfile", run.path("ca.pem")] + options,
                               input=stdin, capture_output=True, text=True, timeout=30)
        finally:
            relay.join(15)
    return r.returncode, r.stdout + r.stderr


def check_openssl(run):
    run.start_netd({})
    # The client's own floor is lowered, so that only the server refuses.
    for version in ("-tls1", "-tls1_1"):
        status, out = s_client(run, [version, "-cipher", "DEFAULT@SECLEVEL=0"])
        if status == 0 or "alert protocol version" not in out:
            raise Failure("s_client %s was not refused (%d):\n%s" % (version, status, out))
    status, out = s_client(run, ["-tls1_2", "-ign_eof"], "NETVER\nLOGOUT\n")
    if status != 0 or "Protocol  : TLSv1.2" not in out or "Compression: NONE" not in out or \
            "Verify return code: 0 (ok)" not in out or "\n1.3\n" not in out:
        raise Failure("s_client -tls1_2 (%d):\n%s" % (status, out))
    # "R" asks s_client to renegotiate; the request behind it is never read.
    status, out = s_client(run, ["-tls1_2"], "R\nNETVER\n")
    if "RENEGOTIATING" not in out or "no renegotiation" not in out or "\n1.3\n" in out:
        raise Failure("s_client renegotiated (%d):\n%s" % (status, out))


def check_upsmon(run):
    run.start_sim()
    run.start_netd({"mon": "monitor"})
    # Logging in at all proves TLS: the server refuses credentials in the
    # clear.
    run.certdb = run.nss_db("trusted-ca", trust_ca=True)
    trusting = run.start_upsmon("trusting", "mon", "secondary")
    run.certdb = run.nss_db("no-ca", trust_ca=False)
    try:
        run.start_upsmon("untrusting", "mon", "secondary")
        raise Failure("upsmon logged in without trusting the certificate:\n" +
                      run.log("untrusting"))
    except Failure as e:
        if "did not log in" not in str(e):
            raise
    numlogins = connect(run).ask("GET NUMLOGINS ups")
    expect("NUMLOGINS with one upsmon trusting the server", numlogins, "NUMLOGINS ups 1\n")
    if trusting.poll() is not None:
        raise Failure("the trusting upsmon ended:\n" + run.log("trusting"))


CASES = {"client": check_client, "stall": check_stall, "openssl": check_openssl,
         "upsmon": check_upsmon}
NEEDS = {"client": [], "stall": [], "openssl": [], "upsmon": ["certutil", clients.UPSMON]}


def check_installed(case):
    for program in ["openssl"] + NEEDS[case]:
        if shutil.which(program) is None:
            raise Skip(program + " is not installed")


def tls_run(*args):
    run = TlsRun(*args)
    try:
        run.make_pki()
    except BaseException:
        run.close()
        raise
    return run


if __name__ == "__main__":
    sys.exit(clients.run_case(sys.argv, __doc__, CASES, check_installed, tls_run))
