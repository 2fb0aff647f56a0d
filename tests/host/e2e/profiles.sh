#!/usr/bin/env bash
# The profile store "/nv/cfg": profiles download as gzip of the stored bytes
# with the listed size, an upload is installed by the update service, and
# the current profile cannot be deleted.
. "$(dirname "$0")/lib.sh"

printf '<?xml version="1.0"?>\n<profile name="site">\n  <lan addr="10.0.0.1"/>\n</profile>\n' \
    >/flash/cfg/site.xml
printf '<?xml version="1.0"?>\n<profile name="office"><wan dhcp="yes"/></profile>\n' \
    >/flash/cfg/office.xml
echo office >/flash/cfg/profile.cur
printf '<?xml version="1.0"?>\n<profile name="lab"><vlan id="7"/></profile>\n' >lab.xml
gzip -c lab.xml >lab.xml.gz

sftp_batch >list.out <<'B'
ls -l /nv/cfg
get /nv/cfg/site.xml site.xml.gz
put lab.xml.gz /nv/cfg/lab.xml
get /nv/cfg/ok cfg-ok
B
gunzip -c site.xml.gz | cmp - /flash/cfg/site.xml || fail "the download is not the stored profile"
listed=$(awk '!/^sftp>/ && $NF == "site.xml" { print $5 }' list.out)
[ "$listed" = "$(stat -c %s site.xml.gz)" ] ||
    fail "listed size $listed, downloaded $(stat -c %s site.xml.gz)"
# The store's own entries are listed with the stored files; the status
# files only once the update service has written them.
names=$(awk '!/^sftp>/ { print $NF }' list.out | tr '\n' ' ')
for n in office.xml profile.cur site.xml help; do
    echo " $names" | grep -q " $n " || fail "/nv/cfg does not list $n: $names"
done
echo " $names" | grep -q " ok " && fail "/nv/cfg lists ok before it exists: $names"
audit_has "Copy /nv/cfg/site.xml to remote"
# The upload, gzip of a profile, is installed uncompressed.
cmp lab.xml /flash/cfg/lab.xml || fail "the uploaded profile was not installed"
grep -q " config lab.xml $(stat -c %s lab.xml) 2\$" /var/lib/tqupd/jobs ||
    fail "no config job: $(cat /var/lib/tqupd/jobs)"
grep -qx "lab.xml: installed, $(stat -c %s lab.xml) bytes" cfg-ok || fail "ok file: $(cat cfg-ok)"
audit_has "Copy remote to /nv/cfg/lab.xml"
[ ! -e /ramdisk/lighty.tmp ] || fail "a transfer left its temporary file"

# The current profile stays; any other may be deleted.
drops=$(wc -l </var/lib/tqprofile/invalidations)
sftp_batch >rm.out <<'B'
-rm /nv/cfg/office.xml
-rm /nv/cfg/../cfg/office.xml
rm /nv/cfg/site.xml
-rm /nv/cfg/profile.cur
B
refused rm.out 'remote delete /nv/cfg/office.xml: Permission denied'
[ -f /flash/cfg/office.xml ] && [ -f /flash/cfg/profile.cur ] || fail "the current profile was deleted"
[ ! -e /flash/cfg/site.xml ] || fail "site.xml was not deleted"
[ "$(wc -l </var/lib/tqprofile/invalidations)" -gt "$drops" ] || fail "no cache drop"
audit_lacks "Delete /nv/cfg/office.xml"
audit_has "Delete /nv/cfg/site.xml"
audit_has "Delete /nv/cfg/profile.cur failed: Permission denied"
echo PASS
