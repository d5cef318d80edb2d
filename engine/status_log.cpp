#include "engine/status_log.h"

#include <atomic>
#include <cstring>

namespace kestrel {

namespace {
std::atomic<StatusSink*> boundSink{nullptr};
}

void bindStatusSink(StatusSink* sink) { boundSink.store(sink); }

int logStatus(std::string_view text) {
    StatusSink* sink = boundSink.load();
    if (sink != nullptr && !text.empty())
        sink->feedText(text.data(), text.size());
    return 0;
}

void flushStatus() {
    StatusSink* sink = boundSink.load();
    if (sink != nullptr)
        sink->flush();
}

int logStatus(const char* text) { return logStatus(std::string_view(text, std::strlen(text))); }

} // namespace kestrel
