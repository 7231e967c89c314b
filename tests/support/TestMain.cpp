#include <QCoreApplication>
#include <QGuiApplication>
#if defined(VELQUIN_TEST_WIDGETS_APP)
#include <QApplication>
#endif
#include <QLoggingCategory>

#include <gtest/gtest.h>


int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#if defined(VELQUIN_TEST_WIDGETS_APP)
    QApplication app(argc, argv);
#elif defined(VELQUIN_TEST_GUI_APP)
    QGuiApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    // Keep the host's own warnings visible but not the per-message chatter.
    QLoggingCategory::setFilterRules(QStringLiteral("orbel.host.info=false\norbel.file.info=false"));
    return RUN_ALL_TESTS();
}
