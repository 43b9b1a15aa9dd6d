// The server's security rules: see Security.h.
#include "Security.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

namespace MirrorKit::Server {

namespace {
bool digest(const std::string& text, unsigned char (&out)[EVP_MAX_MD_SIZE], unsigned& length) {
    return EVP_Digest(text.data(), text.size(), out, &length, EVP_sha256(), nullptr) == 1;
}
}  // namespace

bool tokenMatches(const std::string& presented, const std::string& expected) {
    // Digests of equal length are compared whole, so neither the length nor the first difference shows in the
    // time taken.
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned la = 0, lb = 0;
    if (!digest(presented, a, la) || !digest(expected, b, lb) || la != lb) return false;
    return CRYPTO_memcmp(a, b, la) == 0 && !expected.empty();
}

bool readTokenFile(const std::string& path, std::string& token, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = "token file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (st.st_mode & S_IROTH) {
        error = "token file " + path + " may be read by every user; make it readable by the server's user or "
                "group only (chmod o-r)";
        return false;
    }
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        error = "token file " + path + " cannot be read or is empty";
        return false;
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    token = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    if (token.empty()) {
        error = "token file " + path + " holds no token on its first line";
        return false;
    }
    return true;
}

bool isLoopbackAddress(const std::string& listen) {
    if (listen.rfind("unix:", 0) == 0 || listen.rfind("unix-abstract:", 0) == 0) return true;
    std::string host = listen;
    if (host.rfind("ipv4:", 0) == 0) host = host.substr(5);
    if (host.rfind("ipv6:", 0) == 0) host = host.substr(5);
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return false;
        host = host.substr(1, close - 1);
    } else {
        const auto colon = host.rfind(':');
        if (colon != std::string::npos) host = host.substr(0, colon);
    }
    if (host.empty()) return false;  // ":50061" listens on every interface
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    bool loopback = true;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            loopback = loopback && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
        } else if (a->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            const auto& b = in6->sin6_addr.s6_addr;
            const bool v6loop = IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
            const bool mapped = IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && b[12] == 127;
            loopback = loopback && (v6loop || mapped);
        } else {
            loopback = false;
        }
    }
    freeaddrinfo(found);
    return loopback;
}

}  // namespace MirrorKit::Server
