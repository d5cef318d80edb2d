// What compression costs and saves on the engine's own packet path: the same
// data sent through a sending and a receiving transport over a local socket,
// with and without compression, in one run. Reports the bytes on the wire
// per MB of data and the CPU seconds per MB on each side (the sender
// deflates and encrypts, the receiver decrypts and inflates), for text (a
// directory listing) and for random data (which does not deflate), in
// packets of 512 bytes (what real servers send on a pty) and 16 KiB.
//
// usage: engine_compression_bench [MEGABYTES] [REPETITIONS]   (default 16 3)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/compression.h"
#include "engine/transport.h"

namespace {

using namespace kestrel;

double threadCpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<uint8_t> textData(std::size_t size) {
    std::string text;
    std::mt19937 generator(1);
    const char* names[] = {"bin", "boot", "etc", "home", "lib", "opt", "root", "sbin", "srv", "usr", "var"};
    while (text.size() < size)
        text += "-rw-r--r-- 1 root root " + std::to_string(generator() % 100000) + " Dec  7 15:43 " +
                names[generator() % 11] + "/" + std::to_string(generator() % 5000) + ".conf\r\n";
    return std::vector<uint8_t>(text.begin(), text.begin() + std::ptrdiff_t(size));
}

std::vector<uint8_t> randomData(std::size_t size) {
    std::mt19937 generator(2);
    std::vector<uint8_t> data(size);
    for (uint8_t& b : data)
        b = uint8_t(generator());
    return data;
}

struct Result {
    double wireBytes;
    double sendCpu;
    double receiveCpu;
};

struct End {
    End(int fd, uint32_t cipher) : plain(fd) {
        if (cipher == CIPHER_TRIPLE_DES)
            transport = std::make_unique<TripleDesTransport>(plain, contexts);
        else
            transport = std::make_unique<NullCipherTransport>(plain, contexts);
        uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        transport->setSessionKey(key, sizeof key);
    }
    CipherContexts contexts = {};
    Transport plain;
    std::unique_ptr<CipherTransport> transport;
};

Result runOnce(const std::vector<uint8_t>& data, std::size_t packet, uint32_t cipher, bool compress) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::exit(1);
    End sender(fds[0], cipher), receiver(fds[1], cipher);
    if (compress) {
        sender.transport->startCompression(std::make_unique<PacketCompression>(COMPRESSION_LEVEL_DEFAULT));
        receiver.transport->startCompression(std::make_unique<PacketCompression>(COMPRESSION_LEVEL_DEFAULT));
    }
    Result result{0, 0, 0};
    std::thread writer([&] {
        double start = threadCpu();
        PacketBuffer buffer;
        for (std::size_t at = 0; at < data.size(); at += packet) {
            std::size_t n = std::min(packet, data.size() - at);
            buffer.beginPacket(MSG_SMSG_STDOUT_DATA);
            buffer.putBytesString(data.data() + at, n);
            sender.transport->writePacket(buffer);
            result.wireBytes += double(buffer.length());
        }
        buffer.beginPacket(MSG_SMSG_EXITSTATUS);
        buffer.putUint32(0);
        sender.transport->writePacket(buffer);
        result.sendCpu = threadCpu() - start;
    });
    double start = threadCpu();
    PacketBuffer buffer;
    std::size_t received = 0;
    for (;;) {
        int type = receiver.transport->readPacket(buffer);
        if (type == MSG_SMSG_STDOUT_DATA) {
            received += buffer.getStringView().size();
            continue;
        }
        if (type != MSG_SMSG_EXITSTATUS) {
            std::fprintf(stderr, "read failed: %d\n", type);
            std::exit(1);
        }
        break;
    }
    result.receiveCpu = threadCpu() - start;
    writer.join();
    close(fds[0]);
    close(fds[1]);
    if (received != data.size()) {
        std::fprintf(stderr, "lost data: %zu of %zu\n", received, data.size());
        std::exit(1);
    }
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::size_t(std::atoi(argv[1])) : 16;
    int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    std::size_t size = megabytes * 1024 * 1024;
    double mb = double(size) / (1024 * 1024);
    struct Kind {
        const char* name;
        std::vector<uint8_t> data;
    } kinds[] = {{"text", textData(size)}, {"random", randomData(size)}};
    std::printf("%zu MB per run, median of %d runs; CPU seconds per MB of data\n", megabytes, repetitions);
    std::printf("%-7s %-5s %6s %-11s %12s %10s %10s\n", "data", "cipher", "packet", "compression", "wire B/MB",
                "send s/MB", "recv s/MB");
    for (Kind& kind : kinds)
        for (uint32_t cipher : {CIPHER_NONE, CIPHER_TRIPLE_DES})
            for (std::size_t packet : {std::size_t(512), std::size_t(16384)})
                for (bool compress : {false, true}) {
                    std::vector<double> wire, send, receive;
                    // Interleaving is not needed here: both rows of a pair
                    // run back to back on the same data, the plain one first.
                    for (int r = 0; r < repetitions; ++r) {
                        Result result = runOnce(kind.data, packet, cipher, compress);
                        wire.push_back(result.wireBytes / mb);
                        send.push_back(result.sendCpu / mb);
                        receive.push_back(result.receiveCpu / mb);
                    }
                    std::printf("%-7s %-6s %6zu %-11s %12.0f %10.4f %10.4f\n", kind.name,
                                cipher == CIPHER_NONE ? "none" : "3des", packet, compress ? "zlib 6" : "off",
                                median(wire), median(send), median(receive));
                }
    return 0;
}
