// Bulk output through a whole session: `cat` of a large file in the remote
// shell, our headless client against ssh1d on loopback, beside Debian's
// protocol-1 client in the same run. ssh1d sends pty output in packets of at
// most 512 bytes, as real servers do, so the per-packet cost shows. Reports
// each client's CPU seconds per MB (median and best of the repetitions, runs
// interleaved), the cost of the ciphers and of the insertion check alone on
// the same packets, and the time from connect to shell prompt.
//
// usage: engine_session_bench [MEGABYTES] [REPETITIONS] [BASELINE_CLI]
//   (default 50 3; BASELINE_CLI: an earlier kestrel1-cli measured beside this one)
//   KESTREL_BENCH_PACKET=N: bytes of output per packet (default 512, 0: ssh1d's default)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <fcntl.h>

#include "crypto/cipher_context.h"
#include "engine/insertion_detector.h"
#include "engine/protocol.h"
#include "engine/status_log.h"
#include "tests/engine/e2e/ssh1d_process.h"

using kestrel::CipherContext;

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

struct Client {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> environment;
    std::string input;
    std::vector<Sample> samples;
};

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(const Client& client, double megabytes) {
    std::vector<double> cpu, wall;
    int failures = 0;
    for (const Sample& sample : client.samples) {
        cpu.push_back(sample.cpu / megabytes);
        wall.push_back(sample.seconds);
        failures += sample.status != 0;
    }
    std::printf("%-42s CPU s/MB median %.4f best %.4f   wall median %6.2f s (%5.1f MB/s)%s\n",
                client.name.c_str(), medianOf(cpu), *std::min_element(cpu.begin(), cpu.end()),
                medianOf(wall), megabytes / medianOf(wall), failures ? "  SOME RUNS FAILED" : "");
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The encrypted body of a stdout packet carrying 512 bytes: length 521, padding 7.
constexpr std::size_t BODY_OF_512 = 528;
constexpr std::size_t DATA_PER_PACKET = 512;

// CPU seconds per MB of output for the receive side's cipher (or, with
// cipher 0, the insertion check alone) on 512-byte packets.
double perPacketCost(uint32_t cipher, double megabytes) {
    std::mt19937 generator(7);
    std::vector<uint8_t> bodies(64 * BODY_OF_512);
    for (uint8_t& byte : bodies)
        byte = uint8_t(generator());
    uint8_t key[32] = {1, 2, 3};
    CipherContext context{};
    if (cipher == kestrel::CIPHER_TRIPLE_DES)
        kestrel::cipherKeyTripleDes(context, key, sizeof key);
    else
        kestrel::cipherKeyBlowfish(context, key, sizeof key);
    kestrel::InsertionDetector detector(kestrel::detectorSalt());
    std::size_t packets = std::size_t(megabytes * 1e6 / DATA_PER_PACKET);
    std::size_t flagged = 0;
    double start = processCpuSeconds();
    for (std::size_t i = 0; i < packets; ++i) {
        uint8_t* body = bodies.data() + (i % 64) * BODY_OF_512;
        if (cipher == kestrel::CIPHER_NONE)
            flagged += detector.attacked(body, BODY_OF_512);
        else
            kestrel::cipherDecrypt(context, body, BODY_OF_512);
    }
    double seconds = processCpuSeconds() - start;
    if (flagged != 0)
        std::printf("(the check flagged %zu random packets)\n", flagged);
    kestrel::cipherClear(context);
    return seconds / megabytes;
}

void printLoad(const char* when) {
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("load average %s: %.2f %.2f %.2f (%ld cores)\n", when, load[0], load[1], load[2],
                sysconf(_SC_NPROCESSORS_ONLN));
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
    host.trustAnyHostKey();
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
    std::string baseline = argc > 3 ? argv[3] : "";
    const char* packetSetting = std::getenv("KESTREL_BENCH_PACKET");
    std::string packet = packetSetting ? packetSetting : "512";
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

    printLoad("at start");
    kestrel::test::Ssh1dProcess server({"--pty-packet-data", packet});
    std::string port = std::to_string(server.port());
    std::string password = std::string("KESTREL_PASSWORD=") + kestrel::test::SSH1D_PASSWORD;
    std::string state = "XDG_STATE_HOME=" + folder.string();
    std::vector<Client> clients;
    auto ours = [&](const std::string& name, const std::string& program, const char* cipher, bool check) {
        std::vector<std::string> args = {program, "--host", "127.0.0.1", "--port", port, "--user",
                                         kestrel::test::SSH1D_USER, "--cipher", cipher, "--send",
                                         "cat " + data + "; exit\\n", "--timeout", "600"};
        if (!check)
            args.push_back("--no-insertion-check");
        // A baseline from before host keys were checked knows no such option.
        if (program == KESTREL_CLI)
            args.push_back("--accept-new-host-key");
        clients.push_back({name, args, {password, state}, "", {}});
    };
    ours("kestrel1-cli 3des", KESTREL_CLI, "3des", true);
    ours("kestrel1-cli 3des, no insertion check", KESTREL_CLI, "3des", false);
    ours("kestrel1-cli blowfish", KESTREL_CLI, "blowfish", true);
    ours("kestrel1-cli blowfish, no insertion check", KESTREL_CLI, "blowfish", false);
    if (!baseline.empty()) {
        ours("baseline kestrel1-cli 3des", baseline, "3des", true);
        ours("baseline kestrel1-cli blowfish", baseline, "blowfish", true);
    }
    clients.push_back({"Debian ssh1 3des (-tt)",
                       {"sshpass", "-p", kestrel::test::SSH1D_PASSWORD, "ssh1", "-1", "-F", "/dev/null", "-o",
                        "UserKnownHostsFile=" + (folder / "known").string(), "-o", "StrictHostKeyChecking=no",
                        "-c", "3des", "-tt", "-p", port, std::string(kestrel::test::SSH1D_USER) + "@127.0.0.1"},
                       {"OPENSSL_CONF=" + conf},
                       script,
                       {}});

    for (int i = 0; i < repetitions; ++i)
        for (Client& client : clients)
            client.samples.push_back(runChild(client.args, client.environment, client.input));
    std::printf("cat of %.0f MB through a pty, ssh1d on loopback, %s bytes per packet, %d runs each\n",
                megabytes, packet == "0" ? "up to 32768" : packet.c_str(), repetitions);
    for (const Client& client : clients)
        report(client, megabytes);
    std::printf("in-process, 512-byte packets: 3des decrypt %.4f, blowfish decrypt %.4f, insertion check %.5f CPU s/MB\n",
                perPacketCost(kestrel::CIPHER_TRIPLE_DES, megabytes), perPacketCost(kestrel::CIPHER_BLOWFISH, megabytes),
                perPacketCost(kestrel::CIPHER_NONE, megabytes));

    std::vector<double> prompts;
    for (int i = 0; i < 5; ++i)
        prompts.push_back(promptSeconds(server.port(), folder.string()));
    std::sort(prompts.begin(), prompts.end());
    std::printf("connect to shell prompt (3des, in-process): median %.3f s, best %.3f s\n", prompts[2], prompts[0]);
    printLoad("at end");
    fs::remove_all(folder);
    return 0;
}
