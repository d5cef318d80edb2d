// Finds awaited text in a growing record of the terminal's input. Waits poll
// for their text many times while output streams in, so every poll looks
// only at what arrived since the last one (plus the few bytes a match could
// start in): bulk output costs each byte one look, not one per poll.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

namespace kestrel::drive {

class TextFinder {
public:
    void append(const char* text, std::size_t length) { seen_.append(text, length); }

    // Finds text after the previous match and moves past it.
    bool take(const std::string& text)
    {
        if (text != pattern_) {
            pattern_ = text;
            searchedTo_ = matchedTo_;
        }
        std::size_t start = std::max(matchedTo_, searchedTo_);
        bytesSearched_ += seen_.size() - start;
        std::size_t at = seen_.find(text, start);
        if (at == std::string::npos) {
            // A match may still begin in the last text.size() - 1 bytes.
            if (seen_.size() >= text.size()) {
                searchedTo_ = std::max(start, seen_.size() - text.size() + 1);
            }
            return false;
        }
        matchedTo_ = at + text.size();
        searchedTo_ = matchedTo_;
        return true;
    }

    const std::string& all() const { return seen_; }
    // Bytes the searches started on, summed over every take.
    std::size_t bytesSearched() const { return bytesSearched_; }

private:
    std::string seen_;
    std::string pattern_;
    std::size_t matchedTo_ = 0;
    std::size_t searchedTo_ = 0;
    std::size_t bytesSearched_ = 0;
};

}  // namespace kestrel::drive
