#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace kestrel {
namespace {

using test::Terminal;

std::vector<std::string> eventsStartingWith(const EventRecorder& recorder, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& e : recorder.events()) {
        if (e.rfind(prefix, 0) == 0) {
            found.push_back(e);
        }
    }
    return found;
}

TEST(ScrollBack, SeventeenRowsSlideUntilTheStorageIsFull)
{
    Terminal t(20, 17, 100);
    ASSERT_EQ(t.screen.lineCount(), 117);
    for (int i = 1; i <= 16; ++i) {
        t.feed("\n");
    }
    EXPECT_TRUE(eventsStartingWith(t.recorder, "event scrollback-moved").empty());
    EXPECT_EQ(t.screen.cursorLine(), 17);
    for (int top = 2; top <= 101; ++top) {
        t.recorder.clear();
        t.feed("x\n");
        ASSERT_EQ(eventsStartingWith(t.recorder, "event scrollback-moved"),
                  std::vector<std::string>{"event scrollback-moved " + std::to_string(top)});
        ASSERT_EQ(t.screen.screenTop(), top);
        ASSERT_EQ(t.screen.screenBottom(), top + 16);
    }
    // Full: further line feeds move the storage; the oldest line is lost.
    t.recorder.clear();
    t.feed("y\n");
    EXPECT_TRUE(eventsStartingWith(t.recorder, "event scrollback-moved").empty());
    EXPECT_EQ(t.screen.screenTop(), 101);
    EXPECT_EQ(t.screen.cursorLine(), 117);
    const std::uint8_t* cells = t.screen.characters();
    EXPECT_EQ(cells[(116 - 1) * 20], 'y');
    EXPECT_EQ(cells[(17 - 1) * 20 - 20], 'x');  // line 16: the first x moved up one line
}

// Whatever the storage mode and wherever the window stands, the storage the
// view reads must be the one the plain design gives.
TEST(ScrollBack, SlidingStorageMatchesPlainStorage)
{
    for (int scrollback : {0, 1, 7, 500}) {
        for (int columns : {1, 13, 80}) {
            Terminal sliding(columns, 6, scrollback);
            Terminal plain(columns, 6, scrollback, ScreenBuffer::StorageMode::Plain);
            test::Random random(static_cast<std::uint64_t>(scrollback * 1000 + columns));
            for (int round = 0; round < 60; ++round) {
                std::string chunk = test::mixedStream(random, 40) + std::string(30, '\n');
                sliding.feed(chunk);
                plain.feed(chunk);
                ASSERT_EQ(sliding.dump(), plain.dump()) << "scrollback " << scrollback << " columns " << columns;
                ASSERT_EQ(0, std::memcmp(sliding.screen.characters(), plain.screen.characters(),
                                         sliding.screen.cellCount()));
                if (round % 17 == 16) {
                    // A resize keeps the logical storage, wherever the window was.
                    sliding.screen.resize(columns + 3, 5, 0, 0, &sliding.recorder);
                    plain.screen.resize(columns + 3, 5, 0, 0, &plain.recorder);
                    ASSERT_EQ(sliding.dump(), plain.dump());
                    columns += 3;
                }
            }
        }
    }
}

TEST(ScrollBack, SpareLineStaysEmpty)
{
    Terminal t(8, 3, 2);
    test::Random random(7);
    for (int round = 0; round < 200; ++round) {
        t.feed(test::mixedStream(random, 10));
        const std::uint8_t* spare = t.screen.characters() + t.screen.lineCount() * 8;
        for (int c = 0; c < 8; ++c) {
            ASSERT_EQ(spare[c], 0) << "round " << round;
        }
    }
}

