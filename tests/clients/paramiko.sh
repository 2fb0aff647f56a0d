#!/usr/bin/env bash
# Python's paramiko (Debian's python3-paramiko) through sshd: a profile read
# ahead, put with its size check into /usb and into an upload folder, times
# and modes set, refusals as exceptions.
. "$(dirname "$0")/lib.sh"
cd "$work"
PYTHONPATH=$here /usr/bin/python3 - "$port" "$keys" <<'EOF' || failed=1
import errno, gzip, io, os, paramiko
from checks import check, done, keys, port
ssh = paramiko.SSHClient()
ssh.load_host_keys(os.path.join(keys, "known_hosts"))
ssh.connect("127.0.0.1", port=port, username="root", key_filename=os.path.join(keys, "client_key"),
            allow_agent=False, look_for_keys=False)
sftp = ssh.open_sftp()
def profile():
    buf = io.BytesIO()
    sftp.getfo("/nv/cfg/lab.xml", buf)
    return (sftp.stat("/nv/cfg/lab.xml").st_size == len(buf.getvalue()) and
            gzip.decompress(buf.getvalue()) == open("/flash/cfg/lab.xml", "rb").read())
check("profile read ahead, gzip of the stored one, listed size", profile)
data = os.urandom(300000)
open("data.bin", "wb").write(data)
check("put into /usb", lambda: sftp.put("data.bin", "/usb/data.bin").st_size == len(data)
      and open("/usb0/data.bin", "rb").read() == data)
check("utime", lambda: sftp.utime("/usb/data.bin", (1e9, 1e9)) or os.stat("/usb0/data.bin").st_mtime == 1e9)
check("chmod", lambda: sftp.chmod("/usb/data.bin", 0o600) or os.stat("/usb0/data.bin").st_mode & 0o777 == 0o600)
check("put into /upload/firmware with its size check",
      lambda: sftp.put("data.bin", "/upload/firmware/fw.bin").st_size == len(data))
check("firmware stored", lambda: open("/var/lib/tqupd/firmware/fw.bin", "rb").read() == data)
for what, call, code in [
        ("delete the current profile", lambda: sftp.remove("/nv/cfg/office.xml"), errno.EACCES),
        ("read outside the tree", lambda: sftp.open("/etc/passwd"), errno.EACCES),
        ("delete what is not there", lambda: sftp.remove("/sd/missing.txt"), errno.ENOENT)]:
    def refused():
        try: call()
        except OSError as e: return e.errno == code
    check(what + " is refused", refused)
done()
EOF
check "firmware handed over once" handed_over firmware fw.bin 300000
