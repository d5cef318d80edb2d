// Arbitrary bytes as everything a server sends: identification line, the
// public-key message (keys, sizes, masks), and with no cipher chosen, every
// later packet through authentication, pty, shell and the interactive loop.
// The same bytes also go to the insertion check as one packet's ciphertext
// (without a cipher the session itself never runs it).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/insertion_detector.h"
#include "engine/protocol.h"
#include "engine/status_log.h"

namespace {

class DiscardSink : public kestrel::StatusSink {
public:
    void feedText(const char*, std::size_t) override {}
};

const std::string& seedPath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / "kestrel-fuzz-seedfile").string();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static DiscardSink sink;
    kestrel::bindStatusSink(&sink);
    static kestrel::InsertionDetector detector(kestrel::detectorSalt());
    std::size_t blocks = std::min(size, kestrel::DETECTOR_MAX_BODY) / kestrel::CIPHER_BLOCK_SIZE;
    detector.attacked(data, blocks * kestrel::CIPHER_BLOCK_SIZE);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return 0;
    // The server side writes the input and hangs up; the client side is the engine.
    std::thread server([&] {
        std::size_t done = 0;
        while (done < size) {
            ssize_t put = send(ends[1], data + done, size - done, MSG_NOSIGNAL);
            if (put <= 0)
                break;
            done += std::size_t(put);
        }
        shutdown(ends[1], SHUT_WR);
    });
    kestrel::FixedSessionHost host("fuzz", "pass", size > 0 && (data[size - 1] & 1) != 0,
                                   {24, 80, 640, 384});
    host.trustAnyHostKey();
    auto* state = new kestrel::SessionState(std::make_unique<kestrel::Transport>(ends[0]),
                                            kestrel::CIPHER_NONE, host);
    state->seedFileName = seedPath();
    kestrel::runSession(*state);
    // The engine may stop reading early; unblock the writer.
    shutdown(ends[0], SHUT_RDWR);
    server.join();
    kestrel::destroySession(state);
    close(ends[1]);
    return 0;
}
