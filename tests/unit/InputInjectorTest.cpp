#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Fake/FakeEventPoster.h"

#include <QJsonDocument>
#include <QSet>

#include <gtest/gtest.h>

namespace {
struct Rig {
    std::unique_ptr<FakeEventPoster> owned = std::make_unique<FakeEventPoster>();
    FakeEventPoster& poster = *owned;
    InputInjector input { std::move(owned) };

    // Handles one message written as JSON and returns what it posted.
    QStringList send(const char* json, const QString& owner = {})
    {
        poster.events.clear();
        input.handle(*parseJsonObject(QByteArray(json)), owner);
        return poster.events;
    }
    int clickOf(const char* json)
    {
        send(json);
        return input.clickCount();
    }
};
} // namespace

TEST(InputInjectorTest, KeyTableCoversThe92KeysWithDistinctCodes)
{
    const auto& table = InputInjector::keyCodes();
    EXPECT_EQ(table.size(), 92);
    QSet<uint32_t> codes;
    for (auto it = table.begin(); it != table.end(); ++it)
        codes.insert(it.value());
    EXPECT_EQ(codes.size(), 92);
    // evdev codes of a few keys whose positions differ between keyboard tables.
    EXPECT_EQ(table.value("KeyA"), 30u);
    EXPECT_EQ(table.value("KeyQ"), 16u);
    EXPECT_EQ(table.value("Digit0"), 11u);
    EXPECT_EQ(table.value("Numpad1"), 79u);
    EXPECT_EQ(table.value("NumpadEnter"), 96u);
    EXPECT_EQ(table.value("F11"), 87u);
    EXPECT_EQ(table.value("IntlBackslash"), 86u);
    EXPECT_EQ(table.value("Lang1"), 122u);
    for (const char* name : { "ShiftLeft", "ControlRight", "AltLeft", "MetaRight", "CapsLock", "Fn" }) {
        EXPECT_TRUE(InputInjector::isModifierName(name));
        EXPECT_FALSE(table.contains(name));
    }
}

TEST(InputInjectorTest, KeysPressTheModifiersTheyNeedAndNoOthers)
{
    Rig rig;
    EXPECT_TRUE(rig.send(R"({"t":"key","code":"ShiftLeft","d":true})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"key","code":"NoSuchKey","d":true})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"key","code":"KeyA"})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"key","code":"KeyA","d":1})").isEmpty());

    EXPECT_EQ(rig.send(R"({"t":"key","code":"KeyA","d":true,"mods":{"shift":true,"ctrl":false,"alt":1}})"),
              (QStringList { "key 42 down", "key 30 down", "key 42 up" }));
    // The release needs no modifiers.
    EXPECT_EQ(rig.send(R"({"t":"key","code":"KeyA","d":false,"mods":{"shift":true}})"), QStringList { "key 30 up" });
    EXPECT_EQ(rig.send(R"({"t":"key","code":"KeyZ","d":true,"mods":{"ctrl":true,"alt":true,"shift":true,"meta":true}})"),
              (QStringList { "key 29 down", "key 56 down", "key 42 down", "key 125 down", "key 44 down", "key 125 up",
                             "key 42 up", "key 56 up", "key 29 up" }));
    // A modifier the user already holds is neither pressed nor released.
    rig.poster.userModifiers = EventPoster::Shift;
    EXPECT_EQ(rig.send(R"({"t":"key","code":"ArrowUp","d":true,"mods":{"shift":true,"meta":true}})"),
              (QStringList { "key 125 down", "key 103 down", "key 125 up" }));
    // "mods" that is not an object adds nothing.
    EXPECT_EQ(rig.send(R"({"t":"key","code":"Enter","d":true,"mods":"shift"})"), QStringList { "key 28 down" });
    // A phone's own repeat is another press.
    EXPECT_EQ(rig.send(R"({"t":"key","code":"Enter","d":true,"rep":true})"), QStringList { "key 28 down" });
    EXPECT_TRUE(rig.input.holdsAnything());
}

