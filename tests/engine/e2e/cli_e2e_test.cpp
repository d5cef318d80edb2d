// The headless client as people and scripts run it: exit codes and output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <csignal>
#include <sys/wait.h>

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

// Each run has a known_hosts of its own (runCli's folder): the server's key
// is new to it every time.
std::string target(const Ssh1dProcess& server) {
    return "--host 127.0.0.1 --port " + std::to_string(server.port()) + " --user tester --accept-new-host-key";
}

std::string keyRun(const Ssh1dProcess& server, const std::string& knownHosts, bool acceptNew) {
    return "--host 127.0.0.1 --port " + std::to_string(server.port()) + " --user tester --known-hosts '" +
           knownHosts + "'" + (acceptNew ? " --accept-new-host-key" : "") +
           " --send 'echo key-$((6*7))\\n' --wait-for key-42 --send 'exit\\n' --timeout 20";
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
    // The shell's first line is the client's process id (exec keeps it).
    std::string command = "echo $$; KESTREL_PASSWORD='" + std::string(test::SSH1D_PASSWORD) +
                          "' XDG_STATE_HOME='" + folder + "' exec " + KESTREL_CLI + " " + target(server) +
                          " --send 'echo split-$((6*7))\\n' --wait-for split-42 --send 'echo seen-$((6*7))\\n'"
                          " --wait-for never-comes --timeout 20";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char line[4096];
    pid_t pid = std::fgets(line, sizeof line, out) ? pid_t(std::atol(line)) : -1;
    std::string output;
    bool running = false;
    // Bounded by the client's own time-out: the pipe ends when it exits.
    while (pid > 0 && !running && std::fgets(line, sizeof line, out)) {
        output += line;
        running = output.find("seen-42") != std::string::npos && waitpid(pid, nullptr, WNOHANG) == 0;
    }
    kill(pid, SIGTERM);
    pclose(out);
    std::filesystem::remove_all(folder);
    EXPECT_TRUE(running) << output;
}

TEST(CliTest, HostKeysNewKnownAndChanged) {
    std::string folder = test::scratchFolder("cli-keys");
    std::string known = folder + "/known_hosts";
    {
        Ssh1dProcess server;
        CliRun unknown = runCli(keyRun(server, known, false), test::SSH1D_PASSWORD);
        EXPECT_EQ(unknown.status, 253) << unknown.output;
        EXPECT_NE(unknown.output.find("is not known: 1024 bits, MD5:"), std::string::npos) << unknown.output;
        EXPECT_NE(unknown.output.find("Give --accept-new-host-key"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(known));

        CliRun first = runCli(keyRun(server, known, true), test::SSH1D_PASSWORD);
        EXPECT_EQ(first.status, 0) << first.output;
        EXPECT_NE(first.output.find("trusted: 1024 bits"), std::string::npos) << first.output;
        std::vector<uint8_t> file = test::readFile(known);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 11), "[127.0.0.1]");

        CliRun again = runCli(keyRun(server, known, false), test::SSH1D_PASSWORD);
        EXPECT_EQ(again.status, 0) << again.output;
        EXPECT_NE(again.output.find("known: 1024 bits"), std::string::npos) << again.output;
    }
    // The same address and port, another host key: a server that is not the one trusted.
    std::string otherState = folder + "/other-server";
    Ssh1dProcess impostor({"--state-dir", otherState});
    std::string knownForImpostor = folder + "/known_impostor";
    std::vector<uint8_t> trusted = test::readFile(known);
    std::string line(trusted.begin(), trusted.end());
    line.replace(line.find(':') + 1, line.find(' ') - line.find(':') - 1, std::to_string(impostor.port()));
    std::ofstream(knownForImpostor) << "# kept\n" << line;
    for (bool acceptNew : {false, true}) {
        CliRun changed = runCli(keyRun(impostor, knownForImpostor, acceptNew), test::SSH1D_PASSWORD);
        EXPECT_EQ(changed.status, 253) << changed.output;
        EXPECT_NE(changed.output.find("HAS CHANGED"), std::string::npos) << changed.output;
        EXPECT_NE(changed.output.find("Remove line 2 of " + knownForImpostor), std::string::npos) << changed.output;
    }
    EXPECT_EQ(impostor.log().find("user '"), std::string::npos) << impostor.log(); // nothing sent
    std::ofstream(knownForImpostor) << "[127.0.0.1]:" << impostor.port() << " 1024 65537 12x\n";
    CliRun damaged = runCli(keyRun(impostor, knownForImpostor, true), test::SSH1D_PASSWORD);
    EXPECT_EQ(damaged.status, 253) << damaged.output;
    EXPECT_NE(damaged.output.find("line 1 cannot be read"), std::string::npos) << damaged.output;
    std::filesystem::remove_all(folder);
}

// On a terminal, a title change and a clipboard write from the server are
// shown as text unless --raw asks for every byte; a pipe gets every byte.
TEST(CliTest, ControlsReachingARealTerminalAreShownAsEscapes) {
    Ssh1dProcess server;
    std::string folder = test::scratchFolder("cli-tty");
    std::string send = " --send 'printf \"<\\\\033]0;title\\\\007>\\\\n\"; exit\\n' --timeout 20";
    auto underTerminal = [&](const std::string& extra) {
        std::string out = folder + "/typescript";
        std::string run = folder + "/run.sh";
        std::ofstream(run) << "KESTREL_PASSWORD='" << test::SSH1D_PASSWORD << "' XDG_STATE_HOME='" << folder
                           << "' " << KESTREL_CLI << " " << target(server) << extra << send << "\n";
        std::string command = "script -qec 'sh " + run + "' '" + out + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::vector<uint8_t> bytes = test::readFile(out);
        return std::string(bytes.begin(), bytes.end());
    };
    std::string shown = underTerminal("");
    EXPECT_NE(shown.find("<\\x1b]0;title\\x07>"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\x1b]0;"), std::string::npos) << shown;
    std::string raw = underTerminal(" --raw");
    EXPECT_NE(raw.find("<\x1b]0;title\x07>"), std::string::npos) << raw;
    CliRun piped = runCli(target(server) + send, test::SSH1D_PASSWORD);
    EXPECT_NE(piped.output.find("<\x1b]0;title\x07>"), std::string::npos) << piped.output;
    std::filesystem::remove_all(folder);
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
