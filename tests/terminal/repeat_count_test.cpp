// Sequences carried out "count times" (ESC [ n M, ESC [ n P) now take one
// pass whatever the count. Each row of the table is checked against the
// deletion done one at a time, as the interpreter used to do it: same cells,
// same attributes, same cursor, and the same notifications once consecutive
// repeats are merged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace kestrel {
namespace {

using test::Random;
using test::Terminal;

constexpr int COLUMNS = 20;
constexpr int ROWS = 6;
constexpr int SCROLLBACK = 7;

// Text with gaps (cursor jumps leave empty cells inside lines), renditions,
// and enough lines to put some in the history.
std::string filling(std::uint64_t seed)
{
    Random random(seed);
    std::string out;
    for (int line = 0; line < ROWS + SCROLLBACK + 3; ++line) {
        out += line % 3 == 0 ? "\x1b[1;31;44m" : "\x1b[0m";
        int length = random.below(COLUMNS + 1);
        for (int c = 0; c < length; ++c) {
            out.push_back(static_cast<char>('a' + random.below(26)));
        }
        if (random.below(2) == 0) {
            out += "\x1b[3C";
            out += "xyz";
        }
        out += "\r\n";
    }
    return out + "\x1b[0m";
}

struct Outcome {
    std::string characters;
    std::vector<std::uint32_t> attributes;
    int cursorLine = 0;
    int cursorColumn = 0;
    std::vector<std::string> events;
};

Outcome outcome(const Terminal& t)
{
    Outcome o;
    const ScreenBuffer& s = t.screen;
    o.characters.assign(reinterpret_cast<const char*>(s.characters()), s.cellCount());
    o.attributes.assign(s.attributes(), s.attributes() + s.cellCount());
    o.cursorLine = s.cursorLine();
    o.cursorColumn = s.cursorColumn();
    for (const std::string& e : t.recorder.events()) {
        if (o.events.empty() || o.events.back() != e) {
            o.events.push_back(e);
        }
    }
    return o;
}

void expectSame(const Outcome& a, const Outcome& b)
{
    EXPECT_EQ(a.characters, b.characters);
    EXPECT_EQ(a.attributes, b.attributes);
    EXPECT_EQ(a.cursorLine, b.cursorLine);
    EXPECT_EQ(a.cursorColumn, b.cursorColumn);
    EXPECT_EQ(a.events, b.events);
}

// One deletion at a time. Past `enough` repeats nothing changes any more
// (shown by one more repeat leaving the storage as it was), so the rest of a
// huge count is not carried out here either.
Outcome oneAtATime(Terminal& t, char final, int count, int enough)
{
    int repeats = std::min(std::max(count, 1), enough);
    auto once = [&] {
        if (final == 'M') {
            t.screen.deleteCells(POS_CURSOR, POS_START, POS_CURSOR, POS_END);
        } else {
            t.screen.deleteCells(POS_CURSOR, POS_CURSOR, POS_CURSOR, POS_CURSOR);
        }
    };
    for (int i = 0; i < repeats; ++i) {
        once();
    }
    Outcome before = outcome(t);
    if (repeats == enough) {
        once();
        Outcome after = outcome(t);
        EXPECT_EQ(after.characters, before.characters) << "not settled after " << enough;
        EXPECT_EQ(after.attributes, before.attributes);
    }
    return before;
}

TEST(RepeatCounts, OnePassGivesWhatRepeatingGave)
{
    // Where the cursor stands: top, middle and last line, first, middle and
    // last column, and past the last column (after a full line).
    const std::vector<std::string> cursors = {"\x1b[1;1H", "\x1b[3;7H", "\x1b[6;1H", "\x1b[2;20H",
                                              "\x1b[4;1H" + std::string(COLUMNS, 'q'), "\x1b[5;14H"};
    const int lines = ROWS + SCROLLBACK;
    // Counts around every size involved; the parser reads a longer number
    // as its largest parameter value.
    const std::vector<std::string> counts = {"",
                                             "0",
                                             "1",
                                             "2",
                                             "3",
                                             std::to_string(ROWS),
                                             std::to_string(COLUMNS - 1),
                                             std::to_string(COLUMNS),
                                             std::to_string(COLUMNS + 1),
                                             std::to_string(lines),
                                             std::to_string(lines + 1),
                                             std::to_string(lines + 2),
                                             "999",
                                             std::to_string(MAX_PARAMETER_VALUE),
                                             "2147483647999"};
    int seed = 0;
    for (char final : {'M', 'P'}) {
        for (auto mode : {ScreenBuffer::StorageMode::Sliding, ScreenBuffer::StorageMode::Plain}) {
            for (const std::string& cursor : cursors) {
                for (const std::string& count : counts) {
                    SCOPED_TRACE(std::string("ESC [ ") + count + final + " after " + escapeBytes(reinterpret_cast<const std::uint8_t*>(cursor.data()), cursor.size()));
                    std::string setUp = filling(static_cast<std::uint64_t>(++seed)) + cursor;
                    Terminal repeated(COLUMNS, ROWS, SCROLLBACK, mode);
                    Terminal once(COLUMNS, ROWS, SCROLLBACK, mode);
                    repeated.feed(setUp);
                    once.feed(setUp);
                    repeated.recorder.clear();
                    once.recorder.clear();
                    int value = count.size() > 6 ? MAX_PARAMETER_VALUE : (count.empty() ? 0 : std::stoi(count));
                    int enough = (final == 'M' ? lines : COLUMNS) + 2;
                    Outcome expected = oneAtATime(repeated, final, value, enough);
                    once.feed("\x1b[" + count + final);
                    expectSame(outcome(once), expected);
                }
            }
        }
    }
}

// The direct form, as the fuzzer reaches it: ranges across lines, inverted
// ranges and ranges within one line, each repeated.
TEST(RepeatCounts, RangesRepeatedDirectly)
{
    struct Range {
        int row1, column1, row2, column2;
    } ranges[] = {{1, 3, 2, 2}, {3, 1, 1, 1}, {2, 5, 2, 9}, {4, 18, 4, POS_END}, {5, 1, 5, 1}, {6, 20, 6, 20}};
    for (const Range& r : ranges) {
        for (int times : {0, 1, 2, 3, 4, 7, 50, 2147483647}) {
            SCOPED_TRACE(std::to_string(r.row1) + "," + std::to_string(r.column1) + " " + std::to_string(r.row2) +
                         "," + std::to_string(r.column2) + " x" + std::to_string(times));
            std::string setUp = filling(static_cast<std::uint64_t>(times) * 31 + r.row1);
            Terminal repeated(COLUMNS, ROWS, SCROLLBACK);
            Terminal once(COLUMNS, ROWS, SCROLLBACK);
            repeated.feed(setUp);
            once.feed(setUp);
            repeated.recorder.clear();
            once.recorder.clear();
            int enough = (ROWS + SCROLLBACK + 1) * COLUMNS + 2;
            for (int i = 0; i < std::min(times, enough); ++i) {
                repeated.screen.deleteCells(r.row1, r.column1, r.row2, r.column2);
            }
            once.screen.deleteCells(r.row1, r.column1, r.row2, r.column2, times);
            expectSame(outcome(once), outcome(repeated));
        }
    }
}

}  // namespace
}  // namespace kestrel