TEST(Geometry, ResizeReDividesTextAndHomesTheScreen)
{
    Terminal t(10, 3, 1);
    t.feed("abcdefghij\r\nklm\r\n\r\nz");
    EXPECT_EQ(t.screen.screenTop(), 2);
    t.screen.resize(5, 4, 50, 60, &t.recorder);
    EXPECT_EQ(t.screen.screenTop(), 1);
    EXPECT_EQ(t.screen.screenBottom(), 4);
    EXPECT_EQ(t.screen.cursorLine(), 1);
    EXPECT_EQ(t.screen.scrollTop(), 1);
    EXPECT_EQ(t.screen.scrollBottom(), 4);
    EXPECT_EQ(t.screen.lineCount(), 5);
    EXPECT_EQ(t.screen.cellCount(), 30u);
    std::string dump = t.dump();
    EXPECT_NE(dump.find("line 1 |abcde|"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 2 |fghij|"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 3 |klm|"), std::string::npos) << dump;
}

TEST(Geometry, ShrinkingLeavesTheSpareLineEmpty)
{
    Terminal t(10, 3, 0);
    t.feed("first\r\nsecond\r\nthird");
    t.screen.resize(10, 1, 0, 0, &t.recorder);
    for (int c = 0; c < 10; ++c) {
        ASSERT_EQ(t.screen.characters()[10 + c], 0);
    }
    t.feed("\x1b[M");  // deleting the only line pulls up the spare line
    EXPECT_NE(t.dump().find("line 1 ||"), std::string::npos) << t.dump();
}

TEST(Geometry, BoundsOnSizeAndScrollBack)
{
    Terminal t(0, -3, -5);
    EXPECT_EQ(t.screen.columns(), 1);
    EXPECT_EQ(t.screen.rows(), 1);
    EXPECT_EQ(t.screen.lineCount(), 1);
    t.screen.setScrollbackLines(100000);
    t.screen.resize(MAX_COLUMNS + 1, MAX_ROWS + 1, 0, 0, nullptr);
    EXPECT_EQ(t.screen.scrollbackLines(), MAX_SCROLLBACK_LINES);
    EXPECT_EQ(t.screen.columns(), MAX_COLUMNS);
    EXPECT_EQ(t.screen.lineCount(), MAX_ROWS + MAX_SCROLLBACK_LINES);
}

// The widest screen still reports its last column correctly: the change report
// has one byte per column, so a wider one would name the wrong cells.
TEST(Geometry, WidestScreenReportsItsLastColumn)
{
    Terminal t(MAX_COLUMNS + 40, 2, 0);
    ASSERT_EQ(t.screen.columns(), MAX_COLUMNS);
    t.feed("\x1b[2;" + std::to_string(MAX_COLUMNS) + "H");
    t.recorder.clear();
    t.feed("z");
    // The report runs to the cursor, which now waits one column past the last.
    EXPECT_EQ(eventsStartingWith(t.recorder, "event invalidate-cells"),
              std::vector<std::string>{"event invalidate-cells 2,1 2," + std::to_string(MAX_COLUMNS + 1)});
}

TEST(Geometry, ReleasedStorageIgnoresEditsUntilTheNextResize)
{
    Terminal t(10, 3, 2);
    t.feed("abc");
    t.screen.releaseStorage();
    EXPECT_EQ(t.screen.characters(), nullptr);
    t.feed("more\r\n\x1b[2J\x1b[L\x1b[M\x1b[P\x1bM\x1b[K");
    t.screen.resize(10, 3, 0, 0, &t.recorder);
    t.feed("x");
    EXPECT_NE(t.dump().find("line 1 |x|"), std::string::npos);
}

TEST(Editing, DeleteCellsAcrossLinesPullsUpTheRestOfTheStorage)
{
    Terminal t(4, 3, 1);
    t.feed("abcd\r\nefgh\r\nijkl");
    std::lock_guard<TerminalLock> guard(t.screen.lock());
    t.recorder.clear();
    t.screen.deleteCells(1, 3, 2, 2);  // from line 1 column 3 up to line 2 column 2
    std::string dump = t.dump();
    EXPECT_NE(dump.find("line 1 |abfg|"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 2 |hijk|"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 3 |l|"), std::string::npos) << dump;
    EXPECT_EQ(t.recorder.events(), std::vector<std::string>{"event invalidate-cells 1,3 3,2"});
    // An inverted range moves nothing.
    t.screen.deleteCells(3, 1, 1, 1);
    EXPECT_NE(t.dump().find("line 1 |abfg|"), std::string::npos);
}

