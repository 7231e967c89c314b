#include "OrbelHost/KeyRepeatGuard.h"
#include "Platform/Fake/FakeEventPoster.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(KeyRepeatGuardTest, TurnsRepeatOffWhileHeldAndAlwaysBackOn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.ini");
    FakeEventPoster poster;
    {
        QSettings settings(path, QSettings::IniFormat);
        KeyRepeatGuard guard(poster, settings);
        guard.hold();
        guard.hold();
        EXPECT_EQ(poster.repeat, std::optional<bool>(false));
        guard.release();
        EXPECT_EQ(poster.repeat, std::optional<bool>(true));
        guard.hold();
        // Going away puts it back, as the host does when it quits.
    }
    EXPECT_EQ(poster.repeat, std::optional<bool>(true));
    EXPECT_FALSE(QSettings(path, QSettings::IniFormat).contains(KeyRepeatGuard::kMarker));

    // A host that died holding it left repeat off and the marker on disk; the next start
    // restores repeat.
    QSettings(path, QSettings::IniFormat).setValue(KeyRepeatGuard::kMarker, true);
    poster.repeat = false;
    {
        QSettings settings(path, QSettings::IniFormat);
        KeyRepeatGuard guard(poster, settings);
        EXPECT_EQ(poster.repeat, std::optional<bool>(true));
        EXPECT_FALSE(settings.contains(KeyRepeatGuard::kMarker));
    }

    // A user who keeps repeat off keeps it off; an unreadable setting is left alone.
    for (const std::optional<bool> user : { std::optional<bool>(false), std::optional<bool>() }) {
        poster.repeat = user;
        QSettings settings(path, QSettings::IniFormat);
        KeyRepeatGuard guard(poster, settings);
        guard.hold();
        EXPECT_FALSE(guard.holding());
        guard.release();
        EXPECT_EQ(poster.repeat, user);
    }
}
