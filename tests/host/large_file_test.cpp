// A sparse file beyond 4 GiB on the stick is listed, stat'ed and read above
// 4 GiB whole, also where off_t, size_t and long are 32 bits wide.
#include "sftp_pipe.h"

using namespace tqtest;

namespace {

constexpr uint64_t file_size = 5ull << 30, marker_at = (4ull << 30) + 12345;

TEST(HostLargeFile, ListedStatedAndReadBeyond4GiB)
{
    int fd = open64("/usb0/big", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(fd >= 0 && pwrite64(fd, "marker", 6, marker_at) == 6 &&
                ftruncate64(fd, file_size) == 0 && ::close(fd) == 0);
    Session s(TQ_PLUGIN);
    std::string h = s.opendir("/usb");
    Fields names{s.call(request(READDIR, 1).str(h))};
    ASSERT_EQ(names.u8(), NAME);
    names.u32();
    uint64_t listed = 0;
    for (uint32_t n = names.u32(); n > 0 && names.at < names.b.size(); n--) {
        std::string name = names.str();
        names.str();
        listed = name == "big" ? size_of(names) : (size_of(names), listed);
    }
    EXPECT_EQ(listed, file_size);
    Fields st{s.call(request(STAT, 2).str("/usb/big"))};
    ASSERT_EQ(st.u8(), ATTRS);
    st.u32();
    EXPECT_EQ(size_of(st), file_size);
    Fields data{s.call(request(READ, 3).str(s.open("/usb/big", F_READ)).u64(marker_at).u32(6))};
    ASSERT_EQ(data.u8(), DATA);
    data.u32();
    EXPECT_EQ(data.str(), "marker");
}

}  // namespace
