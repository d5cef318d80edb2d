// Runs the script files in cases/: each is a list of commands
//   new [CxR] [scrollback N]   fresh terminal (default 80x24, 100 lines)
//   resize CxR                 resize the current terminal
//   feed BYTES                 feed bytes; escapes \e \r \n \t \s (space)
//                              \\ and \xHH
//   expect LINE                the dump (attributes included) has this line
//   event TEXT                 the last feed sent "event TEXT"
//   noevent TEXT               the last feed sent no event starting so
// Every file runs three ways: each feed whole; each feed byte by byte; and
// byte by byte with the plain storage. The dump must agree with every expect
// in all of them (events are checked on the whole feeds only).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace kestrel {
namespace {

std::filesystem::path casesDirectory()
{
    std::filesystem::path path = KESTREL_TERMINAL_CASES;
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
        // Under Wine the Linux root is drive Z:.
        path = std::filesystem::path("Z:" KESTREL_TERMINAL_CASES);
    }
    return path;
}

std::vector<std::string> caseNames()
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(casesDirectory(), error)) {
        if (entry.path().extension() == ".test") {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char c = text[++i];
        switch (c) {
        case 'e': out.push_back('\x1b'); break;
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 's': out.push_back(' '); break;
        case 'x':
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
            break;
        default: out.push_back(c); break;
        }
    }
    return out;
}

enum class FeedWay { Whole, ByteByByte, PlainStorage };

void runCase(const std::string& name, FeedWay way)
{
    std::ifstream file(casesDirectory() / (name + ".test"), std::ios::binary);
    ASSERT_TRUE(file) << name;
    std::unique_ptr<test::Terminal> terminal;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string where = name + ".test:" + std::to_string(number);
        std::size_t space = line.find(' ');
        std::string command = line.substr(0, space);
        std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
        if (command == "new" || command == "resize") {
            int columns = 80, rows = 24, scrollback = 100;
            std::istringstream words(argument);
            for (std::string word; words >> word;) {
                if (word == "scrollback") {
                    words >> scrollback;
                } else {
                    std::sscanf(word.c_str(), "%dx%d", &columns, &rows);
                }
            }
            if (command == "new") {
                terminal = std::make_unique<test::Terminal>(columns, rows, scrollback,
                                                            way == FeedWay::PlainStorage ? ScreenBuffer::StorageMode::Plain
                                                                                         : ScreenBuffer::StorageMode::Sliding);
                terminal->recorder.clear();
            } else {
                ASSERT_TRUE(terminal) << where;
                terminal->screen.resize(columns, rows, 0, 0, &terminal->recorder);
            }
            continue;
        }
        ASSERT_TRUE(terminal) << where << ": no 'new' before " << command;
        const auto& events = terminal->recorder.events();
        std::string wanted = "event " + argument;
        std::string all;
        for (const auto& e : events) {
            all += e + "\n";
        }
        if (command == "feed") {
            std::string bytes = unescape(argument);
            terminal->recorder.clear();
            if (way == FeedWay::Whole) {
                terminal->feed(bytes);
            } else {
                for (char byte : bytes) {
                    terminal->parser.feedBytes(&byte, 1);
                }
            }
        } else if (command == "expect") {
            EXPECT_TRUE(terminal->shows(argument)) << where << ": missing \"" << argument << "\"\n" << terminal->dump();
        } else if (command == "event" && way == FeedWay::Whole) {
            EXPECT_NE(std::find(events.begin(), events.end(), wanted), events.end())
                << where << ": missing \"" << wanted << "\"; sent:\n" << all;
        } else if (command == "noevent" && way == FeedWay::Whole) {
            EXPECT_EQ(("\n" + all).find("\n" + wanted), std::string::npos) << where << ": unexpected \"" << wanted << "\"; sent:\n" << all;
        } else if (command != "event" && command != "noevent") {
            FAIL() << where << ": unknown command " << command;
        }
    }
}

class TerminalCase : public testing::TestWithParam<std::string> {};

TEST_P(TerminalCase, WholeFeeds) { runCase(GetParam(), FeedWay::Whole); }
TEST_P(TerminalCase, ByteByByteFeeds) { runCase(GetParam(), FeedWay::ByteByByte); }
TEST_P(TerminalCase, PlainStorage) { runCase(GetParam(), FeedWay::PlainStorage); }

INSTANTIATE_TEST_SUITE_P(Cases, TerminalCase, testing::ValuesIn(caseNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

TEST(TerminalCases, DirectoryIsFound)
{
    EXPECT_FALSE(caseNames().empty()) << casesDirectory().string();
}

}  // namespace
}  // namespace kestrel
