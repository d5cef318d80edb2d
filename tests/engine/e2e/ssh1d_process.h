// A real ssh1d test server on loopback, started for one test and stopped
// with it.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <sys/types.h>

namespace kestrel::test {

constexpr const char* SSH1D_USER = "tester";
constexpr const char* SSH1D_PASSWORD = "s3cret pass";

class Ssh1dProcess {
public:
    explicit Ssh1dProcess(const std::vector<std::string>& extra = {});
    ~Ssh1dProcess();
    Ssh1dProcess(const Ssh1dProcess&) = delete;
    Ssh1dProcess& operator=(const Ssh1dProcess&) = delete;

    uint16_t port() const { return port_; }
    std::string log() const;
    // Drops the log collected so far and its storage (long runs).
    void forgetLog();

private:
    void collect(int fd);

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::thread collector_;
    mutable std::mutex lock_;
    std::string log_;
};

} // namespace kestrel::test
