#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_support.h"

namespace kestrel {
namespace {

using test::Terminal;

const std::string MIXED =
    "Login: \x1b[1mroot\x1b[0m\r\n\x1b[2J\x1b[H\x1b[1;31;44mred\x1b[m\x1b[5;3Hx\x1b[2;4r\n\n\x1bM"
    "\x1b[?1h\x1b[?25l\x1b(0q\x1b(B\x0e\x0f\x1b" "7\x1b[10;10H\x1b" "8\x1b[2P\x1b[L\x1b[M\x1b[K"
    "\x01\xe9\x7f\x1b#8\x1bY!!\x1bQ\x1b[>c\x1b[;3H\x1b[12;200H\x1b[r\r\n\r\nend\x05\x1bZ";

TEST(Splitting, EverySplitPointGivesTheWholeStreamsDump)
{
    Terminal whole(20, 6, 3);
    whole.feed(MIXED);
    const std::string expected = whole.dump();
    for (std::size_t cut = 0; cut <= MIXED.size(); ++cut) {
        Terminal split(20, 6, 3);
        split.feed(MIXED.substr(0, cut));
        split.feed(MIXED.substr(cut));
        ASSERT_EQ(split.dump(), expected) << "cut at " << cut;
        ASSERT_EQ(split.parser.pendingLength(), 0u);
    }
}

TEST(Splitting, ReplyIsSentOnceWhenTheRequestIsCut)
{
    Terminal t(20, 6, 3);
    t.feed("\x1b");
    EXPECT_EQ(t.parser.pendingLength(), 1u);
    t.feed("Z\x1b[2");
    t.feed("J");
    const auto& events = t.recorder.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "event send-to-host 5 \"vt100\""), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "event repaint-pending"), 1);
}

TEST(PendingBuffer, FeedsLargerThanTheBufferAreInterpretedWhole)
{
    Terminal t(80, 24, 100);
    std::string block(4096, 'a');
    EXPECT_EQ(t.parser.feedBytes(block.data(), block.size()), 0);
    std::string big;
    for (int i = 0; i < 700; ++i) {
        big += "line " + std::to_string(i) + "\x1b[1m!\x1b[0m\r\n";
    }
    ASSERT_GT(big.size(), PENDING_CAPACITY * 2);
    EXPECT_EQ(t.parser.feedBytes(big.data(), big.size()), 0);
    EXPECT_NE(t.dump().find("|line 699!|"), std::string::npos) << t.dump();
    EXPECT_EQ(t.dump().find("ERROR"), std::string::npos);
    // A sequence cut at the buffer's edge inside one big feed still works.
    Terminal edge(80, 24, 0);
    std::string cut(PENDING_CAPACITY - 2, 'b');
    cut += "\x1b[2J";
    EXPECT_EQ(edge.parser.feedBytes(cut.data(), cut.size()), 0);
    EXPECT_EQ(edge.dump().find("bbb"), std::string::npos);
}

TEST(PendingBuffer, AnEndlessSequenceIsDroppedWithTheMessageAndInputGoesOn)
{
    // The buffer fills with ESC [ and 4094 digits; 26 more digits follow.
    std::string hostile = "ok\x1b[" + std::string(4120, '1') + "A after";
    Terminal whole(80, 4, 0);
    EXPECT_EQ(whole.parser.feedBytes(hostile.data(), hostile.size()), -1);
    std::string dump = whole.dump();
    // The message is printed where the cursor stood, then the digits beyond
    // the buffer and the rest follow as text.
    std::string expected = "line 1 |okERROR: VT-100 internal buffer overflow!" + std::string(26, '1') + "A after|";
    EXPECT_NE(dump.find(expected), std::string::npos) << dump;
    EXPECT_EQ(whole.parser.pendingLength(), 0u);

    Terminal pieces(80, 4, 0);
    for (std::size_t at = 0; at < hostile.size(); at += 700) {
        pieces.feed(hostile.substr(at, 700));
    }
    EXPECT_EQ(pieces.dump(), dump);
}

TEST(PendingBuffer, FeedTextStopsAtTheTerminatorAndNeedsAnAttachedScreen)
{
    Terminal t(20, 3, 0);
    EXPECT_EQ(t.parser.feedText("ab\0cd"), 0);
    EXPECT_TRUE(t.shows("line 1 |ab|")) << t.dump();
    TerminalParser detached;
    EXPECT_EQ(detached.feedBytes("x", 1), -1);
}

TEST(Parameters, HugeValuesSaturateInsteadOfOverflowing)
{
    Terminal t(10, 5, 0);
    t.feed("\x1b[3;3H\x1b[2147483648A");
    EXPECT_EQ(t.screen.cursorLine(), 1);
    t.feed("\x1b[4294967297B\x1b[4294967295C");
    EXPECT_EQ(t.screen.cursorLine(), 5);
    EXPECT_EQ(t.screen.cursorColumn(), 11);
    t.feed("\x1b[?4294967297h");  // would wrap to mode 1 in 32 bits
    EXPECT_EQ(t.screen.modeWord(), 0u);
    t.feed("\x1b[4294967327m");  // would wrap to 31
    EXPECT_EQ(t.screen.currentFlags(), 0u);
}

}  // namespace
}  // namespace kestrel
