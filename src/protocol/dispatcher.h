// The channel message dispatcher: the body of DOZAPlugin::OnDataReceived,
// kept apart from the COM object so it runs without the Remote Desktop client.
#pragma once

#include <cstdint>

// The channel as the dispatcher sees it; the plug-in forwards write to
// IWTSVirtualChannel::Write.
struct ChannelWriter {
    virtual ~ChannelWriter() = default;
    virtual bool hasChannel() const = 0;
    virtual void write(const std::uint8_t* data, std::uint32_t size) = 0;
};

// Classifies one message from the remote host, does what its kind asks and
// writes at most one reply. Never throws; failures are logged only.
void dispatchChannelMessage(ChannelWriter& channel, std::uint32_t cbSize, const std::uint8_t* buffer);
