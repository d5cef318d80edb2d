#include "tests/engine/e2e/ssh1d_process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

// A first run generates the host key.
constexpr auto STARTUP_LIMIT = std::chrono::seconds(60);
const std::string LISTENING = "ssh1d: listening on ";

std::string stateFolder() {
    // Shared by every run so the host key is made once.
    auto folder = std::filesystem::temp_directory_path() / "kestrel-engine-ssh1d-state";
    std::filesystem::create_directories(folder);
    return folder.string();
}

} // namespace

Ssh1dProcess::Ssh1dProcess(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"/usr/bin/python3",   KESTREL_SSH1D,   "--port", "0",
                                     "--user",             SSH1D_USER,      "--password",
                                     SSH1D_PASSWORD,       "--state-dir",   stateFolder(),
                                     "--host-key-bits",    "1024"};
    args.insert(args.end(), extra.begin(), extra.end());
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeEnds[1], 2);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    collector_ = std::thread([this, fd = pipeEnds[0]] { collect(fd); });
    auto deadline = std::chrono::steady_clock::now() + STARTUP_LIMIT;
    for (; port_ == 0 && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        std::string text = log();
        std::size_t at = text.find(LISTENING);
        std::size_t end = at == std::string::npos ? at : text.find('\n', at);
        if (end != std::string::npos) // "host:port\n"
            port_ = uint16_t(std::atoi(text.c_str() + text.rfind(':', end) + 1));
    }
    if (port_ == 0)
        throw std::runtime_error("ssh1d did not start: " + log());
}

Ssh1dProcess::~Ssh1dProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (collector_.joinable())
        collector_.join();
}

std::string Ssh1dProcess::log() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_;
}

void Ssh1dProcess::forgetLog() {
    std::lock_guard<std::mutex> hold(lock_);
    std::string().swap(log_);
}

void Ssh1dProcess::collect(int fd) {
    char block[4096];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0) {
        std::lock_guard<std::mutex> hold(lock_);
        log_.append(block, std::size_t(got));
    }
    close(fd);
}

} // namespace kestrel::test
