#include <gtest/gtest.h>

#include "DiskWorkEnv.h"

namespace qtx::test {
namespace {

TEST(ValidateIPAddress, NormalisesDottedAddresses) {
    DiskWorkEnv env;
    const std::pair<const char*, const char*> good[] = {{"192.168.001.010", "192.168.1.10"},
                                                        {"10.0.0.300", "10.0.0.255"},
                                                        {"1.2.3.4.5", "1.2.3.4"},
                                                        {"a.b.c.d", "0.0.0.0"},
                                                        {"1.2.3.2.5", "1.2.3.2"},
                                                        {"1.2.3.3.5", "1.2.3.4"},
                                                        {" 1 0.-4..7x", "10.0.0.7"},
                                                        {"1.2.3.1e2", "1.2.3.100"},
                                                        {"1.2.3.9e99", "1.2.3.255"},
                                                        {"1.2.3.0.5", "1.2.3.0"}};
    for (const auto& [in, out] : good) {
        EXPECT_TRUE(env.disk.ValidateIPAddress(in)) << in;
        EXPECT_EQ(env.vars.ValidIPAddr, out) << in;
    }
    env.vars.ValidIPAddr = "kept";
    for (const char* bad : {"10.0.0.", "10.0.0", "", "1234", "..."}) {
        EXPECT_FALSE(env.disk.ValidateIPAddress(bad)) << bad;
        EXPECT_EQ(env.vars.ValidIPAddr, "kept");
    }
}

}  // namespace
}  // namespace qtx::test
