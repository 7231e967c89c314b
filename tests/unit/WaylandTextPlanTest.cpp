// How text is split between keys typed one by one and pieces pasted whole on Wayland, where
// mutter types only keysyms that the keyboard map has.

#include "Platform/Linux/WaylandEventPoster.h"

#include <gtest/gtest.h>

TEST(WaylandTextPlanTest, WhatTheMapLacksIsPastedInRunsAndOrderIsKept)
{
    const auto ascii = [](uint32_t sym) { return sym < 0x80 || sym == 0xFF0D || sym == 0xFF09 || sym == 0x20AC; };
    const auto runs = WaylandEventPoster::plan(QStringLiteral("Hi ä中😀!\r\nx\u0007€"), ascii);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_FALSE(runs[0].pasted);
    EXPECT_EQ(runs[0].keysyms, (std::vector<uint32_t> { 'H', 'i', ' ' }));
    EXPECT_TRUE(runs[1].pasted);
    EXPECT_EQ(runs[1].text, QStringLiteral("ä中😀")) << "one paste for the whole run, surrogate pairs kept whole";
    EXPECT_FALSE(runs[2].pasted);
    // CR LF is one Return; a bell types nothing; the euro sign goes by its named keysym.
    EXPECT_EQ(runs[2].keysyms, (std::vector<uint32_t> { '!', 0xFF0D, 'x', 0x20AC }));

    EXPECT_TRUE(WaylandEventPoster::plan(QStringLiteral("\u0001\u0002"), ascii).empty());
    const auto allPasted = WaylandEventPoster::plan(QStringLiteral("漢字"), [](uint32_t) { return false; });
    ASSERT_EQ(allPasted.size(), 1u);
    EXPECT_EQ(allPasted[0].text, QStringLiteral("漢字"));
}
