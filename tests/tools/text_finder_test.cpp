// kestrel1-drive's waits for text in the terminal's input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/kestrel1-drive/text_finder.h"

namespace kestrel::drive {
namespace {

// Texts arrive in pieces; a wait polls after each one.
TEST(TextFinder, FindsTextSplitAcrossPiecesInOrder)
{
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::string> waits;  // each must be found, in order
    } cases[] = {
        {{"ab", "cd"}, {"bc"}},
        {{"x", "h", "el", "lo", "!"}, {"hello"}},
        {{"one two one"}, {"one", "one"}},
        {{"aaa", "aab"}, {"aab"}},         // the match starts inside an earlier piece's tail
        {{"prompt$ ", "ls\r\nprompt$ "}, {"prompt$ ", "prompt$ "}},
        {{"abcabc", "abd"}, {"cabd"}},
    };
    for (const Case& test : cases) {
        TextFinder finder;
        std::size_t next = 0;
        for (const std::string& piece : test.pieces) {
            finder.append(piece.data(), piece.size());
            while (next < test.waits.size() && finder.take(test.waits[next])) {
                ++next;
            }
        }
        EXPECT_EQ(next, test.waits.size()) << test.pieces[0];
    }
}

TEST(TextFinder, AMatchIsTakenOnceAndANewTextSearchesFromIt)
{
    TextFinder finder;
    std::string text = "first marker then second";
    finder.append(text.data(), text.size());
    EXPECT_FALSE(finder.take("absent"));
    EXPECT_TRUE(finder.take("marker"));
    EXPECT_FALSE(finder.take("first"));  // before the match
    EXPECT_TRUE(finder.take("second"));
    EXPECT_FALSE(finder.take("second"));
    EXPECT_EQ(finder.all(), text);
}

// 5 MB of output in 4 KiB pieces with a poll after each: every byte is
// looked at about once, not once per poll.
TEST(TextFinder, BulkOutputIsSearchedOncePerByte)
{
    constexpr std::size_t TOTAL = 5u << 20;
    constexpr std::size_t PIECE = 4096;
    const std::string marker = "done-marker-42";
    std::string piece(PIECE, 'x');
    TextFinder finder;
    for (std::size_t fed = 0; fed < TOTAL; fed += PIECE) {
        finder.append(piece.data(), piece.size());
        ASSERT_FALSE(finder.take(marker));
    }
    finder.append(marker.data(), marker.size());
    EXPECT_TRUE(finder.take(marker));
    std::size_t polls = TOTAL / PIECE + 1;
    EXPECT_LE(finder.bytesSearched(), TOTAL + marker.size() + polls * marker.size());
}

}  // namespace
}  // namespace kestrel::drive
