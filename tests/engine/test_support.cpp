#include "tests/engine/test_support.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
using NativeSocket = SOCKET;
static void closeNative(NativeSocket s) { closesocket(s); }
using AddressLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
static void closeNative(NativeSocket s) { ::close(s); }
using AddressLength = socklen_t;
#endif

namespace kestrel::test {

SocketPair::SocketPair(const char* host) {
    static bool started = socketLayerStart();
    (void)started;
    NativeSocket listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    AddressLength length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("loopback listener");
    SocketStream connector;
    if (connector.open(host, ntohs(address.sin_port)) != 1)
        throw std::runtime_error("loopback connect");
    client = connector.handle();
    server = SocketHandle(::accept(listener, nullptr, nullptr));
    closeNative(listener);
}

SocketPair::~SocketPair() {
    SocketStream(client).close();
    closeServer();
}

void SocketPair::closeServer() {
    if (server != SOCKET_CLOSED)
        SocketStream(server).close();
    server = SOCKET_CLOSED;
}

RsaKeyPair::RsaKeyPair(unsigned keyBits, unsigned long randomSeed) : bits(keyBits) {
    mpz_inits(e, n, d, nullptr);
    gmp_randstate_t random;
    gmp_randinit_default(random);
    gmp_randseed_ui(random, randomSeed);
    mpz_t p, q, phi, p1, q1;
    mpz_inits(p, q, phi, p1, q1, nullptr);
    mpz_set_ui(e, 65537);
    // Top two bits set in each prime so the product has exactly keyBits.
    auto prime = [&](mpz_t out, unsigned primeBits) {
        mpz_urandomb(out, random, primeBits);
        mpz_setbit(out, primeBits - 1);
        mpz_setbit(out, primeBits - 2);
        mpz_nextprime(out, out);
    };
    do {
        prime(p, keyBits / 2);
        prime(q, keyBits - keyBits / 2);
        mpz_mul(n, p, q);
        mpz_sub_ui(p1, p, 1);
        mpz_sub_ui(q1, q, 1);
        mpz_mul(phi, p1, q1);
    } while (mpz_sizeinbase(n, 2) != keyBits || mpz_invert(d, e, phi) == 0);
    mpz_clears(p, q, phi, p1, q1, nullptr);
    gmp_randclear(random);
}

RsaKeyPair::~RsaKeyPair() { mpz_clears(e, n, d, nullptr); }

const RsaKeyPair& smallKey() {
    static const RsaKeyPair key(768, 11);
    return key;
}

const RsaKeyPair& largeKey() {
    static const RsaKeyPair key(1024, 12);
    return key;
}

std::string scratchFolder(const std::string& leaf) {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("kestrel-engine-" + leaf + "-" + std::to_string(stamp));
    std::filesystem::create_directories(folder);
    return folder.string();
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace kestrel::test
