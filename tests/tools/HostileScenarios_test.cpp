// tobble-sim as a hostile user drives it: every bad input ends with exit status 2 and one clean
// line naming the file, the JSON path and the problem; a report that cannot be written, with 1.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tobble::simtool {
namespace {

struct Hostile {
    const char* name;
    std::string scenario;  // written to a file, unless `path` is given
    const char* path;
    const char* arguments;
    int status;
    const char* message;  // part of standard error
};

std::string nested(int depth) {
    return R"({"defaults":{"k":)" + std::string(depth, '[') + std::string(depth, ']') +
           R"(},"events":[]})";
}

class HostileScenarioTest : public ::testing::TestWithParam<Hostile> {
  protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tobble-hostile-" + std::to_string(::getpid()));
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_P(HostileScenarioTest, EndsWithItsStatusAndAOneLineMessage) {
    const auto& c = GetParam();
    std::string scenario = c.path ? c.path : (dir / "scenario.json").string();
    if (!c.path) std::ofstream(scenario, std::ios::binary) << c.scenario;
    const std::string err = (dir / "stderr").string();
    const std::string command =
        std::string(TOBBLE_SIM_EXECUTABLE) + " " + scenario + " " + c.arguments + " 2>" + err;
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);

    std::stringstream message;
    message << std::ifstream(err).rdbuf();
    EXPECT_NE(message.str().find(c.message), std::string::npos) << message.str();
    if (c.status == 2) {
        EXPECT_EQ(message.str().find('\n'), message.str().size() - 1) << message.str();
        for (unsigned char ch : message.str().substr(0, message.str().size() - 1)) {
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << "byte " << int(ch) << " in " << message.str();
        }
    }
}

constexpr const char* kOneDevice = R"("devices":[{"uid":"a"}])";

INSTANTIATE_TEST_SUITE_P(
    Inputs, HostileScenarioTest,
    ::testing::Values(
        Hostile{"DeepNesting", nested(100000), nullptr, "", 2, "$: nested deeper than 64 levels"},
        Hostile{"DayLongRun", std::string("{") + kOneDevice + R"(,"end":86400,"events":[]})",
                nullptr, "", 2, "$.end: the run needs"},
        Hostile{"EndlessFile", "", "/dev/zero", "", 2, "/dev/zero: $: larger than"},
        Hostile{"Directory", "", "/", "", 2, "/: is a directory"},
        Hostile{"EscapedKey", R"({"events":[],"\u00ff\n\u0007":1})", nullptr, "", 2,
                "$.\\xc3\\xbf\\x0a\\x07: unknown key"},
        Hostile{"RawBytes", "{\"events\":[\xff\n]}", nullptr, "", 2, "not valid JSON"},
        Hostile{"HugePid", R"({"apps":[{"pid":18446744073709551615}],"events":[]})", nullptr, "", 2,
                "$.apps[0].pid: is out of range"},
        Hostile{"WrappingResponsiblePid",
                R"({"events":[{"at":0,"do":"spawn","pid":7,"responsiblePID":4294967797}]})",
                nullptr, "", 2, "$.events[0].responsiblePID: is not a valid pid"},
        Hostile{"ReportToAFullDisk", R"({"end":0.1,"events":[]})", nullptr, "--report - >/dev/full",
                1, "could not be written"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tobble::simtool
