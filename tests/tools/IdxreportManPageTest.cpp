// The manual page against the tool it documents: whatever `idxreport --help`
// and each `idxreport SUB --help` offer, the page must have, and the exit
// status the help states must be the codes the tool returns.
#include <cstddef>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Console.h"
#include "tools/ToolTestSupport.h"

namespace I2::Testing {
namespace {

// The names under "Subcommands:" in `idxreport --help`, one per line:
// "  show                        Print the records ..." -> "show".
std::vector<std::string> Subcommands(const std::string& help) {
    std::vector<std::string> names;
    bool inList = false;
    for (const std::string& line : Lines(help)) {
        if (line == "Subcommands:") {
            inList = true;
        } else if (inList && line.empty()) {
            break;
        } else if (inList && line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ') {
            names.push_back(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    return names;
}

// "--lock-timeout" as roff writes it: "\-\-lock\-timeout".
std::string Roff(const std::string& option) {
    std::string escaped;
    for (char c : option) {
        if (c == '-') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

TEST(IdxreportHelp, StatesTheExitCodesTheToolReturnsOnlyAtTheTop) {
    TempDir dir;
    ToolResult help = RunTool(dir, {"--help"});
    ASSERT_EQ(help.code, 0);
    const std::string expected = "Exit status:\n  " + std::to_string(IdxTool::kExitOk) + "  success\n  " +
                                 std::to_string(IdxTool::kExitFailed) + "  ";
    EXPECT_NE(help.out.find(expected), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\n  " + std::to_string(IdxTool::kExitUsage) + "  a wrong command line"),
              std::string::npos)
        << help.out;
    // Subcommands copy their parent's footer when added; none may carry it.
    for (const std::string& sub : Subcommands(help.out)) {
        ToolResult subHelp = RunTool(dir, {sub, "--help"});
        EXPECT_EQ(subHelp.out.find("Exit status"), std::string::npos) << sub;
    }
}

#ifdef IDXREPORT_MAN_PAGE

TEST(IdxreportManPage, DocumentsEverySubcommandOptionAndExitCode) {
    TempDir dir;
    const std::string page = ReadWhole(IDXREPORT_MAN_PAGE);
    ToolResult help = RunTool(dir, {"--help"});
    ASSERT_EQ(help.code, 0);

    const std::size_t subcommandsAt = page.find("\n.SH SUBCOMMANDS\n");
    const std::size_t exitAt = page.find("\n.SH \"EXIT STATUS\"\n");
    ASSERT_NE(subcommandsAt, std::string::npos) << page;
    ASSERT_NE(exitAt, std::string::npos) << page;
    ASSERT_LT(subcommandsAt, exitAt);
    const std::string top = page.substr(0, subcommandsAt);
    for (const char* option : {"--verbose", "--version"})
        EXPECT_NE(top.find(Roff(option)), std::string::npos) << option;

    const std::vector<std::string> subcommands = Subcommands(help.out);
    EXPECT_GE(subcommands.size(), 7u) << help.out;
    const std::regex optionName("--[a-z][a-z-]*");
    for (const std::string& sub : subcommands) {
        const std::size_t at = page.find(".SS \"idxreport " + sub + " ", subcommandsAt);
        ASSERT_NE(at, std::string::npos) << sub;
        const std::size_t end = page.find("\n.S", at + 1);
        const std::string part = page.substr(at, end - at);
        const std::string subHelp = RunTool(dir, {sub, "--help"}).out;
        std::size_t options = 0;
        for (std::sregex_iterator it(subHelp.begin(), subHelp.end(), optionName), last; it != last; ++it, ++options)
            EXPECT_NE(part.find(Roff(it->str())), std::string::npos) << sub << " " << it->str();
        EXPECT_GE(options, 1u) << sub;  // at least --help: the subsection was read at all
    }

    const std::string exitStatus = page.substr(exitAt);
    for (int code : {IdxTool::kExitOk, IdxTool::kExitFailed, IdxTool::kExitUsage})
        EXPECT_NE(exitStatus.find(".TP\n" + std::to_string(code) + "\n"), std::string::npos) << code;
}

#else

TEST(IdxreportManPage, DocumentsEverySubcommandOptionAndExitCode) {
    GTEST_SKIP() << "no manual page in this build: help2man was not found";
}

#endif

}  // namespace
}  // namespace I2::Testing
