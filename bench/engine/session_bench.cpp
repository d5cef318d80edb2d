// Bulk output through a whole session: `cat` of a large file in the remote
// shell, our headless client against ssh1d on loopback, beside Debian's
// protocol-1 client in the same run. Reports MB/s and client CPU seconds per
// run (median of the repetitions) and the time from connect to shell prompt.
//
// usage: engine_session_bench [MEGABYTES] [REPETITIONS]   (default 50 3)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <fcntl.h>

#include "engine/protocol.h"
#include "engine/status_log.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Sample {
    double seconds;
    double cpu;
    int status;
};

const char* const OPENSSL_LEGACY = R"(openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
default = default_sect
legacy = legacy_sect
[default_sect]
activate = 1
[legacy_sect]
activate = 1
)";

// Runs a program with stdin from a file (or /dev/null) and stdout discarded.
Sample runChild(std::vector<std::string> args, const std::vector<std::string>& environment,
                const std::string& input) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        for (const std::string& setting : environment)
            putenv(const_cast<char*>(setting.c_str()));
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return {seconds, cpu, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

Sample median(std::vector<Sample> samples) {
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
    return samples[samples.size() / 2];
}

void report(const char* name, const Sample& sample, double megabytes) {
    std::printf("%-28s %8.1f MB/s  wall %6.2f s  client CPU %6.2f s  (%.3f CPU s/MB)  exit %d\n", name,
                megabytes / sample.seconds, sample.seconds, sample.cpu, sample.cpu / megabytes, sample.status);
}

class Collector : public kestrel::StatusSink {
public:
    void feedText(const char* text, std::size_t length) override {
        std::lock_guard<std::mutex> hold(lock);
        seen.append(text, length);
    }
    std::mutex lock;
    std::string seen;
};

// Connect to the first prompt after the shell starts, in-process.
double promptSeconds(uint16_t port, const std::string& folder) {
    Collector output;
    kestrel::bindStatusSink(&output);
    kestrel::FixedSessionHost host(kestrel::test::SSH1D_USER, kestrel::test::SSH1D_PASSWORD, false,
                                   {24, 80, 640, 384});
    auto start = Clock::now();
    auto transport = std::make_unique<kestrel::Transport>();
    transport->stream().open("127.0.0.1", port);
    auto* state = new kestrel::SessionState(std::move(transport), 3, host);
    state->seedFileName = folder + "/ssh_seedfile";
    std::thread worker([state] { kestrel::runSession(*state); });
    double seconds = -1;
    while (Clock::now() - start < std::chrono::seconds(30)) {
        {
            std::lock_guard<std::mutex> hold(output.lock);
            std::size_t shell = output.seen.find("PTTY Allocated\n");
            if (shell != std::string::npos && output.seen.find("# ", shell) != std::string::npos) {
                seconds = std::chrono::duration<double>(Clock::now() - start).count();
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kestrel::interruptSession(*state);
    worker.join();
    kestrel::destroySession(state);
    kestrel::bindStatusSink(nullptr);
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    double megabytes = argc > 1 ? std::atof(argv[1]) : 50;
    int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    fs::path folder = fs::temp_directory_path() / "kestrel-engine-bench";
    fs::create_directories(folder);
    std::string data = (folder / "bulk.txt").string();
    {
        std::ofstream out(data, std::ios::binary);
        std::string line = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-bulk-output-line\n";
        for (std::size_t written = 0; written < std::size_t(megabytes * 1e6); written += line.size())
            out << line;
    }
    std::string script = (folder / "script").string();
    std::ofstream(script) << "cat " << data << "; exit\n";
    std::string conf = (folder / "openssl.cnf").string();
    std::ofstream(conf) << OPENSSL_LEGACY;

    kestrel::test::Ssh1dProcess server;
    std::string port = std::to_string(server.port());
    std::string password = std::string("KESTREL_PASSWORD=") + kestrel::test::SSH1D_PASSWORD;
    std::string state = "XDG_STATE_HOME=" + folder.string();
    auto ours = [&](const char* cipher) {
        return std::vector<std::string>{KESTREL_CLI, "--host", "127.0.0.1", "--port", port, "--user",
                                        kestrel::test::SSH1D_USER, "--cipher", cipher, "--send",
                                        "cat " + data + "; exit\\n", "--timeout", "600"};
    };
    std::vector<std::string> debian = {"sshpass", "-p", kestrel::test::SSH1D_PASSWORD, "ssh1", "-1", "-F",
                                       "/dev/null", "-o", "UserKnownHostsFile=" + (folder / "known").string(),
                                       "-o", "StrictHostKeyChecking=no", "-c", "3des", "-tt", "-p", port,
                                       std::string(kestrel::test::SSH1D_USER) + "@127.0.0.1"};

    std::vector<Sample> tripleDes, blowfish, reference;
    for (int i = 0; i < repetitions; ++i) {
        tripleDes.push_back(runChild(ours("3des"), {password, state}, ""));
        blowfish.push_back(runChild(ours("blowfish"), {password, state}, ""));
        reference.push_back(runChild(debian, {"OPENSSL_CONF=" + conf}, script));
    }
    std::printf("cat of %.0f MB through a pty, ssh1d on loopback, median of %d\n", megabytes, repetitions);
    report("kestrel1-cli 3des", median(tripleDes), megabytes);
    report("kestrel1-cli blowfish", median(blowfish), megabytes);
    report("Debian ssh1 3des (-tt)", median(reference), megabytes);

    std::vector<double> prompts;
    for (int i = 0; i < 5; ++i)
        prompts.push_back(promptSeconds(server.port(), folder.string()));
    std::sort(prompts.begin(), prompts.end());
    std::printf("connect to shell prompt (3des, in-process): median %.3f s, best %.3f s\n", prompts[2], prompts[0]);
    fs::remove_all(folder);
    return 0;
}
