"""netd_clients_test.py CASE NETD SIM TOOL PROFILES

ZqUpsNetd in front of ZqUpsSim, followed by Debian's own clients of the
network UPS protocol:
  clients  upsc shows every variable with the default profile's values;
           upsrw writes battery.date through to the UPS (ZqUpsTest reads it
           back), also waiting for the outcome (-w, tracking), and is
           refused for a user without the set right or a date that is none;
           PyNUT lists the UPS and the same variables; upsset.cgi shows the
           settings form and saves a date.
  drill    a secondary upsmon with the deployment guide's upsmon.conf shuts down once
           the power-cut drill reaches battery low, not before, and before
           the line comes back.
  mains    a secondary upsmon on mains never shuts down, neither while the
           UPS answers nor once the simulator is gone.
  fsd      a primary and two secondaries: the primary's FSD reaches the
           secondaries, they log out and shut down, and only then does the
           primary's command run.
  write    with battery.date answering in 2 s, upsrw writes it without
           and with -w, answered within its 5 s though write and read-back
           take longer: OK once the write is sent, and -w's outcome
           pending, then SUCCESS.
  hung     the power-cut drill with a point that never answers (one only an
           experimental variable shows): a primary upsmon still shuts down
           once the battery is low, and not before.
  slow     the power-cut drill with a line voltage that answers in 1.5 s:
           OB shows within a poll and that time of the cut, LB never before
           the runtime is low, and a primary upsmon shuts down once it is.
Run with /usr/bin/python3 (python3-nut lives in Debian's dist-packages),
under install_path_claim, which holds /tmp/UPS0.  Exits 77 (not run) only
when a client is missing.  As root, upsmon runs as nobody.
"""
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
UPSMON = "/lib/nut/upsmon"
UPSSET = "/usr/lib/cgi-bin/nut/upsset.cgi"
# Short cycles so that a whole upsmon case takes seconds.
POLL = 1
DEADTIME = 3
HOSTSYNC = 3
# The power-cut drill goes on battery at 3 s, low (4 min left) at 8 s and
# back on mains at 60 s.
DRILL_CUT_AT = 3.0
DRILL_LOW_AT = 8.0
DRILL_BACK_AT = 60.0
# upsmon.conf's lines that name a machine's own files and account.
OWN_LINES = ("MONITOR", "SHUTDOWNCMD", "POWERDOWNFLAG")

# The default profile as the protocol shows it; numbers compare as numbers.
DEFAULT_VARS = {
    "ups.status": "OL CHRG",
    "ups.mfr": "Zq Power Systems", "device.mfr": "Zq Power Systems",
    "ups.model": "ZQ-R3000 RM 2U", "device.model": "ZQ-R3000 RM 2U",
    "ups.serial": "ZQR3-2407-004211", "device.serial": "ZQR3-2407-004211",
    "device.type": "ups",
    "ups.firmware": "4.12.7 (2024-05-02)",
    "ups.mfr.date": "2024-07-15",
    "battery.date": "2028-07-01",
    "input.voltage": 230.0,
    "ups.load": 38.5,
    "battery.runtime": 2520,
    "battery.runtime.low": 300,
    "battery.temperature": 27.5,
    "ups.temperature": 31.0,
    "battery.current": 0.45,
    "battery.capacity": 9,
}

# SHUTDOWNCMD: when it ran, how many connections to the server were open
# (the kernel's count) and how many logins the server counted (its own).
RECORD = r"""
import os, socket, sys, time
now = time.time()
port = int(sys.argv[2])
open_now = 0
for table in ("/proc/net/tcp", "/proc/net/tcp6"):
    try:
        with open(table) as f:
            rows = [line.split() for line in f.readlines()[1:]]
    except OSError:
        continue
    open_now += sum(1 for r in rows if r[3] == "01" and int(r[2].split(":")[1], 16) == port)
try:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"GET NUMLOGINS ups\n")
        logins = s.makefile().readline().strip()
except OSError as e:
    logins = "unreachable: %s" % e
with open(sys.argv[1] + ".part", "w") as f:
    f.write("%f %d %s\n" % (now, open_now, logins))
os.rename(sys.argv[1] + ".part", sys.argv[1])
"""


