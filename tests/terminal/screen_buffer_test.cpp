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

void expectSpareLineEmpty(const ScreenBuffer& screen, const std::string& where)
{
    const std::uint8_t* spare = screen.characters() + screen.lineCount() * screen.columns();
    for (int c = 0; c < screen.columns(); ++c) {
        ASSERT_EQ(spare[c], 0) << where;
    }
}

TEST(ScrollBack, SeventeenRowsSlideUntilTheStorageIsFull)
{
    Terminal t(20, 17, 100);
    ASSERT_EQ(t.screen.lineCount(), 117);
    t.feed(std::string(16, '\n'));
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
// view reads must be the one the plain design gives, and the spare line below
// it stays empty.
TEST(ScrollBack, SlidingStorageMatchesPlainStorage)
{
    for (int scrollback : {0, 2, 7, 500}) {
        for (int columns : {1, 8, 13, 80}) {
            Terminal sliding(columns, 6, scrollback);
            Terminal plain(columns, 6, scrollback, ScreenBuffer::StorageMode::Plain);
            test::Random random(static_cast<std::uint64_t>(scrollback * 1000 + columns));
            for (int round = 0; round < 60; ++round) {
                std::string where = "scrollback " + std::to_string(scrollback) + " columns " +
                                    std::to_string(columns) + " round " + std::to_string(round);
                for (const std::string& chunk : {test::mixedStream(random, 40), std::string(30, '\n')}) {
                    sliding.feed(chunk);
                    plain.feed(chunk);
                    ASSERT_EQ(sliding.dump(), plain.dump()) << where;
                    ASSERT_EQ(0, std::memcmp(sliding.screen.characters(), plain.screen.characters(),
                                             sliding.screen.cellCount()));
                    expectSpareLineEmpty(sliding.screen, where);
                }
                if (round % 17 == 16) {
                    // A resize keeps the logical storage, wherever the window was.
                    columns += 3;
                    sliding.screen.resize(columns, 5, 0, 0, &sliding.recorder);
                    plain.screen.resize(columns, 5, 0, 0, &plain.recorder);
                    ASSERT_EQ(sliding.dump(), plain.dump()) << where;
                }
            }
        }
    }
}

TEST(Geometry, ResizeReDividesTextAndHomesTheScreen)
{
    Terminal t(10, 3, 1);
    t.feed("abcdefghij\r\nklm\r\n\r\nz");
    EXPECT_EQ(t.screen.screenTop(), 2);
    t.screen.resize(5, 4, 50, 60, &t.recorder);
    EXPECT_EQ(t.screen.cellCount(), 30u);
    for (const char* line : {"size 5x4 scrollback 1 lines 5", "screen 1 4", "cursor line 1 column 1", "region 1 4",
                             "line 1 |abcde|", "line 2 |fghij|", "line 3 |klm|"}) {
        EXPECT_TRUE(t.shows(line)) << line << "\n" << t.dump();
    }
}

// A regression: shrinking once left old text in the spare line, which a
// delete-line then pulled onto the screen.
TEST(Geometry, ShrinkingLeavesTheSpareLineEmpty)
{
    Terminal t(10, 3, 0);
    t.feed("first\r\nsecond\r\nthird");
    t.screen.resize(10, 1, 0, 0, &t.recorder);
    expectSpareLineEmpty(t.screen, "after shrinking");
    t.feed("\x1b[M");
    EXPECT_TRUE(t.shows("line 1 ||")) << t.dump();
}

TEST(Geometry, BoundsOnSizeAndScrollBack)
{
    Terminal t(0, -3, -5);
    EXPECT_TRUE(t.shows("size 1x1 scrollback 0 lines 1")) << t.dump();
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

// Before the first resize and after the storage is released, feeds must
// neither fail nor touch memory; the next resize starts afresh.
TEST(Geometry, WithoutStorageFeedsHaveNoEffect)
{
    ScreenBuffer unsized;
    TerminalParser parser;
    parser.attach(unsized);
    EXPECT_EQ(parser.feedText("banner\r\n\x1b[2J\x1b[5;5Hx\x1b[M\x1b[P\x05"), 0);
    EXPECT_EQ(unsized.characters(), nullptr);

    Terminal t(10, 3, 2);
    t.feed("abc");
    t.screen.releaseStorage();
    EXPECT_EQ(t.screen.characters(), nullptr);
    EXPECT_EQ(t.parser.feedText("more\r\n\x1b[2J\x1b[L\x1b[M\x1b[P\x1bM\x1b[K\x05"), 0);
    for (ScreenBuffer* screen : {&unsized, &t.screen}) {
        screen->resize(10, 3, 0, 0, nullptr);
        parser.attach(*screen);
        parser.feedText("x");
        EXPECT_EQ(screen->characters()[0], 'x');
        EXPECT_EQ(screen->characters()[1], 0);
    }
}

TEST(Editing, DeleteCellsAndInsertLineRunToTheEndOfTheStorage)
{
    Terminal t(4, 3, 1);
    t.feed("abcd\r\nefgh\r\nijkl");
    {
        std::lock_guard<TerminalLock> guard(t.screen.lock());
        t.recorder.clear();
        t.screen.deleteCells(1, 3, 2, 2);  // from line 1 column 3 up to line 2 column 2
        EXPECT_EQ(t.recorder.events(), std::vector<std::string>{"event invalidate-cells 1,3 3,2"});
        t.screen.deleteCells(3, 1, 1, 1);  // inverted: moves nothing
    }
    for (const char* line : {"line 1 |abfg|", "line 2 |hijk|", "line 3 |l|"}) {
        EXPECT_TRUE(t.shows(line)) << line << "\n" << t.dump();
    }

    Terminal u(3, 2, 2);
    u.feed("a\nb\nc\nd");  // lines 1-4 hold a-d, screen is lines 3-4
    std::lock_guard<TerminalLock> guard(u.screen.lock());
    u.screen.insertLine(1);
    for (const char* line : {"line 1 ||", "line 2 |a|", "line 4 |c|"}) {  // d fell off the storage
        EXPECT_TRUE(u.shows(line)) << line << "\n" << u.dump();
    }
    expectSpareLineEmpty(u.screen, "after insertLine");
    u.screen.insertLine(99);  // limited to lineCount
    EXPECT_TRUE(u.shows("line 4 ||")) << u.dump();
}

TEST(Notifications, OnePerPrintAndPackedRelativeToTheView)
{
    Terminal t(20, 5, 10);
    t.feed("abc");
    EXPECT_EQ(t.recorder.events(), std::vector<std::string>{"event invalidate-cells 1,1 1,4"});
    struct Capture : TerminalObserver {
        std::uintptr_t w = 0;
        std::intptr_t l = 0;
        void notify(std::uint32_t message, std::uintptr_t wp, std::intptr_t lp) override
        {
            if (message == MSG_INVALIDATE_CELLS) {
                w = wp;
                l = lp;
            }
        }
        void ringBell() override {}
    } capture;
    t.screen.resize(20, 5, 0, 0, &capture);
    t.screen.setViewTop(1);
    t.feed("\x1b[4;6Hxy");
    EXPECT_EQ(capture.w, static_cast<std::uintptr_t>(3 * 256 + 7));
    EXPECT_EQ(capture.l, 3 * 256 + 0);
    t.screen.setViewTop(3);
    t.feed("z");
    EXPECT_EQ(capture.w, static_cast<std::uintptr_t>(1 * 256 + 8));
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
