// Log collection through the real platform layer: a collection script in the program files
// folder is started and writes the named archive into the folder it is given.
#include "api/nyx_api.h"
#include "vtr/vtr_shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Writes its working folder, then its arguments, into <folder of -d>\<name of -f>.
#ifdef _WIN32
const char kScript[] = "@echo off\r\n"
                       "set name=\r\n"
                       "set dir=.\r\n"
                       ":loop\r\n"
                       "if \"%~1\"==\"\" goto done\r\n"
                       "if \"%~1\"==\"-f\" set \"name=%~2\"\r\n"
                       "if \"%~1\"==\"-d\" set \"dir=%~2\"\r\n"
                       "shift\r\n"
                       "goto loop\r\n"
                       ":done\r\n"
                       "echo %CD%> \"%dir%\\%name%.tmp\"\r\n"
                       "echo %*>> \"%dir%\\%name%.tmp\"\r\n"
                       "move \"%dir%\\%name%.tmp\" \"%dir%\\%name%\" > NUL\r\n";
#else
// Arguments joined by '|', so that the test sees how the parameter text was split.
const char kScript[] = "dir=.\n"
                       "while [ $# -gt 0 ]; do\n"
                       "  case \"$1\" in -f) name=$2;; -d) dir=$2;; esac\n"
                       "  all=\"$all|$1\"; shift\n"
                       "done\n"
                       "{ pwd; echo \"$all\"; } > \"$dir/$name.tmp\" && mv \"$dir/$name.tmp\" "
                       "\"$dir/$name\"\n";
#endif

std::string name_at(std::time_t t) {
    std::tm local = {};
#ifdef _WIN32
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[64];
    std::strftime(text, sizeof text, "nyx-log-%Y-%m-%d-%H-%M-%S.zip", &local);
    return text;
}

bool wait_for_file(const fs::path &path) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        std::error_code ec;
        if (fs::exists(path, ec) && fs::file_size(path, ec) > 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class CollectLogs : public ::testing::Test {
  protected:
    void SetUp() override {
        work = fs::temp_directory_path() /
               ("nyx-api-logs-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(work / "out");
#ifdef _WIN32
        char16_t *known = nullptr;
        ASSERT_EQ(vtr_known_folder_program_files_x86(&known), VTR_SUCCESS);
        program_files = fs::path(reinterpret_cast<const wchar_t *>(known));
        vtr_known_folder_free(known);
#else
        program_files = work / "program files";
        setenv("NYX_PROGRAM_FILES_X86", program_files.string().c_str(), 1);
#endif
        tools = program_files / "Vantorel" / "Sonavel" / "Tools";
        fs::remove(tools / "collect-logs.bat");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove(tools / "collect-logs.bat", ec);
        fs::remove_all(work, ec);
#ifndef _WIN32
        unsetenv("NYX_PROGRAM_FILES_X86");
#endif
    }
    void install_script() {
        fs::create_directories(tools);
        std::ofstream(tools / "collect-logs.bat", std::ios::binary) << kScript;
    }

    fs::path work, program_files, tools;
};

TEST_F(CollectLogs, NamesTheArchiveAfterLocalTime) {
    char name[64];
    std::memset(name, 'x', sizeof name);
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(NyxApiCollectLogs(nullptr, name), NYXAPI_OTHER); // no script installed
    std::time_t after = std::time(nullptr);
    EXPECT_EQ(std::strlen(name), 31u);
    EXPECT_EQ(name[32], 'x'); // 32 bytes written, no more
    EXPECT_TRUE(
        std::regex_match(name, std::regex(R"(nyx-log-\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.zip)")))
        << name;
    EXPECT_TRUE(name == name_at(before) || name == name_at(after)) << name;

    // Two calls within one second name the same archive.
    char first[32], second[32];
    for (int tries = 0; tries < 5; ++tries) {
        NyxApiCollectLogs(nullptr, first);
        NyxApiCollectLogs(nullptr, second);
        if (std::string(first) == second) {
            break;
        }
    }
    EXPECT_STREQ(first, second);
}

TEST_F(CollectLogs, StartsTheScriptThatWritesTheArchive) {
    install_script();
    char name[256] = {};
    fs::path out = work / "out";
    ASSERT_EQ(NyxApiCollectLogs(out.string().c_str(), name), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_for_file(out / name)) << (out / name).string();
    std::string text = read_file(out / name);
    // The script runs in the tools folder.
    fs::path cwd = text.substr(0, text.find_first_of("\r\n"));
    EXPECT_TRUE(fs::equivalent(cwd, tools)) << text;
#ifdef _WIN32
    std::string args = "-s -f " + std::string(name) + " -d " + out.string();
#else
    std::string args = "|-s|-f|" + std::string(name) + "|-d|" + out.string() + "\n";
#endif
    EXPECT_NE(text.find(args), std::string::npos) << text;
}

#ifndef _WIN32
TEST_F(CollectLogs, ParametersReachTheScriptUnquoted) {
    install_script();
    fs::path out = work / "out";
    char name[32];
    std::string folder = out.string() + " second word";
    ASSERT_EQ(NyxApiCollectLogs(folder.c_str(), name), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_for_file(out / name));
    std::string text = read_file(out / name);
    std::string args = text.substr(text.find('\n') + 1);
    EXPECT_EQ(args, "|-s|-f|" + std::string(name) + "|-d|" + out.string() + "|second|word\n");

    // Without a folder only -s -f NAME; this script then writes into its working folder.
    ASSERT_EQ(NyxApiCollectLogs(nullptr, name), NYXAPI_SUCCESS);
    ASSERT_TRUE(wait_for_file(tools / name));
    text = read_file(tools / name);
    EXPECT_EQ(text.substr(text.find('\n') + 1), "|-s|-f|" + std::string(name) + "\n");
}

TEST_F(CollectLogs, FolderMustBeUtf8AndProgramFilesFallBack) {
    install_script();
    char name[32] = {};
    EXPECT_EQ(NyxApiCollectLogs("bad\xC3(", name), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(std::strlen(name), 31u); // the name is handed back regardless
    // Without the variable the fixed default is used; nothing is installed there.
    unsetenv("NYX_PROGRAM_FILES_X86");
    char16_t *known = nullptr;
    ASSERT_EQ(vtr_known_folder_program_files_x86(&known), VTR_SUCCESS);
    EXPECT_EQ(std::u16string(known), u"/opt/program-files-x86");
    vtr_known_folder_free(known);
}
#endif

TEST(Utf8ToUtf16, ConvertsAndMeasures) {
    EXPECT_EQ(vtr_utf8_to_utf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", nullptr, 0), 6u);
    char16_t out[8];
    ASSERT_EQ(vtr_utf8_to_utf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", out, 8), 6u);
    EXPECT_EQ(std::u16string(out), u"a\u00e9\u20ac\U0001F3B5");
    EXPECT_EQ(vtr_utf8_to_utf16("", out, 8), 1u);
    EXPECT_EQ(vtr_utf8_to_utf16("abc", out, 3), 0u); // no room for the NUL
    EXPECT_EQ(vtr_utf8_to_utf16(nullptr, out, 8), 0u);
#ifndef _WIN32
    for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
        EXPECT_EQ(vtr_utf8_to_utf16(bad, nullptr, 0), 0u) << bad;
    }
#endif
}

} // namespace
