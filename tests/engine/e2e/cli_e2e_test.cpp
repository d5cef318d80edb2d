// The headless client as people and scripts run it: exit codes and output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/engine/e2e/ssh1d_process.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

using test::Ssh1dProcess;

struct CliRun {
    int status;
    std::string output;
};

CliRun runCli(const std::string& arguments, const std::string& password) {
    std::string folder = test::scratchFolder("cli");
    std::string out = folder + "/out";
    std::string command = "KESTREL_PASSWORD='" + password + "' XDG_STATE_HOME='" + folder + "' " +
                          KESTREL_CLI + " " + arguments + " >'" + out + "' 2>&1";
    int raw = std::system(command.c_str());
    std::vector<uint8_t> bytes = test::readFile(out);
    std::filesystem::remove_all(folder);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(bytes.begin(), bytes.end())};
}

std::string target(const Ssh1dProcess& server) {
    return "--host 127.0.0.1 --port " + std::to_string(server.port()) + " --user tester";
}

TEST(CliTest, ScriptedSessionEndsWithStatusZero) {
    Ssh1dProcess server;
    // The shell's arithmetic makes the marker: the typed line, echoed by the
    // terminal, does not contain it.
    CliRun run = runCli(target(server) + " --cipher blowfish --send 'echo cli-ok-$((6*7))\\n' --wait-for cli-ok-42 "
                                         "--send 'exit\\n' --timeout 20",
                        test::SSH1D_PASSWORD);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Connected to host.\n"), std::string::npos);
    EXPECT_NE(run.output.find("cli-ok-42"), std::string::npos) << run.output;
}

TEST(CliTest, EachFailureHasItsOwnExitStatus) {
    Ssh1dProcess server;
    CliRun refused = runCli(target(server) + " --timeout 20", "wrong");
    EXPECT_EQ(refused.status, 4);
    EXPECT_NE(refused.output.find("Sent login password\nAuthorization error. Check username and password.\n"),
              std::string::npos)
        << refused.output;

    Ssh1dProcess badIdent({"--fault", "bad-ident"});
    EXPECT_EQ(runCli(target(badIdent) + " --timeout 20", test::SSH1D_PASSWORD).status, 5);

    Ssh1dProcess silent({"--fault", "long-length"});
    CliRun stalled = runCli(target(silent) + " --timeout 2", test::SSH1D_PASSWORD);
    EXPECT_EQ(stalled.status, 6) << stalled.output;
    EXPECT_NE(stalled.output.find("timed out"), std::string::npos);
}

// Output is written while the session still waits for more (not only at its
// end), and a wait matches text that arrives one byte per packet.
TEST(CliTest, OutputShowsAsItArrivesAndWaitsMatchAcrossPackets) {
    Ssh1dProcess server({"--fault", "one-byte-packets"});
    std::string folder = test::scratchFolder("cli");
    std::string command = "KESTREL_PASSWORD='" + std::string(test::SSH1D_PASSWORD) + "' XDG_STATE_HOME='" +
                          folder + "' exec " + KESTREL_CLI + " " + target(server) +
                          " --send 'echo split-$((6*7))\\n' --wait-for split-42 --send 'echo seen-$((6*7))\\n'"
                          " --wait-for never-comes --timeout 20";
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], 1);
        close(pipeEnds[0]);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string output;
    char block[4096];
    bool running = false;
    // Bounded by the client's own time-out: the pipe ends when it exits.
    for (ssize_t got; (got = read(pipeEnds[0], block, sizeof block)) > 0;) {
        output.append(block, std::size_t(got));
        if (output.find("seen-42") != std::string::npos) {
            running = waitpid(pid, nullptr, WNOHANG) == 0;
            break;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(pipeEnds[0]);
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(running) << output;
}

TEST(CliTest, ConnectFailureAndBadUsage) {
    // A port nobody listens on: bind one, note it, release it.
    uint16_t port;
    {
        Ssh1dProcess server;
        port = server.port();
    }
    CliRun refused = runCli("--host 127.0.0.1 --port " + std::to_string(port) + " --user x", "");
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.output.find("Could not connect to host.\n"), std::string::npos);
    EXPECT_EQ(runCli("--user x", "").status, 2);
    EXPECT_EQ(runCli("--host h --user x --cipher rot13", "").status, 2);
}

} // namespace
} // namespace kestrel
