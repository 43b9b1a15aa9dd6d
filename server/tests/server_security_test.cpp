// The mirror server's security: tokens, TLS with a certificate authority made for the test, and the rule that a
// non-loopback address needs both.
#include "ServerTestSupport.h"

#include "Security.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace servertest;
using MirrorKit::Server::MirrorServer;
using MirrorKit::Server::ServerOptions;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeSecret(const std::string& path, const std::string& text, mode_t mode = 0600) {
    krvtest::writeText(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// Two certificate authorities and a server certificate for 127.0.0.1 and localhost signed by the first, made
// with Debian's openssl in a folder of the test.
class Pki {
public:
    Pki() {
        const std::string d = dir.path();
        const std::string script =
            "set -e; cd '" + d + "'; "
            "for ca in ca other; do "
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $ca.key "
            "-out $ca.pem -days 2 -subj \"/CN=MirrorKit test $ca\" 2>/dev/null; done; "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key "
            "-out server.csr -subj /CN=localhost 2>/dev/null; "
            "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.cnf; "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
            "-extfile san.cnf 2>/dev/null";
        ok = std::system(("sh -c \"" + escape(script) + "\"").c_str()) == 0;
    }
    std::string file(const std::string& name) const { return dir / name; }
    std::shared_ptr<grpc::ChannelCredentials> credentials(const std::string& ca) const {
        grpc::SslCredentialsOptions o;
        o.pem_root_certs = slurp(file(ca + ".pem"));
        return grpc::SslCredentials(o);
    }
    krvtest::TempDir dir{"krv-pki"};
    bool ok = false;

private:
    static std::string escape(const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == '"' || c == '\\' || c == '$') out += '\\';
            out += c;
        }
        return out;
    }
};

grpc::StatusCode listCode(Client& c) {
    pb::ListMirrorsReply reply;
    return c.call(&pb::MirrorService::Stub::ListMirrors, pb::ListMirrorsRequest(), reply).error_code();
}

TEST(Security, TlsWithATestAuthorityAndATokenLetInOnlyTheRightClients) {
    Pki pki;
    ASSERT_TRUE(pki.ok) << "openssl could not make the test certificates";
    krvtest::TempDir secrets("krv-token");
    writeSecret(secrets / "token", "s3cret-token\n", 0640);
    ServerOptions options = LocalServer::defaults();
    options.tlsCert = pki.file("server.pem");
    options.tlsKey = pki.file("server.key");
    options.tokenFile = secrets / "token";
    LocalServer server(options);

    Client good(server.target(), "good", pki.credentials("ca"), "s3cret-token");
    ASSERT_TRUE(good.connect().ok());
    EXPECT_EQ(listCode(good), grpc::StatusCode::OK);

    Client wrongToken(server.target(), "wrong", pki.credentials("ca"), "s3cret-tokem");
    EXPECT_EQ(wrongToken.connect().error_code(), grpc::StatusCode::UNAUTHENTICATED);
    EXPECT_EQ(listCode(wrongToken), grpc::StatusCode::UNAUTHENTICATED);
    Client prefix(server.target(), "prefix", pki.credentials("ca"), "s3cret");
    EXPECT_EQ(listCode(prefix), grpc::StatusCode::UNAUTHENTICATED);
    Client noToken(server.target(), "none", pki.credentials("ca"));
    EXPECT_EQ(listCode(noToken), grpc::StatusCode::UNAUTHENTICATED);
    Client plain(server.target(), "plain", grpc::InsecureChannelCredentials(), "s3cret-token");
    EXPECT_EQ(listCode(plain), grpc::StatusCode::UNAVAILABLE);
    Client otherCa(server.target(), "other", pki.credentials("other"), "s3cret-token");
    EXPECT_EQ(listCode(otherCa), grpc::StatusCode::UNAVAILABLE);

    // A refused client reaches no mirror, not even for watching.
    profile("SECURED0032", krvtest::dummyProfile(32));
    ASSERT_EQ(good.open("SECURED0032").status().code(), NO_ERR);
    Watch watch(noToken, "SECURED0032");
    EXPECT_EQ(watch.finish().error_code(), grpc::StatusCode::UNAUTHENTICATED);
    EXPECT_TRUE(watch.events().empty());
}

TEST(Security, ATokenOnLoopbackWithoutTls) {
    krvtest::TempDir secrets("krv-token");
    writeSecret(secrets / "token", "  abc123  \n");
    ServerOptions options = LocalServer::defaults();
    options.tokenFile = secrets / "token";
    LocalServer server(options);
    Client good(server.target(), "good", grpc::InsecureChannelCredentials(), "abc123");
    EXPECT_EQ(listCode(good), grpc::StatusCode::OK);
    Client longer(server.target(), "longer", grpc::InsecureChannelCredentials(), "abc1234");
    EXPECT_EQ(listCode(longer), grpc::StatusCode::UNAUTHENTICATED);
    Client none(server.target(), "none");
    EXPECT_EQ(none.connect().error_code(), grpc::StatusCode::UNAUTHENTICATED);
}