class Failure(Exception):
    pass


def readme_upsmon_settings(readme):
    """The deployment guide's upsmon.conf for the UPS machine, but for OWN_LINES."""
    lines = read(readme).splitlines()
    start = next((i for i, line in enumerate(lines)
                  if line.startswith("    MONITOR ups@127.0.0.1 ")), None)
    if start is None:
        raise Failure("no upsmon.conf in " + readme)
    block = []
    for line in lines[start:]:
        if not line.startswith("    "):
            break
        block.append(line.strip())
    settings = [line for line in block if line.split()[0] not in OWN_LINES]
    if not any(line.startswith("HOSTSYNC ") for line in settings):
        raise Failure("the deployment guide's upsmon.conf has no HOSTSYNC: %s" % block)
    return settings


class Skip(Exception):
    pass


def within(seconds, predicate, step=0.1):
    deadline = time.monotonic() + seconds
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


class Run:
    """Every process it starts, in a group of its own, and one folder;
    close() ends and removes them all."""

    def __init__(self, netd, sim, tool, profiles):
        self.netd, self.sim, self.tool, self.profiles = netd, sim, tool, profiles
        self.work = tempfile.mkdtemp(prefix="zqups-netd-clients.")
        # upsmon may run as another user: it must reach its own folder.
        os.chmod(self.work, 0o755)
        self.procs = []
        self.sim_proc = None
        self.port = None
        self.users = {}
        self.as_nobody = os.geteuid() == 0
        self.hostsync = HOSTSYNC

    def close(self):
        for p in reversed(self.procs):
            self.stop(p)
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def spawn(self, name, argv, **kw):
        out = open(self.path(name + ".log"), "w")
        try:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT, start_new_session=True, **kw)
        finally:
            out.close()
        p.name = name
        self.procs.append(p)
        return p

    @staticmethod
    def stop(p, grace=5):
        if p.poll() is None:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                p.wait(grace)
            except subprocess.TimeoutExpired:
                pass
        # upsmon leaves a child behind its parent: the whole group goes.
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        p.wait()

    def log(self, name):
        return read(self.path(name + ".log"))

    def start_sim(self, profile="default", faults=()):
        started = time.time()
        self.sim_proc = self.spawn("sim", [self.sim, "--profile",
                                           os.path.join(self.profiles, profile + ".profile")] +
                                   [a for f in faults for a in ("--fault", f)])
        if not within(10, lambda: "listening" in self.log("sim")):
            raise Failure("ZqUpsSim did not start: " + self.log("sim"))
        return started

    def stop_sim(self):
        self.stop(self.sim_proc)

    def hash_password(self, password):
        r = subprocess.run([self.netd, "--hash-password"], input=password + "\n",
                           capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            raise Failure("ZqUpsNetd --hash-password: " + r.stderr)
        return r.stdout.strip()

    def start_netd(self, users, args=("--stale-after", "3s")):
        """users: name -> rights; each one's password is its name reversed."""
        self.users = {name: name[::-1] for name in users}
        lines = ["%s:%s:%s" % (n, self.hash_password(self.users[n]), r) for n, r in users.items()]
        users_file = self.path("users")
        fd = os.open(users_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write("# test users\n" + "\n".join(lines) + "\n")
        self.spawn("netd", [self.netd, "--listen", "127.0.0.1:0", "--users", users_file,
                            "--poll-interval", "1s"] + list(args))
        found = []

        def listening():
            found[:] = re.findall(r"listening on 127\.0\.0\.1:(\d+)", self.log("netd"))
            return bool(found)
        if not within(10, listening):
            raise Failure("ZqUpsNetd did not start: " + self.log("netd"))
        self.port = int(found[0])
        self.target = "ups@127.0.0.1:%d" % self.port

    def client(self, *argv):
        return subprocess.run(list(argv), stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=20)

    def upsc(self):
        """Every variable upsc shows, or {} when it fails."""
        r = self.client("upsc", self.target)
        if r.returncode != 0:
            return {}
        return dict(line.split(": ", 1) for line in r.stdout.splitlines() if ": " in line)

    def battery_date_in_ups(self):
        r = self.client(self.tool)
        m = re.search(r"Battery replace date: *(\S+)", r.stdout)
        return m.group(1) if m else r.stdout + r.stderr

    def upsset(self, function, **fields):
        """upsset.cgi's page for its form posted as admin with `fields`."""
        for name, text in (("upsset.conf", "I_HAVE_SECURED_MY_CGI_DIRECTORY\n"),
                           ("hosts.conf", 'MONITOR %s "ups"\n' % self.target)):
            with open(self.path(name), "w") as f:
                f.write(text)
        body = urllib.parse.urlencode(dict(fields, username="admin", password=self.users["admin"],
                                           monups=self.target, function=function))
        env = dict(os.environ, NUT_CONFPATH=self.work, REQUEST_METHOD="POST",
                   CONTENT_TYPE="application/x-www-form-urlencoded",
                   CONTENT_LENGTH=str(len(body)))
        r = subprocess.run([UPSSET], input=body, env=env, capture_output=True, text=True,
                           timeout=20)
        if r.returncode != 0:
            raise Failure("upsset.cgi %s: %d %s%s" % (function, r.returncode, r.stdout, r.stderr))
        return r.stdout

    def start_upsmon(self, name, user, role, settings=None):
        """A upsmon in the foreground with its files in a folder of its own;
        settings: upsmon.conf's lines but for OWN_LINES (short cycles when
        not given)."""
        if settings is None:
            settings = ["MINSUPPLIES 1", "POLLFREQ %d" % POLL, "POLLFREQALERT %d" % POLL,
                        "DEADTIME %d" % DEADTIME, "HOSTSYNC %d" % self.hostsync, "FINALDELAY 0"]
        home = self.path(name)
        os.mkdir(home)
        bin_dir = os.path.join(home, "bin")
        os.mkdir(bin_dir)
        # upsmon tells every event with wall; here nobody is to hear it.
        with open(os.path.join(bin_dir, "wall"), "w") as f:
            f.write("#!/bin/sh\ncat >/dev/null\n")
        os.chmod(os.path.join(bin_dir, "wall"), 0o755)
        record = self.path("record.py")
        if not os.path.exists(record):
            with open(record, "w") as f:
                f.write(RECORD)
        conf = os.path.join(home, "upsmon.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "MONITOR %s 1 %s %s %s" % (self.target, user, self.users[user], role),
                'SHUTDOWNCMD "/usr/bin/python3 -I %s %s %d"' % (
                    record, os.path.join(home, "shutdown-ran"), self.port),
                "POWERDOWNFLAG " + os.path.join(home, "killpower")] + settings + [""]))
        os.chmod(conf, 0o600)
        env = dict(os.environ, PATH=bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
                   NUT_CONFPATH=home, NUT_STATEPATH=home)
        kw = {}
        if self.as_nobody:
            # Unprivileged from the start: then upsmon cannot write root's
            # pid file either, which a real upsmon on this machine may own.
            nobody = pwd.getpwnam("nobody")
            for dirpath, _, files in os.walk(home):
                for p in [dirpath] + [os.path.join(dirpath, f) for f in files]:
                    os.chown(p, nobody.pw_uid, nobody.pw_gid)
            kw = dict(user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])
            run_as = "nobody"
        else:
            run_as = pwd.getpwuid(os.geteuid()).pw_name
        p = self.spawn(name, [UPSMON, "-F", "-D", "-u", run_as, "-f", conf], env=env, **kw)
        p.ran = os.path.join(home, "shutdown-ran")
        if not within(10, lambda: "Logged into UPS" in self.log(name)):
            raise Failure("%s did not log in:\n%s" % (name, self.log(name)))
        return p

    def shutdown_record(self, p):
        """(time, connections open, NUMLOGINS reply) of p's SHUTDOWNCMD."""
        when, open_now, logins = read(p.ran).split(" ", 2)
        return float(when), int(open_now), logins.strip()

    def expect_no_shutdown(self, p, seconds, why):
        time.sleep(seconds)
        if os.path.exists(p.ran) or p.poll() is not None:
            raise Failure("%s shut down %s:\n%s" % (p.name, why, self.log(p.name)))

    def expect_shutdown(self, p, seconds):
        if not within(seconds, lambda: os.path.exists(p.ran)):
            raise Failure("%s did not shut down within %d s:\n%s" % (
                p.name, seconds, self.log(p.name)))
        return self.shutdown_record(p)


