#include "UpdateSession.h"

// The image buffer starts zero-filled and the sender's fields at 0, so that
// nothing undefined can ever be sent to a unit, whatever arrives first.
UpdateSession::UpdateSession() : ImageBuffer(new std::uint8_t[kImageBufferSize]()) {}

UpdateSession::~UpdateSession() = default;

bool UpdateSession::OpenPorts(int inputIndex, int outputIndex)
{
    return PortPair.Open(inputIndex, outputIndex);
}

ReplyCode UpdateSession::HandleInput(MIDIHDR* header)
{
    // The replacement goes to the driver first: while this thread decodes,
    // the driver already has a buffer to fill.
    PortPair.QueueInputBuffer();
    const ReplyCode code =
        DecodeReply(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBytesRecorded);
    PortPair.UnprepareInputBuffer(header);
    MidiPortPair::ReleaseInputBuffer(header);
    return code;
}
