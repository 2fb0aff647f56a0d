"""check() for the Python clients' scenarios, run as `- PORT KEYS` from a
client test: a failed check is reported and the scenario goes on."""
import sys

port, keys = int(sys.argv[1]), sys.argv[2]
failed = False


def report(what, ok, why=""):
    global failed
    print(("ok: " if ok else "FAIL: ") + what + why, file=sys.stdout if ok else sys.stderr)
    failed |= not ok


def failure(e):
    return f" ({type(e).__name__}: {e})"  # the client's own error, as a user sees it


def check(what, fn):
    try:
        report(what, fn())
    except Exception as e:
        report(what, False, failure(e))


async def acheck(what, fn):
    try:
        report(what, await fn())
    except Exception as e:
        report(what, False, failure(e))


def done():
    sys.exit(1 if failed else 0)
