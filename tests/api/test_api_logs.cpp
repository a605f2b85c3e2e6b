// Log collection through the real platform layer: a collection script in the program files
// folder is started and writes the named archive into the folder it is given.
#include "api/nyx_api.h"
#include "vtr/vtr_shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Writes its working folder, then its arguments, into <folder of -d>\<name of -f>; without
// -d into its working folder.
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
    char text[64];
    std::strftime(text, sizeof text, "nyx-log-%Y-%m-%d-%H-%M-%S.zip", std::localtime(&t));
    return text;
}

// The script's record: its working folder and its arguments as it saw them.
std::pair<fs::path, std::string> wait_for_record(const fs::path &path) {
    for (int i = 0; i < 1000 && !fs::exists(path); ++i) { // moved there once written
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(path, std::ios::binary);
    std::string cwd, args;
    EXPECT_TRUE(std::getline(std::getline(in, cwd), args)) << "no record " << path.string();
    cwd.erase(cwd.find_last_not_of('\r') + 1);
    args.erase(args.find_last_not_of('\r') + 1);
    return {cwd, args};
}

TEST(CollectLogs, NamesTheArchiveAndStartsTheScriptInItsFolderWithUnquotedParameters) {
    fs::path work =
                 fs::temp_directory_path() / ("nyx-api-logs-" + std::to_string(std::time(nullptr))),
             out = work / "out", tools;
    fs::create_directories(out);
#ifdef _WIN32
    char16_t *known = nullptr;
    ASSERT_EQ(vtr_known_folder_program_files_x86(&known), VTR_SUCCESS);
    tools = fs::path(reinterpret_cast<const wchar_t *>(known)) / "Vantorel/Sonavel/Tools";
    vtr_known_folder_free(known);
#else
    setenv("NYX_PROGRAM_FILES_X86", (work / "program files").c_str(), 1);
    tools = work / "program files/Vantorel/Sonavel/Tools";
#endif
    std::error_code ec;
    fs::remove(tools / "collect-logs.bat", ec);

    char name[256];
    std::memset(name, 'x', sizeof name);
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(NyxApiCollectLogs(nullptr, name), NYXAPI_OTHER); // no script installed
    std::time_t after = std::time(nullptr);
    EXPECT_EQ(std::strlen(name), 31u);
    EXPECT_EQ(name[32], 'x'); // 32 bytes written, no more
    EXPECT_TRUE(name == name_at(before) || name == name_at(after)) << name;

    fs::create_directories(tools);
    std::ofstream(tools / "collect-logs.bat", std::ios::binary) << kScript;
    std::string folder = out.string() + " second word";
    ASSERT_EQ(NyxApiCollectLogs(folder.c_str(), name), NYXAPI_SUCCESS);
    auto [cwd, args] = wait_for_record(out / name);
    EXPECT_TRUE(fs::equivalent(cwd, tools)) << cwd.string();
#ifdef _WIN32
    EXPECT_EQ(args, "-s -f " + std::string(name) + " -d " + folder);
#else
    EXPECT_EQ(args, "|-s|-f|" + std::string(name) + "|-d|" + out.string() + "|second|word");
#endif
    // Without a folder only -s -f NAME; the script then writes into its working folder.
    ASSERT_EQ(NyxApiCollectLogs(nullptr, name), NYXAPI_SUCCESS);
    args = wait_for_record(tools / name).second;
#ifdef _WIN32
    EXPECT_EQ(args, "-s -f " + std::string(name));
#else
    EXPECT_EQ(args, "|-s|-f|" + std::string(name));
    // A folder that is no text is refused; the name is handed back regardless.
    std::memset(name, 0, sizeof name);
    EXPECT_EQ(NyxApiCollectLogs("bad\xC3(", name), NYXAPI_INVALID_PARAMETER);
    EXPECT_EQ(std::strlen(name), 31u);
    unsetenv("NYX_PROGRAM_FILES_X86");
#endif
    fs::remove(tools / "collect-logs.bat", ec);
    fs::remove_all(work, ec);
}

} // namespace
