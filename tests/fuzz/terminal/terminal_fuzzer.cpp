// Feeds arbitrary bytes in arbitrary pieces to terminals of arbitrary size and
// checks the geometry invariants after every piece. A second terminal with
// the plain storage takes the same bytes in one piece per resize interval;
// both must end in the same state (cut points and the storage's sliding
// window are invisible).
//
// Input layout: 8 header bytes, then the terminal's input.
//   0 columns  1 rows  2 scroll-back  3 piece sizes  4-7 mid-stream resize
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "terminal/screen_dump.h"
#include "terminal/terminal_parser.h"

namespace {

using kestrel::ScreenBuffer;

struct NullView : kestrel::TerminalObserver {
    void notify(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
    void ringBell() override {}
};

struct Terminal {
    ScreenBuffer screen;
    kestrel::TerminalParser parser;
    NullView view;

    Terminal(ScreenBuffer::StorageMode mode, int columns, int rows, int scrollback)
    {
        parser.attach(screen);
        screen.setStorageMode(mode);
        screen.setScrollbackLines(scrollback);
        screen.resize(columns, rows, 0, 0, &view);
    }
};

void fail(int line)
{
    std::fprintf(stderr, "terminal_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define check(condition) ((condition) ? (void)0 : fail(__LINE__))

void checkInvariants(const Terminal& t)
{
    const ScreenBuffer& s = t.screen;
    check(s.cursorColumn() >= 1 && s.cursorColumn() <= s.columns() + 1);
    check(s.cursorLine() >= 1 && s.cursorLine() <= s.screenBottom());
    check(s.screenTop() >= 1 && s.screenBottom() <= s.lineCount());
    check(s.screenBottom() - s.screenTop() + 1 == s.rows());
    check(s.cellCount() == static_cast<std::uint32_t>((s.lineCount() + 1) * s.columns()));
    check(t.parser.pendingLength() <= kestrel::PENDING_CAPACITY);
    const std::uint8_t* spare = s.characters() + static_cast<std::size_t>(s.lineCount()) * s.columns();
    for (int c = 0; c < s.columns(); ++c) {
        check(spare[c] == 0);
    }
}

int pickColumns(std::uint8_t b)
{
    static const int CHOICES[] = {1, 2, 3, 8, 80, 132};
    return b < 192 ? CHOICES[b % 6] : 1 + b % 40;
}

int pickRows(std::uint8_t b)
{
    return b < 128 ? 1 + b % 4 : 1 + b % 30;
}

int pickScrollback(std::uint8_t b)
{
    static const int CHOICES[] = {0, 500, 1, 3, 100, 17};
    return CHOICES[b % 6];
}

const std::int32_t ARGUMENTS[] = {kestrel::POS_CURSOR, kestrel::POS_START, kestrel::POS_END, -5, 1, 2, 7, 99999};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 8) {
        return 0;
    }
    int columns = pickColumns(data[0]);
    int rows = pickRows(data[1]);
    int scrollback = pickScrollback(data[2]);
    std::uint32_t pieces = data[3];
    std::size_t resizeAt = data[4] < 128 ? static_cast<std::size_t>(-1) : (size - 8) * data[5] / 256;
    const char* input = reinterpret_cast<const char*>(data + 8);
    std::size_t length = size - 8;

    Terminal split(ScreenBuffer::StorageMode::Sliding, columns, rows, scrollback);
    Terminal whole(ScreenBuffer::StorageMode::Plain, columns, rows, scrollback);
    std::size_t at = 0;
    std::size_t wholeFrom = 0;
    while (at < length) {
        std::size_t piece = 1 + (pieces % 97);
        pieces = pieces * 1103515245u + 12345u;
        if (at < resizeAt && at + piece > resizeAt) {
            piece = resizeAt - at;
        }
        piece = std::min(piece, length - at);
        split.parser.feedBytes(input + at, piece);
        checkInvariants(split);
        at += piece;
        if (at == resizeAt) {
            whole.parser.feedBytes(input + wholeFrom, at - wholeFrom);
            wholeFrom = at;
            int newColumns = pickColumns(data[6]);
            int newRows = pickRows(data[7]);
            split.screen.setScrollbackLines(pickScrollback(data[7] >> 4));
            whole.screen.setScrollbackLines(pickScrollback(data[7] >> 4));
            split.screen.resize(newColumns, newRows, 0, 0, &split.view);
            whole.screen.resize(newColumns, newRows, 0, 0, &whole.view);
            checkInvariants(split);
        }
    }
    whole.parser.feedBytes(input + wholeFrom, length - wholeFrom);
    checkInvariants(whole);

    // Direct edits with marker and out-of-range arguments, on both.
    for (Terminal* t : {&split, &whole}) {
        std::lock_guard<kestrel::TerminalLock> guard(t->screen.lock());
        std::int32_t a = ARGUMENTS[data[4] % 8];
        std::int32_t b = ARGUMENTS[data[5] % 8];
        std::int32_t c = ARGUMENTS[data[6] % 8];
        std::int32_t d = ARGUMENTS[(data[4] >> 3) % 8];
        t->screen.deleteCells(a, b, c, d);
        t->screen.eraseRange(b, a, d, c);
        t->screen.insertLine(ARGUMENTS[(data[5] >> 3) % 8]);
        t->screen.setCursor(c, d);
        t->screen.setScrollRegion(a, d);
        t->screen.reverseIndex();
        t->screen.printText("\n\n", 2);
        checkInvariants(*t);
    }
    const ScreenBuffer& a = split.screen;
    const ScreenBuffer& b = whole.screen;
    check(a.cellCount() == b.cellCount() && a.cursorLine() == b.cursorLine() &&
          a.cursorColumn() == b.cursorColumn() && a.screenTop() == b.screenTop() &&
          a.savedLine() == b.savedLine() && a.currentFlags() == b.currentFlags() &&
          a.currentBackground() == b.currentBackground() && a.modeWord() == b.modeWord());
    check(std::memcmp(a.characters(), b.characters(), a.cellCount()) == 0);
    check(std::memcmp(a.attributes(), b.attributes(), a.cellCount() * sizeof(std::uint32_t)) == 0);
    kestrel::DumpOptions withAttributes;
    withAttributes.attributes = true;
    check(!kestrel::dumpScreen(a, withAttributes).empty());
    std::int32_t line = split.screen.lineCount();
    check(split.screen.selectionText(data[6] - 128, data[7] % (line + 2), data[5] - 20, data[4] % (line + 2)) ==
          whole.screen.selectionText(data[6] - 128, data[7] % (line + 2), data[5] - 20, data[4] % (line + 2)));
    return 0;
}
