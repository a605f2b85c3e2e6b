// The exported surface without a manager: argument rules, codes, the status table, the
// worker's start and stop.
#include "api/nyx_api.h"
#include "api/nyx_api_impl.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Call = std::function<NyxApiResult(NyxApi *)>;

// A null handle and a null out-pointer both give INVALID_PARAMETER.
template <class T> void expect_null_rules(NyxApi *api, NyxApiResult (*fn)(NyxApi *, T *)) {
    T value{};
    EXPECT_EQ(fn(nullptr, &value), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(fn(api, nullptr), NYXAPI_INVALID_PARAMETER);
}

template <class T>
void expect_null_rules(NyxApi *api, NyxApiResult (*fn)(NyxApi *, uint64_t *, T *)) {
    uint64_t count = 1;
    T value{};
    EXPECT_EQ(fn(nullptr, &count, &value), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(fn(api, nullptr, &value), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(count, 1u);
}

template <class... F> void expect_null_rules_of_all(NyxApi *api, F... fns) {
    int index = 0;
    (
        [&] {
            SCOPED_TRACE(testing::Message() << "export #" << index++);
            expect_null_rules(api, fns);
        }(),
        ...);
}

const uint8_t kMac[6] = {1, 2, 3, 4, 5, 6};
// Every request that needs a connected handle, with acceptable arguments.
const std::vector<std::pair<const char *, Call>> kRequests = {
    {"SetRunning", [](NyxApi *a) { return NyxApiSetRunning(a, true); }},
    {"SetInterface", [](NyxApi *a) { return NyxApiSetInterface(a, kMac); }},
    {"SetChannelCount", [](NyxApi *a) { return NyxApiSetChannelCount(a, 8); }},
    {"SetAudioInterface", [](NyxApi *a) { return NyxApiSetAudioInterface(a, 1); }},
    {"SetASIOBufferSize", [](NyxApi *a) { return NyxApiSetASIOBufferSize(a, 64); }},
    {"SetASIOEncoding", [](NyxApi *a) { return NyxApiSetASIOEncoding(a, 24); }},
    {"SetASIOLatencyMs", [](NyxApi *a) { return NyxApiSetASIOLatencyMs(a, 2); }},
    {"SetCorvoLatencyMs", [](NyxApi *a) { return NyxApiSetCorvoLatencyMs(a, 1); }},
    {"ClearDomainCredentials", NyxApiClearDomainCredentials},
};

struct Handle {
    NyxApi *api = nullptr;
    Handle() { EXPECT_EQ(NyxApiNew(&api), NYXAPI_SUCCESS); }
    ~Handle() { NyxApiDelete(api); }
};

bool is_1_0_0_0(const NyxApiVersion &v) {
    return v.major == 1 && v.minor == 0 && v.patch == 0 && v.build == 0;
}

TEST(ApiSurface, NullHandleNullOutPointerAndBadArguments) {
    Handle h;
    expect_null_rules_of_all(h.api, NyxApiRequestInProgress, NyxApiGetRunning, NyxApiGetStatus,
                             NyxApiGetInterface, NyxApiGetChannelCount, NyxApiGetAudioInterface,
                             NyxApiGetASIOBufferSize, NyxApiGetASIOEncoding, NyxApiGetASIOLatencyMs,
                             NyxApiGetCorvoLatencyMs, NyxApiGetNetworkStatus, NyxApiGetDeviceName,
                             NyxApiGetDomainInfo, NyxApiGetDeviceLockStatus, NyxApiGetServerVersion,
                             NyxApiAvailableInterfaces, NyxApiAvailableChannelCounts,
                             NyxApiAvailableAudioInterfaces, NyxApiAvailableASIOBufferSizes,
                             NyxApiAvailableASIOEncodings, NyxApiAvailableASIOLatenciesMs,
                             NyxApiAvailableCorvoLatenciesMs);
    for (const auto &[name, call] : kRequests) {
        EXPECT_EQ(call(nullptr), NYXAPI_INVALID_PARAMETER) << name;
    }
    EXPECT_EQ(NyxApiStart(nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiCancelRequest(nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetContext(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetEventFn(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);

    // The exceptions to the null-handle rule.
    NyxApiDelete(nullptr);
    NyxApiStop(nullptr);
    EXPECT_EQ(NyxApiGetContext(nullptr), nullptr);
    EXPECT_EQ(NyxApiGetState(nullptr), 3u);
    EXPECT_TRUE(is_1_0_0_0(NyxApiGetApiVersion(nullptr)));
    EXPECT_TRUE(is_1_0_0_0(NyxApiGetApiVersion(h.api)));
    // Request queries need the working object itself.
    NyxApi bare;
    bool busy = true;
    EXPECT_EQ(NyxApiRequestInProgress(&bare, &busy), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiCancelRequest(&bare), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiGetState(&bare), NYXAPI_STATE_IDLE);

    // Argument checks come before the connection check.
    EXPECT_EQ(NyxApiNew(nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetInterface(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetAudioInterface(h.api, NYXAPI_AUDIO_INTERFACE_NONE),
              NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiCollectLogs(nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
}

TEST(ApiSurface, FreshHandleIsIdleEmptyAndRefusesRequests) {
    Handle h;
    EXPECT_EQ(NyxApiGetState(h.api), NYXAPI_STATE_IDLE);
    EXPECT_EQ(NyxApiGetContext(h.api), nullptr);
    int token = 0;
    EXPECT_EQ(NyxApiSetContext(h.api, &token), NYXAPI_SUCCESS);
    EXPECT_EQ(NyxApiGetContext(h.api), &token);

    char name[32] = "xxxx";
    EXPECT_EQ(NyxApiGetDeviceName(h.api, name), NYXAPI_SUCCESS);
    EXPECT_STREQ(name, "");
    uint64_t count = 5;
    EXPECT_EQ(NyxApiAvailableInterfaces(h.api, &count, nullptr), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 0u);

    bool busy = true;
    EXPECT_EQ(NyxApiRequestInProgress(h.api, &busy), NYXAPI_SUCCESS);
    EXPECT_FALSE(busy);
    EXPECT_EQ(NyxApiCancelRequest(h.api), NYXAPI_SUCCESS); // nothing in flight
    for (const auto &[what, call] : kRequests) {
        EXPECT_EQ(call(h.api), NYXAPI_INVALID_STATE) << what;
    }
}

TEST(ApiSurface, HandlesCreatedFromManyThreadsAtOnce) {
    NyxApi *handles[4] = {};
    NyxApiResult results[4] = {};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] { results[i] = NyxApiNew(&handles[i]); });
    }
    for (size_t i = 0; i < 4; ++i) {
        threads[i].join();
        EXPECT_EQ(results[i], NYXAPI_SUCCESS);
        EXPECT_NE(handles[i], nullptr);
        NyxApiDelete(handles[i]);
    }
}

TEST(ApiSurface, StatusTable) {
    const std::vector<std::tuple<uint16_t, std::string, std::string>> expected = {
        {0x0000, "None", "No error"},
        {0x0001, "Running", "System is running"},
        {0x0010, "Missing", "Can't find the manager"},
        {0x0011, "Stopped", "Manager isn't active"},
        {0x0100, "Manager", "Sonavel manager failed"},
        {0x0101, "Invalid Config", "Sonavel is unable to run using current configuration"},
        {0x0102, "Sleeping", "Sonavel is not running as the system is sleeping"},
        {0x0110, "Orv", "Can't communicate with Orvane server"},
        {0x0200, "Driver", "Audio driver failed"},
        {0x0201, "Driver Missing", "Can't find audio driver"},
        {0x0202, "Driver Stopped", "Audio driver isn't active"},
        {0x0203, "Driver Stalled", "Audio driver is not responding"},
        {0x0300, "PTP", "PTP failed"},
        {0x0301, "PTP Missing", "Can't find PTP program"},
        {0x0400, "Routa", "Audio routing system failed"},
        {0x0401, "Routa Missing", "Can't find audio routing program"},
        {0x0500, "Other Corvo Running",
         "Sonavel has detected that Tavrel is currently active on this computer. Please stop "
         "Tavrel before launching Sonavel."},
        {0x0600, "Orvane", "Orvane Server failed"},
        {0x0601, "Orvane Missing", "Can't find Orvane Server program"},
        {0x0120, "Brisel error", "Unable to initialize Corvo Domain support"},
        {0x0204, "Kernel extension blocked",
         "The Sonavel driver is currently blocked from loading by macOS. Please go to the "
         "Security & Privacy pane in System Preferences and allow system software from "
         "Vantorel to load."},
        {0x0700, "Prox", "Audio processing engine failed"},
        {0x0701, "Prox Missing", "Can't find audio processing engine program"},
    };
    size_t i = 0;
    for (; nyx_api_status_table[i].description; ++i) {
        ASSERT_LT(i, expected.size());
        const auto &[code, name, description] = expected[i];
        EXPECT_EQ(nyx_api_status_table[i].code, code) << i;
        EXPECT_EQ(nyx_api_status_table[i].name, name) << i;
        EXPECT_EQ(NyxApiStatusGetDescription(code), description) << i;
    }
    EXPECT_EQ(i, expected.size());
    EXPECT_EQ(nyx_api_status_table[i].name, nullptr);
    EXPECT_EQ(NyxApiStatusGetDescription(0x0002), nullptr);
    EXPECT_EQ(NyxApiStatusGetDescription(0xFFFF), nullptr);
}

TEST(ApiSurface, ResultMappingAndFixedValues) {
    const std::pair<vtr_error, NyxApiResult> mapping[] = {
        {VTR_SUCCESS, NYXAPI_SUCCESS},
        {VTR_INVALIDPARAMETER, NYXAPI_INVALID_PARAMETER},
        {VTR_INVALIDDATA, NYXAPI_INVALID_DATA},
        {VTR_INVALIDSTATE, NYXAPI_INVALID_STATE},
        {VTR_NOMEMORY, NYXAPI_NOMEMORY},
        {VTR_DONE, NYXAPI_OTHER},
        {VTR_SYSTEM, NYXAPI_OTHER},
        {VTR_CONNRESET, NYXAPI_OTHER},
        {VTR_ACCES, NYXAPI_OTHER},
        {999u, NYXAPI_OTHER}};
    for (const auto &[error, result] : mapping) {
        EXPECT_EQ(NyxApiResultFromError(error), result) << error;
    }

    EXPECT_EQ(NyxApiGetValue(), 100u);
    uint32_t value = 0;
    NyxApiGetPointer(&value);
    EXPECT_EQ(value, 200u);
    NyxApiGetPointer(nullptr);
    uint32_t *pointer = &value;
    NyxApiGetPointerPointer(&pointer);
    EXPECT_EQ(value, 300u);
    pointer = nullptr;
    NyxApiGetPointerPointer(&pointer);
    NyxApiGetPointerPointer(nullptr);
}

} // namespace
