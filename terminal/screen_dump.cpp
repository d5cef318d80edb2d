#include "terminal/screen_dump.h"

#include <cstdio>

namespace kestrel {

namespace {

void appendf(std::string& out, const char* format, auto... values)
{
    char line[160];
    int n = std::snprintf(line, sizeof line, format, values...);
    if (n > 0) {
        out.append(line, static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
    }
}

void appendEscaped(std::string& out, std::uint8_t byte)
{
    if (byte >= 0x20 && byte <= 0x7e && byte != '\\' && byte != DUMP_EMPTY_CELL) {
        out.push_back(static_cast<char>(byte));
    } else {
        appendf(out, "\\x%02x", static_cast<unsigned>(byte));
    }
}

void appendLineText(std::string& out, const std::uint8_t* cells, std::int32_t columns)
{
    std::int32_t end = columns;
    while (end > 0 && cells[end - 1] == 0) {
        --end;
    }
    for (std::int32_t c = 0; c < end; ++c) {
        if (cells[c] == 0) {
            out.push_back(DUMP_EMPTY_CELL);
        } else {
            appendEscaped(out, cells[c]);
        }
    }
}

void appendAttributeRuns(std::string& out, const std::uint32_t* words, std::int32_t columns)
{
    std::int32_t start = 0;
    while (start < columns) {
        std::int32_t end = start + 1;
        while (end < columns && words[end] == words[start]) {
            ++end;
        }
        appendf(out, " %d-%d:%x", start + 1, end, static_cast<unsigned>(words[start]));
        start = end;
    }
}

}  // namespace

std::string escapeBytes(const std::uint8_t* bytes, std::size_t length)
{
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        appendEscaped(out, bytes[i]);
    }
    return out;
}

std::string dumpScreen(const ScreenBuffer& screen, const DumpOptions& options)
{
    std::string out;
    appendf(out, "size %dx%d scrollback %d lines %d\n", screen.columns(), screen.rows(), screen.scrollbackLines(),
            screen.lineCount());
    appendf(out, "screen %d %d\n", screen.screenTop(), screen.screenBottom());
    appendf(out, "cursor line %d column %d\n", screen.cursorLine(), screen.cursorColumn());
    appendf(out, "saved line %d column %d\n", screen.savedLine(), screen.savedColumn());
    appendf(out, "region %d %d\n", screen.scrollTop(), screen.scrollBottom());
    appendf(out, "flags %x background %x\n", static_cast<unsigned>(screen.currentFlags()),
            static_cast<unsigned>(screen.currentBackground()));
    appendf(out, "modes %x\n", static_cast<unsigned>(screen.modeWord()));
    const std::uint8_t* chars = screen.characters();
    const std::uint32_t* attrs = screen.attributes();
    if (chars == nullptr) {
        out += "storage none\n";
        return out;
    }
    std::int32_t columns = screen.columns();
    for (std::int32_t line = 1; line <= screen.lineCount(); ++line) {
        std::size_t offset = static_cast<std::size_t>(line - 1) * static_cast<std::size_t>(columns);
        appendf(out, "line %d |", line);
        appendLineText(out, chars + offset, columns);
        out += "|\n";
        if (options.attributes) {
            appendf(out, "attrs %d", line);
            appendAttributeRuns(out, attrs + offset, columns);
            out += "\n";
        }
    }
    return out;
}

void EventRecorder::notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    std::string line;
    switch (message) {
    case MSG_REPAINT_PENDING: line = "event repaint-pending"; break;
    case MSG_INVALIDATE_CELLS: {
        std::int32_t viewTop = screen_ != nullptr ? screen_->viewTop() : 1;
        PackedCell last = unpackCell(static_cast<std::intptr_t>(wParam), viewTop);
        PackedCell first = unpackCell(lParam, viewTop);
        appendf(line, "event invalidate-cells %d,%d %d,%d", first.line, first.column, last.line, last.column);
        break;
    }
    case MSG_SEND_TO_HOST: {
        auto bytes = reinterpret_cast<const std::uint8_t*>(wParam);
        appendf(line, "event send-to-host %ld \"", static_cast<long>(lParam));
        line += escapeBytes(bytes, static_cast<std::size_t>(lParam));
        line += "\"";
        break;
    }
    case MSG_SCROLLBACK_MOVED: appendf(line, "event scrollback-moved %ld", static_cast<long>(wParam)); break;
    default: appendf(line, "event unknown %u", static_cast<unsigned>(message)); break;
    }
    events_.push_back(std::move(line));
}

void EventRecorder::ringBell()
{
    events_.emplace_back("event bell");
}

}  // namespace kestrel
