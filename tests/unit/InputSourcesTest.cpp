#include "OrbelHost/InputSources.h"
#include "Platform/Fake/FakeKeyboardLayouts.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

TEST(InputSourcesTest, ZhuyinOverUsGetsOnlySymbolsAndTheRulesReadLinuxNames)
{
    FakeKeyboardLayouts layouts;
    layouts.all << KeyboardLayouts::Layout { "ibus:chewing", "Chewing" };
    layouts.current = "ibus:chewing";
    layouts.layout = "xkb:us";
    InputSources sources(layouts);
    const QJsonObject ime = sources.currentMessage();
    EXPECT_EQ(ime.value("t").toString(), "ime");
    EXPECT_EQ(ime.value("id").toString(), "ibus:chewing");
    EXPECT_EQ(ime.value("name").toString(), "Chewing");
    EXPECT_TRUE(ime.value("zhuyin").toBool());
    const QJsonObject labels = ime.value("labels").toObject();
    EXPECT_EQ(labels.size(), 41);
    for (const QString& key : labels.keys())
        EXPECT_EQ(labels.value(key).toObject().keys(), QStringList { "sub" }) << key.toStdString();
    EXPECT_EQ(labels.value("Digit1").toObject().value("sub").toString(), QStringLiteral("ㄅ"));

    // Which identifiers get which symbols.
    const auto symbols = [](const char* id) { return InputSources::imeSymbols(id).value("KeyQ"); };
    EXPECT_FALSE(InputSources::isStandardZhuyin("ibus:Chewing-ETEN"));
    EXPECT_TRUE(symbols("ibus:chewing-Eten").isEmpty());
    EXPECT_TRUE(InputSources::isStandardZhuyin("ibus:libzhuyin"));
    EXPECT_TRUE(InputSources::isStandardZhuyin("com.example.Bopomofo"));
    EXPECT_EQ(symbols("xkb:kr(kr104)"), QStringLiteral("ㅂ"));
    EXPECT_EQ(symbols("ibus:hangul"), QStringLiteral("ㅂ"));
    EXPECT_TRUE(symbols("ibus:hangul-3set").isEmpty());
    EXPECT_TRUE(symbols("ibus:hangul-390").isEmpty());
    EXPECT_EQ(symbols("xkb:jp(kana)"), QStringLiteral("た"));
    EXPECT_TRUE(symbols("xkb:jp").isEmpty());
    EXPECT_TRUE(symbols("xkb:th(kana)").isEmpty());
    EXPECT_EQ(symbols("ibus:table:cangjie5"), QStringLiteral("手"));
    EXPECT_EQ(symbols("ibus:table:quick5"), QStringLiteral("手"));
    EXPECT_TRUE(symbols("xkb:de").isEmpty());
    EXPECT_EQ(InputSources::imeSymbols("ibus:chewing").size(), 41);
    EXPECT_EQ(InputSources::imeSymbols("ibus:hangul").size(), 26);
    EXPECT_EQ(InputSources::imeSymbols("xkb:jp(kana)").size(), 46);
    EXPECT_EQ(InputSources::imeSymbols("ibus:cangjie").size(), 26);
    EXPECT_EQ(InputSources::labelCodes().size(), 47);
}

TEST(InputSourcesTest, LayoutLabelsShowWhatTheLayoutTypes)
{
    FakeKeyboardLayouts layouts;
    layouts.all = { { "xkb:de", "German" } };
    layouts.current = "xkb:de";
    layouts.texts["xkb:de"] = {
        { "21", "z" }, { "21+shift", "Z" },   // KeyY
        { "2", "1" }, { "2+shift", "!" },     // Digit1
        { "12", "ß" }, { "12+shift", "?" },   // Minus
        { "41", "^" },                        // Backquote: nothing shifted
        { "30", "\x01" }, { "30+shift", "A" }, // KeyA: a control character
        { "31", "" },                         // KeyS: nothing
        { "32", "d" }, { "32+shift", "\t" },  // KeyD: shifted is a control character
    };
    InputSources sources(layouts);
    const QJsonObject labels = sources.currentMessage().value("labels").toObject();
    EXPECT_EQ(labels.value("KeyY").toObject(), (QJsonObject { { "m", "Z" }, { "s", "Z" } }));
    EXPECT_EQ(labels.value("Digit1").toObject(), (QJsonObject { { "m", "1" }, { "s", "!" } }));
    EXPECT_EQ(labels.value("Minus").toObject(), (QJsonObject { { "m", "ß" }, { "s", "?" } }));
    EXPECT_EQ(labels.value("Backquote").toObject(), (QJsonObject { { "m", "^" }, { "s", "^" } }));
    EXPECT_EQ(labels.value("KeyD").toObject(), (QJsonObject { { "m", "D" }, { "s", "d" } }));
    EXPECT_FALSE(labels.contains("KeyA"));
    EXPECT_FALSE(labels.contains("KeyS"));
    EXPECT_EQ(labels.size(), 5);
    EXPECT_FALSE(sources.currentMessage().value("zhuyin").toBool());

    // The US layout gets no layout labels: the phone shows those itself.
    layouts.texts["xkb:us"] = { { "21", "y" } };
    layouts.all << KeyboardLayouts::Layout { "xkb:us", "English (US)" };
    layouts.current = "xkb:us";
    EXPECT_TRUE(sources.currentMessage().value("labels").toObject().isEmpty());

    // No current source: empty identifier and name.
    layouts.current.clear();
    const QJsonObject none = sources.currentMessage();
    EXPECT_EQ(none.value("id").toString(), "");
    EXPECT_EQ(none.value("name").toString(), "");
}

TEST(InputSourcesTest, ListsSelectsAndWrapsAround)
{
    FakeKeyboardLayouts layouts;
    layouts.all = { { "xkb:us", "English (US)" }, { "xkb:de", "German" }, { "xkb:ru", "Russian" }, { "", "Nameless" } };
    int changes = 0;
    layouts.setOnChanged([&] { ++changes; });
    InputSources sources(layouts);
    EXPECT_EQ(QJsonDocument(sources.listMessage()).toJson(QJsonDocument::Compact),
              QByteArray(R"x({"list":[{"id":"xkb:us","name":"English (US)","selected":true},)x"
                         R"x({"id":"xkb:de","name":"German","selected":false},)x"
                         R"x({"id":"xkb:ru","name":"Russian","selected":false}],"t":"ime-list"})x"));
    layouts.current = "xkb:ru";
    sources.selectNext();
    EXPECT_EQ(layouts.current, "xkb:us");
    sources.selectNext();
    EXPECT_EQ(layouts.current, "xkb:de");
    layouts.current = "xkb:gone";
    sources.selectNext();
    EXPECT_EQ(layouts.current, "xkb:us");
    EXPECT_EQ(changes, 3);
    sources.select("xkb:fr");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(layouts.current, "xkb:us");
    sources.select("xkb:ru");
    EXPECT_EQ(layouts.current, "xkb:ru");

    layouts.all.clear();
    sources.selectNext();
    EXPECT_EQ(QJsonDocument(sources.listMessage()).toJson(QJsonDocument::Compact), QByteArray(R"({"list":[],"t":"ime-list"})"));
}
