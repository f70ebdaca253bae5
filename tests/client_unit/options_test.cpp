#include "tools/tovrel_client/options.h"

#include <gtest/gtest.h>

namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseArguments(args);
}

TEST(ParseArguments, PlainModeWithDefaults) {
    const ParseResult r = Parse({"5000"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.mode, Mode::kChat);
    EXPECT_EQ(r.options.host, "127.0.0.1");
    EXPECT_EQ(r.options.port, 5000);
    EXPECT_FALSE(r.options.raw);

    const ParseResult h = Parse({"--host", "example.test", "--raw", "65535"});
    ASSERT_TRUE(h.ok) << h.error;
    EXPECT_EQ(h.options.host, "example.test");
    EXPECT_TRUE(h.options.raw);
    EXPECT_EQ(h.options.port, 65535);
    EXPECT_EQ(Parse({"--host=::1", "1"}).options.host, "::1");
}

TEST(ParseArguments, PingCountIsOptionalAndNeverSwallowsThePort) {
    EXPECT_EQ(Parse({"--ping", "5000"}).options.pingCount, 1);
    EXPECT_EQ(Parse({"--ping", "5000"}).options.port, 5000);
    const ParseResult before = Parse({"--ping", "3", "5000"});
    ASSERT_TRUE(before.ok) << before.error;
    EXPECT_EQ(before.options.mode, Mode::kPing);
    EXPECT_EQ(before.options.pingCount, 3);
    EXPECT_EQ(before.options.port, 5000);
    const ParseResult after = Parse({"5000", "--ping", "4"});
    EXPECT_EQ(after.options.pingCount, 4);
    EXPECT_EQ(after.options.port, 5000);
    EXPECT_EQ(Parse({"--ping=7", "5000"}).options.pingCount, 7);
    EXPECT_EQ(Parse({"5000", "--ping"}).options.pingCount, 1);
    EXPECT_FALSE(Parse({"--ping", "0", "5000"}).ok);
    EXPECT_FALSE(Parse({"--ping=x", "5000"}).ok);
}

TEST(ParseArguments, SendCollectsTextsAroundOptionsUntilDoubleDash) {
    const ParseResult r =
        Parse({"5000", "--send", "hi there", "--wait", "250", "42", "--raw", "--", "--raw", "-h"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.mode, Mode::kSend);
    EXPECT_EQ(r.options.waitMs, 250);
    EXPECT_TRUE(r.options.raw);
    EXPECT_EQ(r.options.texts, (std::vector<std::string>{"hi there", "42", "--raw", "-h"}));
    EXPECT_EQ(Parse({"5000", "--send=a", "b"}).options.texts, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Parse({"5000", "--send", "-5", ""}).options.texts,
              (std::vector<std::string>{"-5", ""}));
    EXPECT_FALSE(Parse({"5000", "--send"}).ok);
    EXPECT_FALSE(Parse({"5000", "--send", "--"}).ok);
    EXPECT_FALSE(Parse({"5000", "--send", "--typo"}).ok);
    EXPECT_FALSE(Parse({"--send", "hi", "5000"}).ok);  // the port went into the texts
    EXPECT_TRUE(Parse({"5000", "--send", std::string(131072, 'x')}).ok);
    EXPECT_FALSE(Parse({"5000", "--send", std::string(131073, 'x')}).ok);
}

TEST(ParseArguments, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                    // no port
        {"0"},                                 // out of range
        {"65536"},                             // out of range
        {"50x0"},                              // not a number
        {"-5"},                                // not a number either
        {"5000", "6000"},                      // two ports
        {"--bogus", "5000"},                   // unknown option
        {"--host"},                            // missing value
        {"--fast", "--listen", "5000"},        // two modes
        {"--ping", "--fast", "5000"},          // two modes
        {"--wait", "100", "5000"},             // --wait without --send
        {"--reconnect", "5000"},               // --reconnect without --listen
        {"--timeout", "0", "--fast", "5000"},  // no time at all
        {"--interval", "-1", "--ping", "5000"},
    };
    for (const auto& args : bad) {
        const ParseResult r = Parse(args);
        EXPECT_FALSE(r.ok) << "accepted: " << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(ParseArguments, TokenFileIsTakenAndItsFirstTokenFound) {
    const ParseResult r = Parse({"--token-file", "/etc/tovrel/tokens", "--ping", "5000"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.tokenFile, "/etc/tovrel/tokens");
    EXPECT_FALSE(Parse({"5000", "--token-file"}).ok);
    EXPECT_FALSE(Parse({"5000", "--token-file="}).ok);

    std::string token;
    ASSERT_TRUE(FirstToken("# mine\r\n\n  s3cret \r\nother\n", &token));
    EXPECT_EQ(token, "s3cret");
    ASSERT_TRUE(FirstToken("last", &token));
    EXPECT_EQ(token, "last");
    EXPECT_FALSE(FirstToken("", &token));
    EXPECT_FALSE(FirstToken("\n \t\n# none\n", &token));
}

TEST(ParseArguments, TlsFilesGoWithTlsAndCertWithKey) {
    const ParseResult r =
        Parse({"--tls", "--ca", "ca.pem", "--cert=me.pem", "--key", "me.key", "5443"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.tls);
    EXPECT_EQ(r.options.caFile, "ca.pem");
    EXPECT_EQ(r.options.certFile, "me.pem");
    EXPECT_EQ(r.options.keyFile, "me.key");
    EXPECT_FALSE(Parse({"5000"}).options.tls);
    EXPECT_FALSE(Parse({"--ca", "ca.pem", "5443"}).ok);
    EXPECT_FALSE(Parse({"--tls", "--cert", "me.pem", "5443"}).ok);
    EXPECT_FALSE(Parse({"--tls", "--key", "me.key", "5443"}).ok);
    EXPECT_FALSE(Parse({"--tls", "5443", "--ca"}).ok);
}

TEST(ParseArguments, HelpAndVersionNeedNoPort) {
    EXPECT_EQ(Parse({"--help"}).options.mode, Mode::kHelp);
    EXPECT_EQ(Parse({"-h"}).options.mode, Mode::kHelp);
    EXPECT_EQ(Parse({"--version"}).options.mode, Mode::kVersion);
    EXPECT_TRUE(Parse({"--help", "--bogus"}).ok);
    EXPECT_NE(UsageText().find("--ping"), std::string::npos);
}

}  // namespace
