#include <QCoreApplication>
#include <QLoggingCategory>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    // Keep the host's own warnings visible but not the per-message chatter.
    QLoggingCategory::setFilterRules(QStringLiteral("orbel.host.info=false"));
    return RUN_ALL_TESTS();
}
