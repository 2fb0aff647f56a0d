#!/usr/bin/env bash
# Python's paramiko (Debian's python3-paramiko, so Debian's own python3)
# through sshd.
. "$(dirname "$0")/lib.sh"
/usr/bin/python3 "$here/paramiko_client.py" "$port" "$keys"
