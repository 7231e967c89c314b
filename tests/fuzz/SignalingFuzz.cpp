// Frames from the signaling server into a host that is online: each input is one or more
// frames, separated by a zero byte; a frame starting with 0x01 goes as a binary frame.

#include "FuzzRig.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    startQt(argc, argv);
    FuzzRig::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto& fuzz = FuzzRig::instance();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& frame : input.split('\0')) {
        if (frame.startsWith('\x01'))
            fuzz.server.sendBinary(frame.mid(1));
        else
            fuzz.server.sendText(QString::fromUtf8(frame));
    }
    fuzz.settleSignaling();
    return 0;
}
