#include "OrbelHost/JsonMessage.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(JsonMessageTest, ParsesOnlyObjects)
{
    EXPECT_TRUE(parseJsonObject(R"({"t":"key","code":"KeyA"})").has_value());
    EXPECT_FALSE(parseJsonObject("[1,2,3]").has_value());
    EXPECT_FALSE(parseJsonObject("\"text\"").has_value());
    EXPECT_FALSE(parseJsonObject("not json").has_value());
    EXPECT_FALSE(parseJsonObject("").has_value());
    EXPECT_FALSE(parseJsonObject(R"({"t":"key")").has_value());
    EXPECT_FALSE(parseJsonObject(QByteArray("{\"a\":1}\0junk", 12)).has_value());
}

TEST(JsonMessageTest, SurvivesHostileInput)
{
    // Deep nesting must be refused, not recursed into until the stack runs out.
    QByteArray deep(200000, '[');
    EXPECT_FALSE(parseJsonObject("{\"a\":" + deep).has_value());
    QByteArray deepObject;
    for (int i = 0; i < 100000; ++i)
        deepObject += "{\"a\":";
    EXPECT_FALSE(parseJsonObject(deepObject).has_value());
    // A large but well-formed message parses.
    const QByteArray big = "{\"s\":\"" + QByteArray(2 * 1024 * 1024, 'x') + "\"}";
    auto parsed = parseJsonObject(big);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->value("s").toString().size(), 2 * 1024 * 1024);
    // Invalid UTF-8 must not crash.
    EXPECT_NO_FATAL_FAILURE(parseJsonObject("{\"s\":\"\xff\xfe\xc0\"}"));
}

TEST(JsonMessageTest, RefusesWhatJsonCannotCarry)
{
    auto ok = serializeJson({ { "t", "text" }, { "s", QStringLiteral("漢字 😀") }, { "n", 1.5 } });
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, QByteArray(R"({"n":1.5,"s":"漢字 😀","t":"text"})"));

    const QString loneSurrogate(QChar(0xD800));
    EXPECT_FALSE(serializeJson({ { "s", loneSurrogate } }).has_value());
    EXPECT_FALSE(serializeJson({ { loneSurrogate, 1 } }).has_value());
    EXPECT_FALSE(serializeJson({ { "a", QJsonArray { 1, QJsonObject { { "s", loneSurrogate } } } } }).has_value());
    EXPECT_FALSE(serializeJson({ { "n", std::nan("") } }).has_value());
    EXPECT_FALSE(serializeJson({ { "n", std::numeric_limits<double>::infinity() } }).has_value());
}
