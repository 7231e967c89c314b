#include <QCoreApplication>
#include <QGuiApplication>
#if defined(VELQUIN_TEST_WIDGETS_APP)
#include <QApplication>
#endif
#include <QLoggingCategory>

#include <glib-object.h>
#include <gtest/gtest.h>

namespace {
// VELQUIN_PLANT_LEAK=1 leaks one GObject and one QObject on purpose: the leak checker's run
// must report both (tests/asan/planted-leak), so its suppressions cannot be hiding ours.
[[gnu::noinline]] void plantLeak()
{
    volatile GObject* gobject = static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr));
    volatile QObject* qobject = new QObject;
    gobject = nullptr;
    qobject = nullptr;
    (void)gobject;
    (void)qobject;
}
} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsSet("VELQUIN_PLANT_LEAK"))
        plantLeak();
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