def same_value(expected, got):
    if isinstance(expected, str):
        return got == expected
    try:
        return abs(float(got) - expected) < 1e-9
    except ValueError:
        return False


def check_clients(run):
    run.start_sim()
    run.start_netd({"admin": "monitor,set", "watcher": "monitor"})
    shown = {}
    # The first reading may not be in yet.
    if not within(10, lambda: shown.update(run.upsc()) or "battery.date" in shown):
        raise Failure("upsc never showed battery.date: %s" % shown)
    wrong = {k: (v, shown.get(k)) for k, v in DEFAULT_VARS.items()
             if not same_value(v, shown.get(k, ""))}
    if wrong:
        raise Failure("upsc: expected, shown: %s" % wrong)

    r = run.client("upsrw", "-s", "battery.date=2029-03-15", "-u", "admin",
                   "-p", run.users["admin"], run.target)
    if r.returncode != 0 or "OK" not in r.stdout + r.stderr:
        raise Failure("upsrw as admin: %d %s%s" % (r.returncode, r.stdout, r.stderr))
    if run.battery_date_in_ups() != "2029-03-15":
        raise Failure("ZqUpsTest after upsrw: " + run.battery_date_in_ups())
    if not within(5, lambda: run.upsc().get("battery.date") == "2029-03-15"):
        raise Failure("upsc does not show the date written: %s" % run.upsc())

    r = run.client("upsrw", "-s", "battery.date=2030-01-01", "-u", "watcher",
                   "-p", run.users["watcher"], run.target)
    if r.returncode == 0 or "ACCESS-DENIED" not in r.stdout + r.stderr:
        raise Failure("upsrw without the set right: %d %s%s" % (r.returncode, r.stdout, r.stderr))
    if run.battery_date_in_ups() != "2029-03-15":
        raise Failure("a refused upsrw wrote: " + run.battery_date_in_ups())

    # -w: SET TRACKING ON, then GET TRACKING with the id SET VAR answered.
    for date, answer in (("2029-04-20", "SUCCESS"), ("2029-02-30", "INVALID-VALUE")):
        r = run.client("upsrw", "-w", "-s", "battery.date=" + date, "-u", "admin",
                       "-p", run.users["admin"], run.target)
        if answer not in r.stdout + r.stderr:
            raise Failure("upsrw -w %s: %d %s%s" % (date, r.returncode, r.stdout, r.stderr))
    if run.battery_date_in_ups() != "2029-04-20":
        raise Failure("ZqUpsTest after upsrw -w: " + run.battery_date_in_ups())

    try:
        import PyNUT
    except ImportError:
        raise Skip("python3-nut is not installed")
    nut = PyNUT.PyNUTClient(host="127.0.0.1", port=run.port, timeout=10)
    listed = nut.GetUPSList()
    if list(listed) != [b"ups"]:
        raise Failure("PyNUT GetUPSList: %r" % listed)
    pyvars = {k.decode(): v.decode() for k, v in nut.GetUPSVars("ups").items()}
    if pyvars != run.upsc():
        raise Failure("PyNUT GetUPSVars %r\n  upsc %r" % (pyvars, run.upsc()))

    # The web page's settings form, then a date saved through it.
    if not os.access(UPSSET, os.X_OK):
        raise Skip(UPSSET + " is not installed (nut-cgi)")
    page = run.upsset("showsettings")
    if 'NAME="UPSVAR_battery.date" VALUE="2029-04-20"' not in page:
        raise Failure("upsset.cgi's settings:\n" + page)
    run.upsset("savesettings", **{"UPSVAR_battery.date": "2029-05-06"})
    if not within(5, lambda: run.battery_date_in_ups() == "2029-05-06"):
        raise Failure("ZqUpsTest after upsset.cgi saved: " + run.battery_date_in_ups())


