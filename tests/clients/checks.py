"""check(WHAT, FN): FN's result is reported (False or an exception fails) and returned."""
import sys

port, keys, failed = int(sys.argv[1]), sys.argv[2], []


def check(what, fn):
    try:
        result, why = fn(), ""
    except Exception as e:
        result, why = False, f" ({type(e).__name__}: {e})"
    print(("FAIL: " if result is False else "ok: ") + what + why)
    failed.extend([what] if result is False else [])
    return result


def done(): sys.exit(1 if failed else 0)
