// The one way the engine (and the program around it) writes text into the
// terminal. The program binds the sink: the terminal interpreter in the real
// client, a recorder in tests, standard output in the headless client.
#pragma once
#include <cstddef>
#include <string_view>

namespace kestrel {

class StatusSink {
public:
    virtual ~StatusSink() = default;
    // Called from the worker and the user-interface thread; a sink that
    // cannot take overlapping calls serialises them itself (a lock here
    // could deadlock against a sink that waits for the user-interface thread).
    virtual void feedText(const char* text, std::size_t length) = 0;
    // The engine is about to wait for the server: a sink that holds text
    // back to write it in batches shows it now, so what has arrived is never
    // left unseen while nothing more comes.
    virtual void flush() {}
};

// nullptr unbinds (text is then dropped).
void bindStatusSink(StatusSink* sink);
// Feeds the text up to its terminator; returns 0.
int logStatus(const char* text);
int logStatus(std::string_view text);
void flushStatus();

} // namespace kestrel
