#include "service/handshake_policy.h"

#include <gtest/gtest.h>

namespace lenvaro {
namespace {

TEST(AllowedOriginSetting, IsTrimmedLoweredAndLosesOneTrailingSlash) {
    EXPECT_EQ(canonicalOrigin("https://bank.example"), "https://bank.example");
    EXPECT_EQ(canonicalOrigin("  HTTPS://Bank.Example:8443/ \n"), "https://bank.example:8443");
    EXPECT_EQ(canonicalOrigin("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
    EXPECT_EQ(canonicalOrigin("http://[::1]:8080"), "http://[::1]:8080");
    EXPECT_EQ(canonicalOrigin("NULL"), "null");
}

TEST(AllowedOriginSetting, AnythingButSchemeHostAndPortIsNoOrigin) {
    for (const char* text :
         {"", "   ", "bank.example", "//bank.example", "https://", "https:///", "https://bank.example//",
          "https://bank.example/app", "https://bank.example?x", "https://bank.example#x",
          "https://user@bank.example", "https://bank.example:", "https://bank.example:99999",
          "https://bank.example:80:80", "https://bank example", "https://[::1", "1https://a.example",
          "https://a.example\\b", "*", "https://*.example.com"}) {
        EXPECT_EQ(canonicalOrigin(text), "") << '"' << text << '"';
    }
}

TEST(HandshakeOrigins, WithoutSettingsEveryOriginAndNoneAreAccepted) {
    const HandshakePolicy policy = makeHandshakePolicy({}, "0.0.0.0");
    EXPECT_FALSE(policy.originsRestricted);
    EXPECT_FALSE(policy.loopbackHostOnly);
    EXPECT_EQ(judgeHandshake(policy, "scanner.lan:9000", "https://anyone.example"), HandshakeVerdict::Accept);
    EXPECT_EQ(judgeHandshake(policy, "scanner.lan:9000", ""), HandshakeVerdict::Accept);
}

TEST(HandshakeOrigins, OnlyAnExactMatchIsAccepted) {
    const HandshakePolicy policy =
        makeHandshakePolicy({"https://bank.example", " http://localhost:8080/ "}, "127.0.0.1");
    const std::string host = "127.0.0.1:9000";
    EXPECT_EQ(judgeHandshake(policy, host, "https://bank.example"), HandshakeVerdict::Accept);
    EXPECT_EQ(judgeHandshake(policy, host, "http://localhost:8080"), HandshakeVerdict::Accept);

    for (const char* origin :
         {"", "https://bank.example.evil.test", "https://evil.test/https://bank.example", "https://bank.example:443",
          "http://bank.example", "https://bank.example/", "https://BANK.example", "https://ank.example",
          "https://bank.exampl", "https://bank.example, https://evil.test", "null", "http://localhost"}) {
        EXPECT_EQ(judgeHandshake(policy, host, origin), HandshakeVerdict::RefuseOrigin) << origin;
    }
}

TEST(HandshakeOrigins, AnAllowListOfMalformedEntriesRefusesEveryone) {
    const HandshakePolicy policy = makeHandshakePolicy({"bank.example", ""}, "127.0.0.1");
    EXPECT_TRUE(policy.originsRestricted);
    EXPECT_TRUE(policy.allowedOrigins.empty());
    EXPECT_EQ(judgeHandshake(policy, "localhost", "bank.example"), HandshakeVerdict::RefuseOrigin);
    EXPECT_EQ(judgeHandshake(policy, "localhost", ""), HandshakeVerdict::RefuseOrigin);
}

TEST(HandshakeOrigins, TheNullOriginIsLetInOnlyWhenListed) {
    EXPECT_EQ(judgeHandshake(makeHandshakePolicy({"null"}, "127.0.0.1"), "localhost", "null"),
              HandshakeVerdict::Accept);
    EXPECT_EQ(judgeHandshake(makeHandshakePolicy({"https://a.example"}, "127.0.0.1"), "localhost", "null"),
              HandshakeVerdict::RefuseOrigin);
}

TEST(HandshakeHost, LoopbackNamesAndAddressesWithOrWithoutPort) {
    for (const char* host : {"localhost", "LocalHost", "localhost:9000", "127.0.0.1", "127.0.0.1:9000",
                             "127.255.1.2:1", "[::1]", "[::1]:9000"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
}

TEST(HandshakeHost, EveryOtherNameIsRefused) {
    for (const char* host :
         {"", "evil.test", "evil.test:9000", "localhost.evil.test", "localhost.", "127.0.0.1.evil.test",
          "evil.test.127.0.0.1", "127.1", "127.0.0.01", "0x7f.0.0.1", "2130706433", "127.0.0.256",
          "128.0.0.1", "0.0.0.0", "192.168.1.5", "[::2]", "[::ffff:127.0.0.1]", "::1", "localhost:",
          "localhost:65536", "localhost:9000:1", "localhost:x", "localhost 9000", " localhost",
          "localhost@evil.test", "[::1]x"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
    }
}

TEST(HandshakeHost, IsCheckedOnlyWhileListeningOnLoopback) {
    EXPECT_TRUE(makeHandshakePolicy({}, "127.0.0.1").loopbackHostOnly);
    EXPECT_TRUE(makeHandshakePolicy({}, "127.3.2.1").loopbackHostOnly);
    EXPECT_FALSE(makeHandshakePolicy({}, "0.0.0.0").loopbackHostOnly);
    EXPECT_FALSE(makeHandshakePolicy({}, "192.168.1.5").loopbackHostOnly);

    const HandshakePolicy loopback = makeHandshakePolicy({}, "127.0.0.1");
    EXPECT_EQ(judgeHandshake(loopback, "rebound.evil.test:9000", ""), HandshakeVerdict::RefuseHost);
    EXPECT_EQ(judgeHandshake(loopback, "", ""), HandshakeVerdict::RefuseHost);
    EXPECT_EQ(judgeHandshake(loopback, "localhost:9000", "https://a.example"), HandshakeVerdict::Accept);
    // A refused Host is refused whatever the origin.
    const HandshakePolicy both = makeHandshakePolicy({"https://a.example"}, "127.0.0.1");
    EXPECT_EQ(judgeHandshake(both, "a.example", "https://a.example"), HandshakeVerdict::RefuseHost);
}

TEST(ServiceState, ReadByThoseLetInAndByRequestsWithoutOrigin) {
    const HandshakePolicy open = makeHandshakePolicy({}, "127.0.0.1");
    const HandshakePolicy listed = makeHandshakePolicy({"https://a.example"}, "127.0.0.1");
    const struct {
        const HandshakePolicy& policy;
        const char* host;
        const char* origin;
        bool mayRead;
    } cases[] = {
        {open, "127.0.0.1:9000", "https://any.example", true},
        {open, "127.0.0.1:9000", "", true},
        {listed, "127.0.0.1:9000", "https://a.example", true},
        {listed, "127.0.0.1:9000", "https://b.example", false},
        {listed, "127.0.0.1:9000", "null", false},
        // The service's own pages send no Origin for a same-origin GET.
        {listed, "localhost:9000", "", true},
        // A hostile name resolving to loopback reads nothing, Origin or not.
        {open, "rebound.evil.test:9000", "", false},
        {listed, "rebound.evil.test:9000", "https://a.example", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mayReadServiceState(c.policy, c.host, c.origin), c.mayRead) << c.host << " " << c.origin;
    }
}

TEST(LoopbackAddress, IsTheWholeOf127SlashEightInPlainNotation) {
    EXPECT_TRUE(isLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(isLoopbackAddress("127.255.255.255"));
    for (const char* text : {"", "127", "127.0.0", "127.0.0.1.", "127.0.0.1 ", "0127.0.0.1", "1270.0.0.1",
                             "126.0.0.1", "127.0.0.1000", "127..0.1"}) {
        EXPECT_FALSE(isLoopbackAddress(text)) << text;
    }
}

}  // namespace
}  // namespace lenvaro
