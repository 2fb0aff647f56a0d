#!/usr/bin/env bash
# Python's asyncssh (Debian's python3-asyncssh) through sshd: makedirs, the
# free space, and the attributes that come with a listing.
. "$(dirname "$0")/lib.sh"
cd "$work"
PYTHONWARNINGS=ignore PYTHONPATH=$here /usr/bin/python3 - "$port" "$keys" <<'EOF' || failed=1
import asyncio, os, asyncssh
from checks import acheck, done, keys, port

async def main():
    async with asyncssh.connect("127.0.0.1", port=port, username="root",
                                client_keys=[f"{keys}/client_key"],
                                known_hosts=f"{keys}/known_hosts") as conn:
        async with conn.start_sftp_client() as sftp:
            async def listed(folder):
                return {e.filename: (e.attrs.size, e.attrs.permissions)
                        for e in await sftp.readdir(folder) if e.filename not in (".", "..")}
            async def makedirs():
                await sftp.makedirs("/usb/a/b")
                return os.path.isdir("/usb0/a/b")
            async def makedirs_again():
                return await sftp.makedirs("/usb/a/b", exist_ok=True) is None
            async def statvfs():
                vfs, usb = await sftp.statvfs("/usb"), os.statvfs("/usb0")
                return vfs.frsize * vfs.blocks == usb.f_frsize * usb.f_blocks
            async def readdir_sd():
                return await listed("/sd") == {n: (os.stat(f"/sd/{n}").st_size, os.stat(f"/sd/{n}").st_mode)
                                               for n in os.listdir("/sd")}
            async def readdir_cfg():
                cfg = await listed("/nv/cfg")
                return (set(cfg) == set(os.listdir("/flash/cfg")) | {"help"} and
                        None not in (size for size, _ in cfg.values()))
            await acheck("makedirs", makedirs)
            await acheck("makedirs of what exists, exist_ok", makedirs_again)
            await acheck("statvfs: the USB stick's size", statvfs)
            await acheck("readdir: sizes and modes in /sd", readdir_sd)
            await acheck("readdir: /nv/cfg lists what is there, with sizes", readdir_cfg)

asyncio.run(main())
done()
EOF
