// Exceptions at the export boundary become results, and each one leaves a line in the
// handle's logger.
#include "api/nyx_api_impl.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines;
void keep_line(vtr_logger *, const char *, uint32_t, const char *text, size_t length) {
    lines.emplace_back(text, length);
}

TEST(ApiGuard, ExceptionsBecomeResultsAndAreLogged) {
    NyxApi *api = nullptr;
    ASSERT_EQ(NyxApiNew(&api), NYXAPI_SUCCESS);
    NyxApiImpl *impl = nyx_api_impl(api);
    vtr_logger *logger = impl->logger();
    ASSERT_NE(logger, nullptr);
    logger->callback = keep_line;
    vtr_logger_set_level(logger, VTR_SINK_CALLBACK, VTR_LOG_ERROR);
    vtr_logger_set_overall_level(logger, VTR_LOG_ERROR);
    lines.clear();

    EXPECT_EQ(nyx_api_guard(impl, "Ok", [] { return NYXAPI_INVALID_DATA; }), NYXAPI_INVALID_DATA);
    EXPECT_EQ(
        nyx_api_guard(impl, "Std", []() -> NyxApiResult { throw std::runtime_error("boom"); }),
        NYXAPI_OTHER);
    EXPECT_EQ(nyx_api_guard(impl, "Memory", []() -> NyxApiResult { throw std::bad_alloc(); }),
              NYXAPI_NOMEMORY);
    EXPECT_EQ(nyx_api_guard(impl, "Odd", []() -> NyxApiResult { throw 7; }), NYXAPI_OTHER);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("Std: caught exception: boom"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("Memory: caught exception: std::bad_alloc"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("Odd: caught exception: unknown exception"), std::string::npos)
        << lines[2];

    // Without a handle there is no logger: still a result, nothing else.
    EXPECT_EQ(
        nyx_api_guard(nullptr, "None", []() -> NyxApiResult { throw std::runtime_error("lost"); }),
        NYXAPI_OTHER);
    EXPECT_EQ(lines.size(), 3u);
    NyxApiDelete(api);
}

} // namespace