def check_slow_write(run):
    run.start_sim(faults=["0x2000:0x11=delay:2000ms"])
    # Each exchange of a write may take 7.5 s: the date's 2 s fit.  -w waits
    # past its 10 s default: three exchanges of 2 s behind a reading.
    run.start_netd({"admin": "monitor,set"}, ["--stale-after", "15s"])
    if not within(10, lambda: "ups.status" in run.upsc()):
        raise Failure("upsc never showed ups.status: %s" % run.upsc())
    for flags, date, answer in ((["-s"], "2029-06-01", "OK"),
                                (["-w", "-t", "20", "-s"], "2029-07-02", "SUCCESS")):
        asked = time.time()
        r = run.client("upsrw", *flags, "battery.date=" + date, "-u", "admin",
                       "-p", run.users["admin"], run.target)
        took = time.time() - asked
        if r.returncode != 0 or answer not in r.stdout + r.stderr:
            raise Failure("upsrw %s after %.1f s: %d %s%s" % (
                " ".join(flags), took, r.returncode, r.stdout, r.stderr))
        print("upsrw %s answered %s in %.1f s" % (" ".join(flags), answer, took))
        if not within(10, lambda: run.battery_date_in_ups() == date):
            raise Failure("ZqUpsTest after upsrw %s: %s" % (" ".join(flags),
                                                             run.battery_date_in_ups()))


