#include "WebRTC/WebRTC.h"

namespace rtc {

const char* toString(PeerConnectionState state)
{
    switch (state) {
    case PeerConnectionState::New: return "new";
    case PeerConnectionState::Connecting: return "connecting";
    case PeerConnectionState::Connected: return "connected";
    case PeerConnectionState::Disconnected: return "disconnected";
    case PeerConnectionState::Failed: return "failed";
    case PeerConnectionState::Closed: return "closed";
    }
    return "?";
}

const char* toString(DataChannelState state)
{
    switch (state) {
    case DataChannelState::Connecting: return "connecting";
    case DataChannelState::Open: return "open";
    case DataChannelState::Closing: return "closing";
    case DataChannelState::Closed: return "closed";
    }
    return "?";
}

std::ostream& operator<<(std::ostream& out, PeerConnectionState state) { return out << toString(state); }
std::ostream& operator<<(std::ostream& out, DataChannelState state) { return out << toString(state); }

} // namespace rtc
