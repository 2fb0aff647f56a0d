#include <gtest/gtest.h>

#include "doubles.h"

using namespace tqtest;

TEST(Smoke, FirstCallSetsUpAndRootIsReadOnly)
{
    EXPECT_EQ(tqsftp_get_sftp_func_cb("/", &host.table), &tqsftp_funcs_readonly);
    EXPECT_TRUE(exists("/tmp/sftp/upload/firmware/help"));
}