def check_drill(run):
    # The source tree's deployment guide, three folders above the profiles.
    readme = os.path.join(run.profiles, os.pardir, os.pardir, os.pardir, "docs", "deployment.md")
    settings = readme_upsmon_settings(readme)
    started = run.start_sim("power-cut-drill")
    run.start_netd({"mon": "monitor"})
    mon = run.start_upsmon("secondary", "mon", "secondary", settings)
    # A rehearsal only when it ends before the line comes back.
    when, _, _ = run.expect_shutdown(mon, started + DRILL_BACK_AT - time.time())
    if when < started + DRILL_LOW_AT:
        raise Failure("upsmon shut down %.1f s into the drill, before battery low:\n%s" % (
            when - started, run.log("secondary")))


def check_mains(run):
    run.start_sim()
    run.start_netd({"mon": "monitor"})
    mon = run.start_upsmon("secondary", "mon", "secondary")
    run.expect_no_shutdown(mon, POLL + HOSTSYNC + 1, "on mains")
    run.stop_sim()
    # Past --stale-after, DEADTIME and HOSTSYNC together.
    run.expect_no_shutdown(mon, 3 + DEADTIME + HOSTSYNC + 2, "on mains once the UPS was gone")
    if "stale" not in run.log("secondary").lower():
        raise Failure("upsmon never saw the data go stale:\n" + run.log("secondary"))


def check_fsd(run):
    # Long enough that secondaries that shut down without the primary's FSD,
    # or a primary that stops waiting for them, stand out.
    run.hostsync = 20
    started = run.start_sim("power-cut-drill")
    run.start_netd({"boss": "primary", "mon": "monitor"})
    primary = run.start_upsmon("primary", "boss", "primary")
    secondaries = [run.start_upsmon(n, "mon", "secondary") for n in ("secondary1", "secondary2")]
    for s in secondaries:
        run.expect_shutdown(s, started + DRILL_LOW_AT + 10 - time.time())
    _, open_now, logins = run.expect_shutdown(primary, started + DRILL_LOW_AT + 12 - time.time())
    # The primary itself has logged out by then.
    if (open_now, logins) != (0, "NUMLOGINS ups 0"):
        raise Failure("the primary shut down with %d clients connected, %s:\n%s" % (
            open_now, logins, run.log("primary")))
    status = run.upsc().get("ups.status", "")
    if not status.startswith("FSD"):
        raise Failure("ups.status after the primary's FSD: " + status)


