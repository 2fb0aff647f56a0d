#!/usr/bin/env bash
# paramiko (Debian's python3-paramiko): put, with its size check, into /usb and
# into an upload folder.
. "$(dirname "$0")/lib.sh"
PYTHONPATH=$here /usr/bin/python3 - "$port" "$keys" <<'EOF' || failed=1
import os, paramiko
from checks import check, done, keys, port
ssh = paramiko.SSHClient()
ssh.load_host_keys(f"{keys}/known_hosts")
ssh.connect("127.0.0.1", port=port, username="root", key_filename=f"{keys}/client_key",
            allow_agent=False, look_for_keys=False)
sftp, data = ssh.open_sftp(), os.urandom(300000)
open("data.bin", "wb").write(data)
check("put into /usb", lambda: sftp.put("data.bin", "/usb/data.bin").st_size == len(data)
      and open("/usb0/data.bin", "rb").read() == data)
check("put into /upload/firmware/ (paramiko compares the size)",
      lambda: sftp.put("data.bin", "/upload/firmware/fw.bin"))
done()
EOF
check "firmware handed over once" handed_over firmware fw.bin 300000
