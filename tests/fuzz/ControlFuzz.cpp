// Messages on a phone's control channel ("input"): authentication, commands and input events,
// one per line of the input; a line starting with 0x01 goes as a binary message.

#include "FuzzRig.h"
#include "Support/SerialWorker.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    startQt(argc, argv);
    FuzzRig::instance().ensurePhone();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto& fuzz = FuzzRig::instance();
    fuzz.ensurePhone();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& line : input.split('\n')) {
        if (line.startsWith('\x01'))
            fuzz.control->receive(line.mid(1), true);
        else
            fuzz.control->receive(line);
    }
    FuzzRig::drain();
    // Screenshots are taken on a worker: done before the next input, so none is still being
    // encoded when the fuzzer ends the process.
    SerialWorker::named("orbel.shot").waitForIdle(std::chrono::seconds(10));
    return 0;
}
