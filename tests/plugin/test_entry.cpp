// The entry and its one-time set-up, and the moves in each area.
#include <unistd.h>

#include "doubles.h"

using namespace tqtest;

TEST(Entry, SetsUpOnceKeepingErrnoAndTheFirstHostTable)
{
    tqsftp_funcs first = host.table, other{};
    errno = EINTR;
    EXPECT_TRUE(tqsftp_get_sftp_func_cb("/", &first) == &tqsftp_funcs_readonly && errno == EINTR);
    for (const char *f : {"", "/nv/cfg", "/usb", "/sd", "/upload/vpn-cert"})
        EXPECT_TRUE(exists(std::string("/tmp/sftp") + f)) << f;
    first = tqsftp_funcs{};
    ASSERT_EQ(::rmdir("/tmp/sftp/usb"), 0);
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/usb/d", &other), &tqsftp_funcs_full);
    EXPECT_TRUE(!exists("/tmp/sftp/usb") && services.preinit == 1 && services.log.empty());
    EXPECT_EQ(run([] { return table("/usb/d")->mkdir("/usb/d", 0700); }).host,
              Args{"mkdir /usb0/d"});
}

// Moves stay in one area, logged with the host's result and told to the area's action.
// Upload areas take no link and no unfit name; the store keeps the current profile.
TEST(Areas, Moves)
{
    host.table.link = nullptr;
    table("/");
    write_file("/flash/cfg/profile.cur", "office\n");
    for (const char *name : {"office.xml", "lab.xml"})
        write_file("/flash/cfg/" + std::string(name), name);
    const std::string fw = "/tmp/sftp/upload/firmware/";
    const std::string longer = "/upload/firmware/" + std::string(54, 'n');
    write_file(fw + "a", "image");
    const char *a = "/upload/firmware/a", *b = "/upload/firmware/b", *lab = "/nv/cfg/lab.xml";
    EXPECT_EQ(run([&] { return table(a)->rename(a, b); }),
              (Outcome{0, 0, {"rename " + fw + "a " + fw + "b"}, {"5 " + fw + "a " + fw + "b"},
                       {line(0, "Rename", a, b)}}));
    const std::tuple<const char *, const char *, bool, int> refused[] = {
        {"/usb/a", "/usb/b", 0, ENOENT}, {"/usb/a", "/usb/b", 1, ENOSYS},
        {"/usb/a", "/usb/cfg/a", 0, EPERM}, {a, "/upload/ssh-key/a", 0, EPERM},
        {b, "/upload/firmware/c", 1, EPERM}, {b, longer.c_str(), 0, ENAMETOOLONG},
        {lab, "/nv/cfg/office.xml", 0, EPERM}, {lab, "/nv/cfg/x/../office.xml", 1, EPERM},
        {"/NV/cfg/./office.xml", "/nv/cfg/office-old.xml", 0, EPERM},
        {lab, "/nv/cfg/.lab.xml.part", 0, EPERM}, {lab, "/nv/cfg/sub/lab.xml", 0, EPERM},
    };
    for (auto [from, to, is_link, err] : refused) {
        tqsftp_funcs *t = table(from);
        Outcome o = run([&] { return is_link ? t->link(from, to) : t->rename(from, to); });
        EXPECT_EQ(o.audits, Audits{line(err, is_link ? "Link" : "Rename", from, to)}) << from << to;
        EXPECT_TRUE(o.result == -1 && o.err == err && o.actions.empty()) << from << " " << to;
    }
    EXPECT_EQ(run([&] { return table(lab)->rename(lab, "/nv/cfg/l-2.xml"); }),
              (Outcome{0, 0, {"rename /flash/cfg/lab.xml /flash/cfg/l-2.xml"}, {},
                       {line(0, "Rename", lab, "/nv/cfg/l-2.xml")}}));
}
