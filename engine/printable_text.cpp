#include "engine/printable_text.h"

#include <cstdio>

namespace kestrel {

namespace {

constexpr unsigned char UTF8_C1_LEAD = 0xC2;

bool keptControl(unsigned char c) { return c == '\r' || c == '\n' || c == '\t' || c == '\b'; }

void escaped(const char* form, unsigned value, std::string& out) {
    char text[8];
    std::snprintf(text, sizeof text, form, value);
    out += text;
}

} // namespace

void PrintableText::feed(const char* text, std::size_t length, std::string& out) {
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (heldLead_) {
            heldLead_ = false;
            if (c >= 0x80 && c <= 0x9F) {
                escaped("\\u%04x", c, out);
                continue;
            }
            out += char(UTF8_C1_LEAD);
        }
        if (c == UTF8_C1_LEAD)
            heldLead_ = true;
        else if ((c < 0x20 && !keptControl(c)) || c == 0x7F)
            escaped("\\x%02x", c, out);
        else
            out += char(c);
    }
}

void PrintableText::finish(std::string& out) {
    if (heldLead_)
        out += char(UTF8_C1_LEAD);
    heldLead_ = false;
}

std::string printable(const std::string& text) {
    PrintableText filter;
    std::string out;
    filter.feed(text.data(), text.size(), out);
    filter.finish(out);
    return out;
}

} // namespace kestrel
