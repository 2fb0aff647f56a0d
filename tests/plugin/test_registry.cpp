// The open-file registry: records made at open, found by descriptor at close,
// removed by identity.
#include "doubles.h"

using namespace tqtest;

namespace {

const tqsftp_access *usb = &tqsftp_access_list[13];

// The descriptors of the list from the head.
std::vector<int> fds()
{
    std::vector<int> out;
    for (tqsftp_file *f = tqsftp_state.files; f != nullptr; f = f->next)
        out.push_back(f->fd);
    return out;
}

tqsftp_file *add(int fd)
{
    std::string n = std::to_string(fd);
    return tqsftp_file_add(fd, usb, ("/usb0/" + n).c_str(), ("/usb/" + n).c_str(), 0);
}

// Every case leaves the list empty, also when the whole program runs in one
// process (under valgrind).
class Registry : public testing::Test {
protected:
    void TearDown() override
    {
        while (tqsftp_state.files != nullptr)
            ASSERT_EQ(tqsftp_file_remove(tqsftp_state.files), 0);
    }
};

}  // namespace

TEST_F(Registry, NewRecordStandsAtTheHeadWithItsOwnCopies)
{
    add(3);
    std::string real = "/sd/data/x.bin", client = "/SD/Data/x.bin";
    errno = EINTR;
    tqsftp_file *f = tqsftp_file_add(-1, &tqsftp_access_list[16], real.c_str(), client.c_str(), 2);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fds(), (std::vector<int>{-1, 3}));
    EXPECT_EQ(f->access, &tqsftp_access_list[16]);
    EXPECT_EQ(f->kind, 2u);
    EXPECT_EQ(f->saved_errno, 0);
    real.assign(real.size(), '#');  // the caller's strings may go away
    client.assign(client.size(), '#');
    EXPECT_STREQ(f->real_path, "/sd/data/x.bin");
    EXPECT_STREQ(f->client_path, "/SD/Data/x.bin");
    EXPECT_EQ(tqsftp_file_remove(nullptr), 0) << "an absent record changes nothing";
    EXPECT_EQ(fds(), (std::vector<int>{-1, 3}));
    EXPECT_EQ(errno, EINTR) << "the registry never sets errno";
}

// A record that is not linked is neither unlinked nor freed (freeing this one,
// which lives on the stack, would be caught by the sanitizer or valgrind).
TEST_F(Registry, RemovingARecordThatIsNotLinkedFails)
{
    char real[] = "/usb0/x", client[] = "/usb/x";
    tqsftp_file stranger{nullptr, 7, usb, real, client, 0, 0};
    EXPECT_EQ(tqsftp_file_remove(&stranger), -1) << "empty list";
    add(5);
    add(6);
    stranger.next = tqsftp_state.files;  // even one that points into the list
    EXPECT_EQ(tqsftp_file_remove(&stranger), -1);
    EXPECT_EQ(fds(), (std::vector<int>{6, 5}));
}

TEST_F(Registry, RemovingKeepsTheOthersInOrder)
{
    const std::vector<int> left[] = {{11, 10}, {12, 10}, {12, 11}};  // head, middle, tail
    for (int i = 0; i < 3; i++) {
        tqsftp_file *added[] = {add(10), add(11), add(12)};
        EXPECT_EQ(tqsftp_file_remove(added[2 - i]), 0);
        EXPECT_EQ(fds(), left[i]) << "position " << i;
        EXPECT_EQ(tqsftp_file_find(12 - i), nullptr);
        TearDown();
    }
}

TEST_F(Registry, FindGivesTheNewestRecordOfADescriptor)
{
    EXPECT_EQ(tqsftp_file_find(8), nullptr) << "empty list";
    tqsftp_file *older = add(8);
    tqsftp_file *opening = add(-1);
    tqsftp_file *newer = add(8);
    EXPECT_EQ(tqsftp_file_find(8), newer);
    EXPECT_EQ(tqsftp_file_find(-1), opening);
    EXPECT_EQ(tqsftp_file_find(42), nullptr);
    tqsftp_file_remove(newer);
    EXPECT_EQ(tqsftp_file_find(8), older);
}

// The record, the copy of the real path and the copy of the client path are
// allocated in turn; whichever fails, nothing is linked and nothing is left
// allocated (leaks are caught by the sanitizer or valgrind).
TEST_F(Registry, ExhaustedMemoryLeavesTheListAsItWas)
{
    add(30);
    for (int nth = 0; nth < 3; nth++) {
        FailAllocation fail(nth);
        EXPECT_EQ(tqsftp_file_add(31, usb, "/usb0/a", "/usb/a", 1), nullptr) << nth;
        EXPECT_EQ(fds(), (std::vector<int>{30})) << nth;
    }
}