TEST(InputInjectorTest, PressesCountAsDoubleAndTripleClicksOnlyWhenCloseInTimeAndPlace)
{
    Rig rig;
    rig.poster.doubleClickMs = 60000;
    const char* down = R"({"t":"btn","b":0,"d":true})";
    const char* up = R"({"t":"btn","b":0,"d":false})";
    EXPECT_EQ(rig.clickOf(down), 1);
    EXPECT_EQ(rig.send(up), QStringList { "button left up" });
    EXPECT_EQ(rig.clickOf(down), 2);
    rig.send(up);
    EXPECT_EQ(rig.clickOf(down), 3);
    // A drag while held moves with the button down; its release keeps the press's count.
    EXPECT_EQ(rig.send(R"({"t":"rel","dx":3,"dy":4})"), QStringList { "move 3,4" });
    rig.send(up);
    EXPECT_EQ(rig.input.clickCount(), 3);
    rig.poster.pointer = {};
    EXPECT_EQ(rig.clickOf(down), 3); // capped
    rig.send(up);
    rig.poster.pointer = { 7, 0 };
    EXPECT_EQ(rig.clickOf(down), 1); // too far
    rig.send(up);
    EXPECT_EQ(rig.clickOf(R"({"t":"btn","b":2,"d":true})"), 1); // another button
    // Releasing a button that is not held posts nothing.
    EXPECT_TRUE(rig.send(up).isEmpty());
    EXPECT_EQ(rig.send(R"({"t":"btn","b":2,"d":false})"), QStringList { "button right up" });
    rig.poster.doubleClickMs = 0;
    EXPECT_EQ(rig.clickOf(R"({"t":"btn","b":2,"d":true})"), 1); // too slow
    rig.send(R"({"t":"btn","b":2,"d":false})");

    EXPECT_EQ(rig.send(R"({"t":"btn","b":1,"d":true})"), QStringList { "button middle down" });
    EXPECT_EQ(rig.send(R"({"t":"btn","b":7,"d":true})"), QStringList { "button left down" });
    EXPECT_TRUE(rig.send(R"({"t":"btn","b":0.5,"d":true})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"btn","b":"0","d":true})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"btn","b":0})").isEmpty());
}

TEST(InputInjectorTest, MovesStayOnTheMainDisplayWhateverTheNumbers)
{
    Rig rig;
    rig.poster.bounds = QRect(100, 50, 1920, 1080);
    EXPECT_EQ(rig.send(R"({"t":"abs","x":1.0,"y":1.0})"), QStringList { "move 2019,1129" });
    EXPECT_EQ(rig.send(R"({"t":"abs","x":-0.5,"y":0.5})"), QStringList { "move 100,590" });
    EXPECT_EQ(rig.send(R"({"t":"abs","x":1e308,"y":-1e308})"), QStringList { "move 2019,50" });
    EXPECT_EQ(rig.send(R"({"t":"abs","x":true,"y":false})"), QStringList { "move 2019,50" });
    EXPECT_TRUE(rig.send(R"({"t":"abs","x":"NaN","y":0})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"abs","x":0.5})").isEmpty());
    rig.poster.pointer = { 500, 500 };
    EXPECT_EQ(rig.send(R"({"t":"rel","dx":-1e300,"dy":2.4})"), QStringList { "move 100,502" });
    EXPECT_TRUE(rig.send(R"({"t":"rel","dx":null,"dy":2})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"teleport","x":0,"y":0})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"x":0,"y":0})").isEmpty());
}

TEST(InputInjectorTest, WheelPixelsAddUpToClicksAndNeverScrollWildly)
{
    Rig rig;
    static_assert(InputInjector::kWheelPixelsPerClick == 50);
    EXPECT_TRUE(rig.send(R"({"t":"wheel","dy":2.5})").isEmpty()); // 3 pixels kept
    EXPECT_EQ(rig.send(R"({"t":"wheel","dy":47})"), QStringList { "scroll 0,1" });
    EXPECT_EQ(rig.send(R"({"t":"wheel","dy":120,"dx":-50})"), QStringList { "scroll -1,2" });
    // 20 pixels are kept upwards; a turn downwards starts afresh.
    EXPECT_TRUE(rig.send(R"({"t":"wheel","dy":-2.5})").isEmpty());
    EXPECT_EQ(rig.send(R"({"t":"wheel","dy":-47})"), QStringList { "scroll 0,-1" });
    EXPECT_EQ(rig.send(R"({"t":"wheel","dy":1e300})"), QStringList { "scroll 0,40" });
    EXPECT_EQ(rig.send(R"({"t":"wheel","dy":-1e300})"), QStringList { "scroll 0,-40" });
    EXPECT_TRUE(rig.send(R"({"t":"wheel","dy":"9999"})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"wheel"})").isEmpty());
}

