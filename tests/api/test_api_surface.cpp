// The exported surface without a manager: argument rules, codes, the status table, the
// worker's start and stop.
#include "api/nyx_api.h"
#include "api/nyx_api_impl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Handle {
    NyxApi *api = nullptr;
    Handle() { EXPECT_EQ(NyxApiNew(&api), NYXAPI_SUCCESS); }
    ~Handle() { NyxApiDelete(api); }
};

TEST(ApiSurface, NullHandle) {
    NyxApi *null = nullptr;
    bool flag = true;
    uint32_t u32 = 0;
    uint16_t u16 = 0;
    uint64_t count = 4;
    char name[32];
    NyxApiInterface iface;
    NyxApiNetworkStatus net;
    NyxApiDomainInfo domain;
    NyxApiVersion version;
    NyxApiAudioInterface audio;
    uint8_t mac[6] = {};

    EXPECT_EQ(NyxApiNew(nullptr), NYXAPI_INVALID_PARAMETER);
    NyxApiDelete(null);
    NyxApiStop(null);
    EXPECT_EQ(NyxApiStart(null), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetState(null), 3u);
    EXPECT_EQ(NyxApiGetContext(null), nullptr);
    EXPECT_EQ(NyxApiSetContext(null, &flag), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetEventFn(null, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiRequestInProgress(null, &flag), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiCancelRequest(null), NYXAPI_INVALID_PARAMETER);

    EXPECT_EQ(NyxApiGetRunning(null, &flag), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetStatus(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetInterface(null, &iface), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetChannelCount(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetAudioInterface(null, &audio), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOBufferSize(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOEncoding(null, &u16), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOLatencyMs(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetCorvoLatencyMs(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetNetworkStatus(null, &net), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDeviceName(null, name), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDomainInfo(null, &domain), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDeviceLockStatus(null, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetServerVersion(null, &version), NYXAPI_INVALID_PARAMETER);

    EXPECT_EQ(NyxApiAvailableInterfaces(null, &count, &iface), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableChannelCounts(null, &count, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableAudioInterfaces(null, &count, &audio), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(null, &count, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOEncodings(null, &count, &u16), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOLatenciesMs(null, &count, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableCorvoLatenciesMs(null, &count, &u32), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(count, 4u);

    EXPECT_EQ(NyxApiSetRunning(null, true), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetInterface(null, mac), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetChannelCount(null, 8), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetAudioInterface(null, NYXAPI_AUDIO_INTERFACE_WDM), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetASIOBufferSize(null, 64), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetASIOEncoding(null, 24), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetASIOLatencyMs(null, 2), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiSetCorvoLatencyMs(null, 1), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiClearDomainCredentials(null), NYXAPI_INVALID_PARAMETER);

    NyxApiVersion api_version = NyxApiGetApiVersion(null);
    EXPECT_EQ(api_version.major, 1u);
    EXPECT_EQ(api_version.minor + api_version.patch + api_version.build, 0u);
}

TEST(ApiSurface, NullOutPointersChangeNothing) {
    Handle h;
    uint64_t count = 0;
    EXPECT_EQ(NyxApiRequestInProgress(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetRunning(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetStatus(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetInterface(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetChannelCount(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetAudioInterface(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOBufferSize(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOEncoding(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetASIOLatencyMs(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetCorvoLatencyMs(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetNetworkStatus(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDeviceName(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDomainInfo(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetDeviceLockStatus(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiGetServerVersion(h.api, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableInterfaces(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableChannelCounts(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableAudioInterfaces(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOBufferSizes(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOEncodings(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableASIOLatenciesMs(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiAvailableCorvoLatenciesMs(h.api, nullptr, nullptr), NYXAPI_INVALID_PARAMETER);
    // A null array only reports the total.
    EXPECT_EQ(NyxApiAvailableInterfaces(h.api, &count, nullptr), NYXAPI_SUCCESS);
    EXPECT_EQ(count, 0u);
    // Argument checks come before anything else.
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
    EXPECT_EQ(NyxApiSetEventFn(h.api, nullptr), NYXAPI_SUCCESS);

    uint32_t value = 99;
    EXPECT_EQ(NyxApiGetChannelCount(h.api, &value), NYXAPI_SUCCESS);
    EXPECT_EQ(value, 0u);
    NyxApiVersion version = {9, 9, 9, 9};
    EXPECT_EQ(NyxApiGetServerVersion(h.api, &version), NYXAPI_SUCCESS);
    EXPECT_EQ(version.major + version.minor + version.patch + version.build, 0u);
    char name[32] = "xxxx";
    EXPECT_EQ(NyxApiGetDeviceName(h.api, name), NYXAPI_SUCCESS);
    EXPECT_STREQ(name, "");

    bool busy = true;
    EXPECT_EQ(NyxApiRequestInProgress(h.api, &busy), NYXAPI_SUCCESS);
    EXPECT_FALSE(busy);
    EXPECT_EQ(NyxApiCancelRequest(h.api), NYXAPI_SUCCESS);

    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(NyxApiSetRunning(h.api, true), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetInterface(h.api, mac), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetChannelCount(h.api, 8), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetAudioInterface(h.api, NYXAPI_AUDIO_INTERFACE_WDM), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOBufferSize(h.api, 64), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOEncoding(h.api, 24), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetASIOLatencyMs(h.api, 2), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiSetCorvoLatencyMs(h.api, 1), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiClearDomainCredentials(h.api), NYXAPI_INVALID_STATE);
}

TEST(ApiSurface, StartStopRestartAndDeleteWhileRunning) {
    Handle h;
    auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(NyxApiStart(h.api), NYXAPI_SUCCESS);
    EXPECT_EQ(NyxApiStart(h.api), NYXAPI_INVALID_STATE);
    NyxApiStop(h.api);
    EXPECT_EQ(NyxApiGetState(h.api), NYXAPI_STATE_IDLE);
    NyxApiStop(h.api); // a second stop is harmless

    // No manager here: a started handle settles on DISCONNECTED.
    ASSERT_EQ(NyxApiStart(h.api), NYXAPI_SUCCESS);
    while (NyxApiGetState(h.api) != NYXAPI_STATE_DISCONNECTED &&
           std::chrono::steady_clock::now() - begin < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(NyxApiGetState(h.api), NYXAPI_STATE_DISCONNECTED);
    auto stopping = std::chrono::steady_clock::now();
    NyxApiStop(h.api);
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(1500));
    EXPECT_EQ(NyxApiGetState(h.api), NYXAPI_STATE_IDLE);

    NyxApi *running = nullptr;
    ASSERT_EQ(NyxApiNew(&running), NYXAPI_SUCCESS);
    ASSERT_EQ(NyxApiStart(running), NYXAPI_SUCCESS);
    NyxApiDelete(running);
}

TEST(ApiSurface, HandlesCreatedFromManyThreadsAtOnce) {
    std::vector<NyxApi *> handles(4, nullptr);
    std::vector<NyxApiResult> results(4, NYXAPI_OTHER);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < handles.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = NyxApiNew(&handles[i]); });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(results[i], NYXAPI_SUCCESS);
        EXPECT_NE(handles[i], nullptr);
        NyxApiDelete(handles[i]);
    }
}

TEST(ApiSurface, StatusTable) {
    const std::vector<std::pair<uint16_t, std::string>> expected = {
        {0x0000, "No error"},
        {0x0001, "System is running"},
        {0x0010, "Can't find the manager"},
        {0x0011, "Manager isn't active"},
        {0x0100, "Sonavel manager failed"},
        {0x0101, "Sonavel is unable to run using current configuration"},
        {0x0102, "Sonavel is not running as the system is sleeping"},
        {0x0110, "Can't communicate with Orvane server"},
        {0x0200, "Audio driver failed"},
        {0x0201, "Can't find audio driver"},
        {0x0202, "Audio driver isn't active"},
        {0x0203, "Audio driver is not responding"},
        {0x0300, "PTP failed"},
        {0x0301, "Can't find PTP program"},
        {0x0400, "Audio routing system failed"},
        {0x0401, "Can't find audio routing program"},
        {0x0500, "Sonavel has detected that Tavrel is currently active on this computer. Please "
                 "stop Tavrel before launching Sonavel."},
        {0x0600, "Orvane Server failed"},
        {0x0601, "Can't find Orvane Server program"},
        {0x0120, "Unable to initialize Corvo Domain support"},
        {0x0204, "The Sonavel driver is currently blocked from loading by macOS. Please go to the "
                 "Security & Privacy pane in System Preferences and allow system software from "
                 "Vantorel to load."},
        {0x0700, "Audio processing engine failed"},
        {0x0701, "Can't find audio processing engine program"},
    };
    size_t i = 0;
    for (; nyx_api_status_table[i].description; ++i) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(nyx_api_status_table[i].code, expected[i].first) << i;
        EXPECT_EQ(NyxApiStatusGetDescription(expected[i].first), expected[i].second);
    }
    EXPECT_EQ(i, expected.size());
    EXPECT_EQ(nyx_api_status_table[i].name, nullptr);
    EXPECT_STREQ(nyx_api_status_table[5].name, "Invalid Config");
    EXPECT_STREQ(nyx_api_status_table[19].name, "Brisel error");
    EXPECT_EQ(NyxApiStatusGetDescription(0x0002), nullptr);
    EXPECT_EQ(NyxApiStatusGetDescription(0xFFFF), nullptr);
}

TEST(ApiSurface, ResultMappingAndFixedValues) {
    EXPECT_EQ(NyxApiResultFromError(VTR_SUCCESS), NYXAPI_SUCCESS);
    EXPECT_EQ(NyxApiResultFromError(VTR_INVALIDPARAMETER), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(NyxApiResultFromError(VTR_INVALIDDATA), NYXAPI_INVALID_DATA);
    EXPECT_EQ(NyxApiResultFromError(VTR_INVALIDSTATE), NYXAPI_INVALID_STATE);
    EXPECT_EQ(NyxApiResultFromError(VTR_NOMEMORY), NYXAPI_NOMEMORY);
    for (vtr_error other : std::initializer_list<vtr_error>{VTR_DONE, VTR_SYSTEM, VTR_CONNRESET,
                                                            VTR_NOBUFS, VTR_ACCES, 999u}) {
        EXPECT_EQ(NyxApiResultFromError(other), NYXAPI_OTHER) << other;
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
