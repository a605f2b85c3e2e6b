// nyx-sim as a program reading its commands from standard input.
#include "tests/e2e/process.h"

#include <gtest/gtest.h>

namespace {

using e2e::milliseconds;

TEST(SimProcess, LongCommandLinesAreRefusedAndQuitEnds) {
    const milliseconds wait(5000);
    e2e::Process p({NYXSIM_EXE, "--port", "0"});
    ASSERT_TRUE(p.wait_out("listening on 127.0.0.1:", 0, wait));
    // 16 MiB without a line end would have been held whole; it is read and dropped.
    p.write(std::string(16 << 20, 'x') + "\nlink down\n");
    ASSERT_TRUE(p.wait_err("nyx-sim: command longer than 4096 bytes ignored\n", 0, wait));
    ASSERT_TRUE(p.wait_out("pushed", 0, wait));
    p.write("quit\n");
    EXPECT_EQ(p.wait_exit(wait), 0);
}

} // namespace
