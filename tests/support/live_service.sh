# Sourced by ./check and ./demo.  live_service PATH: whether a service
# listens on the Unix-domain socket PATH (a full queue or a stopped service
# counts too).  Without python3 it cannot tell and says no.
live_service() {
  [ -S "$1" ] || return 1
  command -v python3 >/dev/null 2>&1 || return 1
  python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.setblocking(False)
try:
    s.connect(sys.argv[1])
except (BlockingIOError, InterruptedError):
    pass
except OSError:
    sys.exit(1)' "$1" 2>/dev/null
}
