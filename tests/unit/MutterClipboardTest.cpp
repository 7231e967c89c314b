// Pastes through the clipboard of GNOME's Wayland session, on a stand-in for mutter's calls:
// what the clipboard held comes back after the paste, and is never lost to a read that failed.

#include "Platform/Fake/FakeMutterSelection.h"
#include "Platform/Linux/MutterClipboard.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

namespace {
const QByteArray kUtf8 = "text/plain;charset=utf-8";
// What a Qt application offers for a copied text.
const QList<QByteArray> kQtText { "text/plain", kUtf8 };

struct Rig {
    FakeMutterSelection* mutter = new FakeMutterSelection;
    MutterClipboard clipboard { std::unique_ptr<MutterSelection>(mutter) };

    // Another application copies `text`, and mutter says so.
    void copied(const QByteArray& text)
    {
        mutter->owners = { { "text/plain", text }, { kUtf8, text } };
        clipboard.ownerChanged(false, kQtText);
    }
};
} // namespace

TEST(MutterClipboardTest, ThePastedTextGivesWayToTheTextReadJustBefore)
{
    Rig rig;
    rig.copied("kept");
    ASSERT_EQ(rig.clipboard.text(), std::optional<QString>(QStringLiteral("kept")));
    const long changes = rig.clipboard.changeCount();
    // The phone types at once: mutter is still finishing that read and refuses the next.
    rig.mutter->refuseReads = true;

    bool pressed = false;
    bool done = false;
    ASSERT_TRUE(rig.clipboard.paste(QStringLiteral("é"), [&] { pressed = true; }, [&] { done = true; }));
    EXPECT_TRUE(pressed);
    const int pasteOffer = rig.mutter->offers;
    rig.clipboard.ownerChanged(true, rig.mutter->offered);
    drainEvents(); // past mutter's own read of the offer
    rig.clipboard.transfer(kUtf8, 1); // the application pastes
    EXPECT_EQ(rig.mutter->written[1], QByteArray("é"));
    ASSERT_TRUE(waitFor([&] { return done; }));

    ASSERT_TRUE(waitFor([&] { return rig.mutter->offers > pasteOffer; })) << "the clipboard was not given back";
    EXPECT_EQ(rig.mutter->offered, kQtText);
    rig.clipboard.ownerChanged(true, rig.mutter->offered);
    rig.clipboard.transfer(kUtf8, 2);
    EXPECT_EQ(rig.mutter->written[2], QByteArray("kept"));
    EXPECT_EQ(rig.clipboard.changeCount(), changes);
}

TEST(MutterClipboardTest, TextThatCannotBeReadIsNotPastedOver)
{
    Rig rig;
    rig.copied("kept");
    rig.mutter->refuseReads = true;

    bool pressed = false;
    EXPECT_FALSE(rig.clipboard.paste(QStringLiteral("é"), [&] { pressed = true; }, [] {}));
    EXPECT_FALSE(pressed);
    EXPECT_EQ(rig.mutter->offers, 0) << "the user's clipboard stays theirs";
}

TEST(MutterClipboardTest, ANewOwnersTextIsReadAgain)
{
    Rig rig;
    rig.copied("first");
    ASSERT_EQ(rig.clipboard.text(), std::optional<QString>(QStringLiteral("first")));
    EXPECT_EQ(rig.clipboard.text(), std::optional<QString>(QStringLiteral("first")));
    EXPECT_EQ(rig.mutter->reads, 1);
    rig.copied("second");
    EXPECT_EQ(rig.clipboard.text(), std::optional<QString>(QStringLiteral("second")));
    EXPECT_EQ(rig.mutter->reads, 2);
}