def check_hung(run):
    started = run.start_sim("power-cut-drill", ["0x2000:0x31=hang"])
    run.start_netd({"boss": "primary"})
    primary = run.start_upsmon("primary", "boss", "primary")
    when, _, _ = run.expect_shutdown(primary, started + DRILL_LOW_AT + 2 * POLL + 5 - time.time())
    if when < started + DRILL_LOW_AT:
        raise Failure("upsmon shut down %.1f s into the drill, before battery low:\n%s" % (
            when - started, run.log("primary")))
    print("shutdown command %.1f s after the battery ran low" % (when - started - DRILL_LOW_AT))


def check_slow(run):
    slow = 1.5
    started = run.start_sim("power-cut-drill", ["0x2000:0x06=delay:%gms" % (slow * 1000)])
    run.start_netd({"boss": "primary"})
    primary = run.start_upsmon("primary", "boss", "primary")
    seen = {}
    while time.time() < started + DRILL_LOW_AT + 2 * POLL + slow + 2 and len(seen) < 2:
        words = run.upsc().get("ups.status", "").split()
        for word in ("OB", "LB"):
            if word in words:
                seen.setdefault(word, time.time() - started)
        time.sleep(0.1)
    on_battery, low = seen.get("OB"), seen.get("LB")
    if on_battery is None or on_battery > DRILL_CUT_AT + POLL + slow + 1:
        raise Failure("OB seen at %s s, the cut at %g s" % (on_battery, DRILL_CUT_AT))
    if low is None or low < DRILL_LOW_AT:
        raise Failure("LB seen at %s s, the runtime low at %g s" % (low, DRILL_LOW_AT))
    when, _, _ = run.expect_shutdown(primary, started + DRILL_LOW_AT + 2 * POLL + 5 - time.time())
    if when < started + DRILL_LOW_AT:
        raise Failure("upsmon shut down %.1f s into the drill, before battery low" % (when - started))
    print("OB %.1f s after the cut, LB %.1f s after the runtime ran low" % (
        on_battery - DRILL_CUT_AT, low - DRILL_LOW_AT))


CASES = {"clients": check_clients, "write": check_slow_write, "drill": check_drill,
         "mains": check_mains, "fsd": check_fsd, "hung": check_hung, "slow": check_slow}


def check_installed(case):
    for program in ("upsc", "upsrw"):
        if shutil.which(program) is None:
            raise Skip(program + " is not installed (nut-client)")
    if case not in ("clients", "write") and not os.access(UPSMON, os.X_OK):
        raise Skip(UPSMON + " is not installed (nut-client)")


def run_case(argv, usage, cases, check_installed, make_run):
    """Runs cases[argv[1]] on make_run(*argv[2:]): 0 when it passed, 1 when
    it failed, SKIP when it could not run."""
    if len(argv) != 6 or argv[1] not in cases:
        print(usage)
        return 2
    case = argv[1]
    # A stop from outside still ends every process and removes the folder.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    try:
        check_installed(case)
        if os.environ.get("ZQUPS_PATH_CLAIMED") != "1":
            if os.environ.get("ZQUPS_ALLOW_SKIP") == "1":
                raise Skip("/tmp/UPS0 is not ours to use")
            raise Failure("/tmp/UPS0 is not ours to use (run under install_path_claim; "
                          "ZQUPS_ALLOW_SKIP=1 to skip)")
        run = make_run(*argv[2:])
        try:
            cases[case](run)
        finally:
            run.close()
    except Skip as e:
        print("SKIPPED:", e)
        return SKIP
    except Failure as e:
        print("FAILED:", e)
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(run_case(sys.argv, __doc__, CASES, check_installed, Run))
