// What -L, -R and the configuration's forward lines accept, and what they refuse.
#include <gtest/gtest.h>

#include "engine/channel_messages.h"
#include "posix/port_forward.h"

namespace kestrel::client {
namespace {

TEST(PortForward, ReadsEveryWrittenFormAndRefusesTheRest) {
    struct Case {
        std::string text;
        bool remote, ok;
        const char* bind = "";
        int listen = 0;
        const char* host = "";
        int port = 0;
    };
    const std::string longest(MAX_FORWARD_HOST_NAME, 'h');
    const Case cases[] = {
        {"8080:localhost:80", false, true, "", 8080, "localhost", 80},
        {"0.0.0.0:8080:web.lan:443", false, true, "0.0.0.0", 8080, "web.lan", 443},
        {"[::1]:8080:[fe80::1]:80", false, true, "::1", 8080, "fe80::1", 80},
        {"8080 localhost:80", false, true, "", 8080, "localhost", 80},
        {"8080 \t localhost:80", false, true, "", 8080, "localhost", 80},
        {"127.0.0.2:8080 localhost:80", false, true, "127.0.0.2", 8080, "localhost", 80},
        {"1:h:65535", true, true, "", 1, "h", 65535},
        {"*:8080:h:1", false, true, "*", 8080, "h", 1},
        {"9000:" + longest + ":1", false, true, "", 9000, longest.c_str(), 1},
        {"9000:" + longest + "h:1", false, false},
        {"127.0.0.1:8080:localhost:80", true, false},
        {"8080:localhost", false, false}, {"0:localhost:80", false, false}, {"8080:localhost:70000", false, false},
        {"8080:localhost:-1", false, false}, {"8080:localhost:8o", false, false}, {"08080080:h:1", false, false},
        {"a:b:c:d:e", false, false}, {"[::1:8080:localhost:80", false, false}, {"8080::80", false, false},
        {"8080:local host:80", false, false}, {"8080 local host:80", false, false},
        {std::string("8080:a\0b:80", 11), false, false}, {"8080:a\x7f:80", false, false}, {"", false, false},
        {":8080:localhost:80", false, false},
    };
    for (const Case& c : cases) {
        std::string error;
        std::optional<PortForward> forward = parsePortForward(c.text, c.remote, error);
        ASSERT_EQ(c.ok, forward.has_value()) << c.text << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(c.bind, forward->bindAddress) << c.text;
        EXPECT_EQ(c.listen, forward->listenPort) << c.text;
        EXPECT_EQ(c.host, forward->host) << c.text;
        EXPECT_EQ(c.port, forward->hostPort) << c.text;
    }
}

TEST(PortForward, SaysWhyARemoteBindAddressIsRefused) {
    std::string error;
    EXPECT_FALSE(parsePortForward("127.0.0.1:8080:localhost:80", true, error));
    EXPECT_NE(error.find("no bind address"), std::string::npos) << error;
}

} // namespace
} // namespace kestrel::client
