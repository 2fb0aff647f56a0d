#!/usr/bin/env bash
# asyncssh (Debian's python3-asyncssh): makedirs, free space, the profile store listed.
. "$(dirname "$0")/lib.sh"
PYTHONWARNINGS=ignore PYTHONPATH=$here /usr/bin/python3 - "$port" "$keys" <<'EOF' || failed=1
import asyncio, os, asyncssh
from checks import check, done, keys, port
run = asyncio.new_event_loop().run_until_complete
ssh = run(asyncssh.connect("127.0.0.1", port=port, username="root",
                           client_keys=[f"{keys}/client_key"], known_hosts=f"{keys}/known_hosts"))
sftp = run(ssh.start_sftp_client())
def listed(folder):
    return {e.filename: (e.attrs.size, e.attrs.permissions)
            for e in run(sftp.readdir(folder)) if e.filename[0] != "."}
check("makedirs", lambda: run(sftp.makedirs("/usb/a/b")) or os.path.isdir("/usb0/a/b"))
check("makedirs of what exists, exist_ok", lambda: run(sftp.makedirs("/usb/a/b", exist_ok=True)))
check("statvfs: the USB stick's size", lambda: (lambda v, u: v.frsize * v.blocks ==
      u.f_frsize * u.f_blocks)(run(sftp.statvfs("/usb")), os.statvfs("/usb0")))
cfg = listed("/nv/cfg")
check("readdir /nv/cfg: what is there, with sizes", lambda: set(cfg) ==
      set(os.listdir("/flash/cfg")) | {"help"} and None not in [s for s, _ in cfg.values()])
done()
EOF
