"""paramiko's SFTP client through sshd; run as paramiko_client.py PORT KEYS_DIR
inside the test's device root, where the folders behind the tree are seen."""
import errno
import gzip
import io
import os
import stat
import sys
import unittest

import paramiko

PORT = int(sys.argv[1])
KEYS = sys.argv[2]


def audit_lines():
    with open("/var/log/messages", encoding="utf-8") as f:
        return [line.rstrip("\n").split(" - ", 2)[-1] for line in f]


class Tree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ssh = paramiko.SSHClient()
        cls.ssh.load_host_keys(os.path.join(KEYS, "known_hosts"))
        cls.ssh.set_missing_host_key_policy(paramiko.RejectPolicy())
        cls.ssh.connect("127.0.0.1", port=PORT, username="root",
                        key_filename=os.path.join(KEYS, "client_key"),
                        allow_agent=False, look_for_keys=False)
        cls.sftp = cls.ssh.open_sftp()

    @classmethod
    def tearDownClass(cls):
        cls.sftp.close()
        cls.ssh.close()

    def test_listdir_and_stat(self):
        self.assertEqual(sorted(self.sftp.listdir("/")), ["nv", "sd", "upload", "usb"])
        self.assertEqual(sorted(self.sftp.listdir("/upload")),
                         ["firmware", "https-cert", "ldap-cert", "ssh-key", "vpn-cert"])
        # The status files are listed once the update service has written them.
        self.assertLessEqual({"factory.xml", "lab.xml", "office.xml", "profile.cur", "help"},
                             set(self.sftp.listdir("/nv/cfg")))
        self.assertTrue(stat.S_ISDIR(self.sftp.stat("/usb").st_mode))
        st = self.sftp.stat("/sd/readme.txt")
        self.assertTrue(stat.S_ISREG(st.st_mode))
        self.assertEqual(st.st_size, os.path.getsize("/sd/readme.txt"))

    # paramiko reads ahead with several requests in flight.
    def test_profile_download_is_gzip_of_stored_profile(self):
        buf = io.BytesIO()
        self.sftp.getfo("/nv/cfg/lab.xml", buf)
        data = buf.getvalue()
        self.assertEqual(self.sftp.stat("/nv/cfg/lab.xml").st_size, len(data))
        with open("/flash/cfg/lab.xml", "rb") as f:
            self.assertEqual(gzip.decompress(data), f.read())

    def test_upload_download_rename_remove(self):
        data = os.urandom(300000)
        self.assertEqual(self.sftp.putfo(io.BytesIO(data), "/usb/data.bin").st_size,
                         len(data))
        with open("/usb0/data.bin", "rb") as f:
            self.assertEqual(f.read(), data)
        back = io.BytesIO()
        self.sftp.getfo("/usb/data.bin", back)
        self.assertEqual(back.getvalue(), data)

        self.sftp.mkdir("/usb/old")
        self.sftp.rename("/usb/data.bin", "/usb/old/data.bin")
        self.assertFalse(os.path.exists("/usb0/data.bin"))
        self.assertTrue(os.path.exists("/usb0/old/data.bin"))
        self.sftp.remove("/usb/old/data.bin")
        self.sftp.rmdir("/usb/old")
        self.assertFalse(os.path.exists("/usb0/old"))
        lines = audit_lines()
        for text in ("Copy remote to /usb/data.bin", "Copy /usb/data.bin to remote",
                     "Rename /usb/data.bin to /usb/old/data.bin", "Remove /usb/old"):
            self.assertIn(text, lines)

    # put checks the size once the update service has taken the file.
    def test_upload_handed_over(self):
        self.assertEqual(self.sftp.putfo(io.BytesIO(b"image"), "/upload/firmware/fw.bin").st_size, 5)
        with open("/var/lib/tqupd/jobs", encoding="utf-8") as f:
            self.assertEqual(1, sum(" firmware fw.bin 5 " in line for line in f))

    def test_refusals(self):
        denied, missing = (PermissionError, errno.EACCES), (FileNotFoundError, errno.ENOENT)
        refused = [
            ("delete the current profile", lambda: self.sftp.remove("/nv/cfg/office.xml"), denied),
            ("read outside the tree", lambda: self.sftp.open("/etc/passwd").read(), denied),
            ("list outside the tree", lambda: self.sftp.listdir("/etc"), denied),
            ("write into the read-only root", lambda: self.sftp.open("/x.txt", "w"), denied),
            ("move between media",
             lambda: self.sftp.rename("/sd/readme.txt", "/usb/readme.txt"), denied),
            ("delete what is not there", lambda: self.sftp.remove("/sd/missing.txt"), missing),
        ]
        for what, call, (exc, code) in refused:
            with self.subTest(what):
                with self.assertRaises(exc) as caught:
                    call()
                self.assertEqual(caught.exception.errno, code)
        self.assertTrue(os.path.exists("/flash/cfg/office.xml"))
        self.assertTrue(os.path.exists("/sd/readme.txt"))
        self.assertFalse(os.path.exists("/usb0/readme.txt"))
        self.assertFalse(os.path.exists("/tmp/sftp/x.txt"))
        self.assertIn("Rename /sd/readme.txt to /usb/readme.txt failed: "
                      "Operation not permitted", audit_lines())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
