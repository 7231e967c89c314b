#pragma once
// mutter's remote-desktop clipboard calls, in memory: another application's offer to read, and
// what this process offered and wrote. The signals are the test's to pass on.

#include "Platform/Linux/MutterClipboard.h"

#include <map>

class FakeMutterSelection : public MutterSelection {
public:
    bool open = true;
    std::map<QByteArray, QByteArray> owners; // another application's offer: type → data
    int reads = 0;
    // mutter 43 refuses a read that comes before it has finished the one before ("Tried to
    // read in parallel"), which it does a little after the reader saw the data end.
    bool refuseReads = false;
    int offers = 0;               // SetSelection calls
    QList<QByteArray> offered;    // the last one's types
    std::map<uint32_t, QByteArray> written; // serial → data

    bool isOpen() override { return open; }
    bool offer(const QList<QByteArray>& types) override
    {
        ++offers;
        offered = types;
        return open;
    }
    std::optional<QByteArray> read(const QByteArray& type, int, qsizetype) override
    {
        ++reads;
        const auto it = owners.find(type);
        if (refuseReads || it == owners.end())
            return std::nullopt;
        return it->second;
    }
    bool write(uint32_t serial, const QByteArray* data, int) override
    {
        if (!data)
            return false;
        written[serial] = *data;
        return true;
    }
};
