// Text typed through XTEST into a Qt window (tests/probe), as a phone's text message arrives:
// each run types one mixed-script text and waits until the window has it all, then compares.
// Prints characters per second for every run and counts the runs whose text arrived wrong.
// Runs on the display named by DISPLAY (bench/run-typing starts a private Xvfb, and with
// --busy keeps every core busy meanwhile).
// Usage: typing_bench [runs] [characters per run]

#include "OrbelHost/InputInjector.h"
#include "OrbelHost/JsonMessage.h"
#include "Platform/Linux/X11EventPoster.h"
#include "support/InputProbe.h"
#include "support/MixedText.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    const int length = argc > 2 ? std::atoi(argv[2]) : 500;
    auto poster = std::make_unique<X11EventPoster>();
    if (!poster->usable()) {
        std::fprintf(stderr, "typing_bench: no X display with XTEST\n");
        return 1;
    }
    InputInjector input(std::move(poster));
    InputProbe probe;
    if (!probe.start(qgetenv("DISPLAY"))) {
        std::fprintf(stderr, "typing_bench: the probe window did not start\n");
        return 1;
    }
    const auto send = [&](const QJsonObject& message) {
        input.handle(*parseJsonObject(QJsonDocument(message).toJson(QJsonDocument::Compact)), QStringLiteral("bench"));
    };
    send({ { "t", "abs" }, { "x", 0.5 }, { "y", 0.5 } });

    int wrong = 0;
    double totalChars = 0, totalSeconds = 0;
    for (int run = 1; run <= runs; ++run) {
        probe.clear();
        const QString text = mixedText(length, quint32(run));
        const auto characters = text.toUcs4().size();
        QElapsedTimer clock;
        clock.start();
        send({ { "t", "text" }, { "s", text } });
        const bool arrived = waitFor([&] { return probe.typed().size() >= text.size(); }, 60000);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const QString typed = probe.typed();
        const bool exact = arrived && typed == text;
        wrong += exact ? 0 : 1;
        totalChars += double(characters);
        totalSeconds += seconds;
        std::printf("run %2d: %lld characters in %.2f s, %.0f per second%s\n", run, qlonglong(characters), seconds,
                    double(characters) / seconds, exact ? "" : arrived ? ", WRONG TEXT" : ", INCOMPLETE");
        if (!exact) {
            // Where the two part: what a reader needs to see the fault.
            qsizetype at = 0;
            while (at < text.size() && at < typed.size() && text[at] == typed[at])
                ++at;
            std::printf("  first difference at %lld: expected \"%s\", got \"%s\"\n", qlonglong(at),
                        text.mid(at, 12).toUtf8().constData(), typed.mid(at, 12).toUtf8().constData());
        }
        std::fflush(stdout);
    }
    std::printf("typing: %d of %d runs exact, %.0f characters per second overall\n", runs - wrong, runs,
                totalChars / totalSeconds);
    return wrong == 0 ? 0 : 1;
}