TEST(Editing, InsertLineRunsToTheEndOfTheStorage)
{
    Terminal t(3, 2, 2);
    t.feed("a\nb\nc\nd");  // lines 1-4 hold a-d, screen is lines 3-4
    std::lock_guard<TerminalLock> guard(t.screen.lock());
    t.screen.insertLine(1);
    std::string dump = t.dump();
    EXPECT_NE(dump.find("line 1 ||"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 2 |a|"), std::string::npos) << dump;
    EXPECT_NE(dump.find("line 4 |c|"), std::string::npos) << dump;  // d fell off the storage
    EXPECT_EQ(t.screen.characters()[4 * 3], 0);                      // the spare line
    t.screen.insertLine(99);  // limited to lineCount
    EXPECT_NE(t.dump().find("line 4 ||"), std::string::npos);
}

TEST(Notifications, OnePerPrintAndPackedRelativeToTheView)
{
    Terminal t(20, 5, 10);
    t.feed("abc");
    EXPECT_EQ(t.recorder.events(), std::vector<std::string>{"event invalidate-cells 1,1 1,4"});
    t.recorder.clear();
    t.screen.setViewTop(3);
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    struct Capture : TerminalObserver {
        std::uintptr_t* w;
        std::intptr_t* l;
        void notify(std::uint32_t message, std::uintptr_t wp, std::intptr_t lp) override
        {
            if (message == MSG_INVALIDATE_CELLS) {
                *w = wp;
                *l = lp;
            }
        }
        void ringBell() override {}
    } capture;
    capture.w = &wParam;
    capture.l = &lParam;
    t.screen.resize(20, 5, 0, 0, &capture);
    t.screen.setViewTop(1);
    t.feed("\x1b[4;6Hxy");
    EXPECT_EQ(wParam, static_cast<std::uintptr_t>(3 * 256 + 7));
    EXPECT_EQ(lParam, 3 * 256 + 0);
    t.screen.setViewTop(3);
    t.feed("z");
    EXPECT_EQ(wParam, static_cast<std::uintptr_t>(1 * 256 + 8));
}

TEST(Selection, OrdersEndsAndJoinsLinesWithCrLf)
{
    Terminal t(20, 8, 0);
    for (int line = 1; line <= 8; ++line) {
        t.feed("\x1b[" + std::to_string(line) + ";1Hline" + std::to_string(line) + "-abcdefghij");
    }
    std::u16string expected = u"efghij\r\nline6-abcdefghij\r\nlin";
    EXPECT_EQ(t.screen.selectionText(10, 5, 3, 7), expected);
    EXPECT_EQ(t.screen.selectionText(3, 7, 10, 5), expected);
    EXPECT_EQ(t.screen.selectionText(4, 2, 4, 2), u"");
    EXPECT_EQ(t.screen.selectionText(6, 3, 2, 3), u"ne3-");
    // Line 0 starts at line 1; columns beyond the grid are limited to it.
    EXPECT_EQ(t.screen.selectionText(0, 0, 99, 0), u"line1-abcdefghij");
    EXPECT_EQ(t.screen.selectionText(-5, 8, 99, 99), u"line8-abcdefghij");
}

TEST(Selection, StopsAtEmptyCellsAndReadsBytesAsLatin1)
{
    Terminal t(10, 3, 0);
    t.feed("ab\x1b[1;5Hcd\x1b[2;1H\x1f");
    {
        std::lock_guard<TerminalLock> guard(t.screen.lock());
        t.screen.printLiteral("\xe9\xff", 2);
    }
    EXPECT_EQ(t.screen.selectionText(0, 1, 10, 1), u"ab");
    EXPECT_EQ(t.screen.selectionText(0, 1, 10, 3), u"ab\r\n\x1f\u00e9\u00ff\r\n");
    EXPECT_EQ(t.screen.selectionBytes(0, 2, 3, 2), "\x1f\xe9\xff");
}

}  // namespace
}  // namespace kestrel