TEST(Security, ANonLoopbackAddressNeedsTlsAndATokenOrInsecure) {
    Pki pki;
    ASSERT_TRUE(pki.ok);
    krvtest::TempDir secrets("krv-token");
    writeSecret(secrets / "token", "t0ken\n");
    std::string error;

    for (const char* address : {"0.0.0.0:0", "[::]:0", ":0"}) {
        ServerOptions open = LocalServer::defaults();
        open.listen = address;
        error.clear();
        EXPECT_EQ(MirrorServer::start(open, error), nullptr) << address;
        EXPECT_NE(error.find("--insecure"), std::string::npos) << error;
        open.tokenFile = secrets / "token";
        EXPECT_EQ(MirrorServer::start(open, error), nullptr) << address << " with a token but no TLS";
    }
    ServerOptions tlsOnly = LocalServer::defaults();
    tlsOnly.listen = "0.0.0.0:0";
    tlsOnly.tlsCert = pki.file("server.pem");
    tlsOnly.tlsKey = pki.file("server.key");
    EXPECT_EQ(MirrorServer::start(tlsOnly, error), nullptr) << "TLS without a token";
    tlsOnly.tokenFile = secrets / "token";
    EXPECT_NE(MirrorServer::start(tlsOnly, error), nullptr) << error;

    ServerOptions insecure = LocalServer::defaults();
    insecure.listen = "0.0.0.0:0";
    insecure.insecure = true;
    auto running = MirrorServer::start(insecure, error);
    ASSERT_NE(running, nullptr) << error;
    Client c("127.0.0.1:" + std::to_string(running->port()), "c");
    EXPECT_EQ(listCode(c), grpc::StatusCode::OK);

    // Loopback addresses need nothing.
    for (const char* address : {"127.0.0.1:0", "localhost:0", "[::1]:0", "127.0.0.2:50061", "unix:/tmp/x.sock"})
        EXPECT_TRUE(MirrorKit::Server::isLoopbackAddress(address)) << address;
    for (const char* address : {"0.0.0.0:0", "[::]:0", ":50061", "192.0.2.1:50061", "[2001:db8::1]:1"})
        EXPECT_FALSE(MirrorKit::Server::isLoopbackAddress(address)) << address;
    ServerOptions local = LocalServer::defaults();
    local.listen = "localhost:0";
    EXPECT_NE(MirrorServer::start(local, error), nullptr) << error;
}

TEST(Security, ASecondServerOnAPortInUseDoesNotStart) {
    LocalServer first;
    ServerOptions second = LocalServer::defaults();
    second.listen = first.target();
    std::string error;
    EXPECT_EQ(MirrorServer::start(second, error), nullptr) << "two servers would split the clients' sessions";
    EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
}

TEST(Security, TokenFilesOthersMayReadOrWithoutATokenAreRefused) {
    krvtest::TempDir secrets("krv-token");
    std::string error;
    ServerOptions o = LocalServer::defaults();
    o.tokenFile = secrets / "token";
    writeSecret(o.tokenFile, "readable-by-all\n", 0644);
    EXPECT_EQ(MirrorServer::start(o, error), nullptr);
    EXPECT_NE(error.find("chmod"), std::string::npos) << error;
    writeSecret(o.tokenFile, "  \n");
    EXPECT_EQ(MirrorServer::start(o, error), nullptr) << "empty token";
    o.tokenFile = secrets / "absent";
    EXPECT_EQ(MirrorServer::start(o, error), nullptr) << "missing file";
}

TEST(Security, OptionsComeFromTheConfigFileAndTheCommandLineWins) {
    krvtest::TempDir d("krv-config");
    krvtest::writeText(d / "server.conf",
                       "# the server's settings\nlisten = 127.0.0.1:50999\non-idle = hold\n"
                       "profiles = /srv/profiles   # trailing comment\ninsecure = false\n");
    ServerOptions o;
    std::string error;
    bool help = false;
    ASSERT_TRUE(MirrorKit::Server::parseOptions({"--config", d / "server.conf", "--listen=127.0.0.1:0"}, o, error,
                                                help))
        << error;
    EXPECT_EQ(o.listen, "127.0.0.1:0");
    EXPECT_TRUE(o.sessions.holdOnIdle);
    EXPECT_EQ(o.sessions.profiles, "/srv/profiles");
    EXPECT_FALSE(o.insecure);

    ServerOptions bad;
    EXPECT_FALSE(MirrorKit::Server::parseOptions({"--tls-cert", "a.pem"}, bad, error, help)) << "cert without key";
    EXPECT_FALSE(MirrorKit::Server::parseOptions({"--on-idle", "sometimes"}, bad, error, help));
    EXPECT_FALSE(MirrorKit::Server::parseOptions({"--listen"}, bad, error, help));
    EXPECT_FALSE(MirrorKit::Server::parseOptions({"--frobnicate", "1"}, bad, error, help));
    krvtest::writeText(d / "bad.conf", "on-idle = later\n");
    EXPECT_FALSE(MirrorKit::Server::parseOptions({"--config", d / "bad.conf"}, bad, error, help));
    EXPECT_NE(error.find("bad.conf:1"), std::string::npos) << error;
}

}  // namespace