TEST(InputInjectorTest, TextIsTypedInPiecesThatKeepSurrogatePairsWhole)
{
    Rig rig;
    const QString text45(45, QLatin1Char('a'));
    EXPECT_EQ(rig.send(QJsonDocument(QJsonObject { { "t", "text" }, { "s", text45 } }).toJson().constData()),
              (QStringList { "type " + QString(20, 'a'), "type " + QString(20, 'a'), "type " + QString(5, 'a') }));

    // The 20th unit is the first half of an emoji: the first piece ends before it.
    const QString emoji = QString(19, 'b') + QStringLiteral("😀") + QStringLiteral("漢字é");
    const auto pieces = InputInjector::chunks(emoji, 20);
    EXPECT_EQ(pieces, (QStringList { QString(19, 'b'), QStringLiteral("😀漢字é") }));
    EXPECT_EQ(InputInjector::chunks(QStringLiteral("😀"), 1), QStringList { QStringLiteral("😀") });
    EXPECT_TRUE(InputInjector::chunks({}, 20).isEmpty());

    // A huge text is cut to the bound.
    const QString huge(InputInjector::kMaxTextUnits * 3, QLatin1Char('x'));
    const auto typed = rig.send(QJsonDocument(QJsonObject { { "t", "text" }, { "s", huge } }).toJson().constData());
    EXPECT_EQ(typed.size(), InputInjector::kMaxTextUnits / InputInjector::kTextChunkUnits);
    EXPECT_TRUE(rig.send(R"({"t":"text","s":""})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"text","s":5})").isEmpty());
}

TEST(InputInjectorTest, MediaKeysPressAndRelease)
{
    Rig rig;
    EXPECT_EQ(rig.send(R"({"t":"media","k":"play"})"), (QStringList { "media 0 down", "media 0 up" }));
    EXPECT_EQ(rig.send(R"({"t":"media","k":"volup"})"), (QStringList { "media 3 down", "media 3 up" }));
    EXPECT_TRUE(rig.send(R"({"t":"media","k":"eject"})").isEmpty());
    EXPECT_TRUE(rig.send(R"({"t":"media"})").isEmpty());
}

TEST(InputInjectorTest, ReleasesWhatEachPhoneHoldsAndEverythingAtTheEnd)
{
    Rig rig;
    rig.send(R"({"t":"key","code":"KeyA","d":true})", "phone1");
    rig.send(R"({"t":"btn","b":0,"d":true,"mods":{"shift":true}})", "phone1");
    rig.send(R"({"t":"key","code":"KeyB","d":true})", "phone2");
    rig.send(R"({"t":"btn","b":2,"d":true})", "phone2");
    // Shift stays down with the left button, for a shift-drag.
    EXPECT_TRUE(rig.poster.down.contains(42));

    rig.poster.events.clear();
    rig.input.releaseHeldBy("phone1");
    EXPECT_EQ(rig.poster.events, (QStringList { "button left up", "key 42 up", "key 30 up" }));
    rig.poster.events.clear();
    rig.input.releaseHeldBy("phone1");
    EXPECT_TRUE(rig.poster.events.isEmpty());

    // What one phone pressed, another may release.
    rig.send(R"({"t":"key","code":"KeyB","d":false})", "phone1");
    rig.poster.events.clear();
    rig.input.releaseAll();
    EXPECT_EQ(rig.poster.events, QStringList { "button right up" });
    EXPECT_FALSE(rig.input.holdsAnything());
    EXPECT_TRUE(rig.poster.down.isEmpty());

    rig.input.tap(99, EventPoster::Control);
    EXPECT_FALSE(rig.input.holdsAnything());
    EXPECT_TRUE(rig.poster.down.isEmpty());
}
