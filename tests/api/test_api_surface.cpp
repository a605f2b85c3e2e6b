// The exported surface without a manager: argument rules, codes, the status table, the
// worker's start and stop.
#include "api/nyx_api.h"
#include "api/nyx_api_impl.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <thread>
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

TEST(ApiSurface, StatusTableRoundTrip) {
    // Every row is found again by its code through both lookups, and codes and names are
    // unique, so no row hides another.
    std::set<uint16_t> codes;
    std::set<std::string> names;
    size_t rows = 0;
    for (const nyx_system_error_row *row = nyx_system_error_table; row->name; ++row, ++rows) {
        EXPECT_TRUE(codes.insert(row->code).second) << row->code;
        EXPECT_TRUE(names.insert(row->name).second) << row->name;
        ASSERT_NE(row->description, nullptr) << row->name;
        EXPECT_NE(*row->description, '\0') << row->name;
        EXPECT_EQ(NyxApiStatusGetDescription(row->code), row->description) << row->name;
        EXPECT_EQ(nyx_system_error_name(row->code), row->name);
    }
    EXPECT_EQ(rows, 23u);
    // The component rows are the high byte alone; every condition has its component.
    for (uint16_t code : codes) {
        EXPECT_EQ(codes.count(code & 0xFF00), 1u) << code;
    }
    // Codes without a row, the ends of the range included.
    for (uint16_t code : {0x0002, 0x0103, 0x0800, 0xFFFF}) {
        EXPECT_EQ(NyxApiStatusGetDescription(code), nullptr) << code;
        EXPECT_EQ(nyx_system_error_name(code), nullptr) << code;
    }
    EXPECT_STREQ(NyxApiStatusGetDescription(0x0010), "Can't find the manager");
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
