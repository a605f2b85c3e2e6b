#include "fake_clock.h"
#include "vtr/vtr_event.h"
#include "vtr/vtr_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// Big enough to keep off the stack.
vtr_socket_set readable;
vtr_socket_set writable;
vtr_socket_sets sets;

void fill(vtr_socket_set *set, std::initializer_list<vtr_socket> members) {
    vtr_socket_set_zero(set);
    for (vtr_socket s : members) {
        vtr_socket_set_add(set, s);
    }
}

class SocketWaitTest : public ::testing::Test {
  protected:
    vtr_socket quiet = VTR_SOCKET_INVALID;
    vtr_socket busy = VTR_SOCKET_INVALID;
    vtr_address busy_address{};

    void SetUp() override {
        ASSERT_EQ(vtr_platform_init(), VTR_SUCCESS);
        vtr_address loopback{};
        ASSERT_EQ(vtr_address_set_ipv4(&loopback, VTR_AF_INET, "127.0.0.1", 0), VTR_SUCCESS);
        for (vtr_socket *s : {&quiet, &busy}) {
            ASSERT_EQ(vtr_socket_open_udp(s, VTR_AF_INET), VTR_SUCCESS);
            ASSERT_EQ(vtr_socket_bind(*s, &loopback), VTR_SUCCESS);
        }
        ASSERT_EQ(vtr_socket_get_local_address(busy, &busy_address), VTR_SUCCESS);
    }
    void TearDown() override {
        vtr_socket_close(&quiet);
        vtr_socket_close(&busy);
    }

    void send_to_busy() {
        size_t length = 3;
        ASSERT_EQ(vtr_socket_sendto(quiet, "hey", &length, &busy_address), VTR_SUCCESS);
    }
};

TEST_F(SocketWaitTest, KeepsOnlyReadySockets) {
    // Nothing to read: the timeout passes and the set comes back empty.
    fill(&readable, {quiet});
    vtr_time short_wait{0, 20000};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vtr_socket_wait(&readable, nullptr, &short_wait), VTR_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    EXPECT_EQ(readable.count, 0u);

    send_to_busy();
    fill(&readable, {quiet, busy});
    fill(&writable, {quiet});
    vtr_time second{1, 0};
    EXPECT_EQ(vtr_socket_wait(&readable, &writable, &second), VTR_SUCCESS);
    ASSERT_EQ(readable.count, 1u);
    EXPECT_EQ(readable.sockets[0], busy);
    EXPECT_EQ(writable.count, 1u); // an idle UDP socket can always send

    EXPECT_EQ(vtr_socket_wait(nullptr, nullptr, nullptr), VTR_INVALIDPARAMETER);
}

#ifndef _WIN32
TEST_F(SocketWaitTest, DescriptorAboveSelectLimit) {
    const int high = 1500;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= rlim_t{high}) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= rlim_t{high}) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = high + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    if (fcntl(high, F_GETFD) != -1) {
        GTEST_SKIP() << "descriptor in use";
    }
    ASSERT_EQ(dup2(static_cast<int>(busy), high), high);
    send_to_busy();
    fill(&readable, {quiet, vtr_socket{high}});
    vtr_time second{1, 0};
    EXPECT_EQ(vtr_socket_wait(&readable, nullptr, &second), VTR_SUCCESS);
    ASSERT_EQ(readable.count, 1u);
    EXPECT_EQ(readable.sockets[0], vtr_socket{high});
    close(high);
}
#endif

void on_readable(vtr_error, vtr_socket sock, uint32_t, void *context) {
    char buffer[16];
    size_t length = sizeof buffer;
    EXPECT_EQ(vtr_socket_recv(sock, buffer, &length), VTR_SUCCESS);
    static_cast<std::vector<vtr_socket> *>(context)->push_back(sock);
}

// Prepare, wait and process, as the worker runs them.
TEST_F(SocketWaitTest, OnlyTheReadySocketsWatchFires) {
    FakeClock clock;
    vtr_env *env = nullptr;
    vtr_dispatcher *dispatcher = nullptr;
    ASSERT_EQ(vtr_env_new(VTR_ENV_EVENT_LOOP, &env), VTR_SUCCESS);
    ASSERT_EQ(vtr_dispatcher_new(env, &dispatcher), VTR_SUCCESS);
    std::vector<vtr_socket> fired;
    for (vtr_socket s : {quiet, busy}) {
        ASSERT_EQ(vtr_socket_watch(env->loop, s, VTR_WATCH_READ, on_readable, &fired, 0), 0u);
    }
    send_to_busy();

    sets = vtr_socket_sets{};
    ASSERT_EQ(vtr_dispatcher_prepare(dispatcher, &sets, nullptr), VTR_SUCCESS);
    EXPECT_EQ(sets.count, 2u);
    vtr_time second{1, 0};
    EXPECT_EQ(vtr_socket_wait(&sets.kind[0], &sets.kind[1], &second), VTR_SUCCESS);
    EXPECT_EQ(vtr_dispatcher_process(dispatcher, &sets), VTR_SUCCESS);
    EXPECT_EQ(fired, std::vector<vtr_socket>{busy});

    vtr_dispatcher_delete(dispatcher);
    vtr_env_delete(env);
}

} // namespace
