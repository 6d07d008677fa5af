// The protocol side of the tool: owns the port pair, the unit's identity, the
// image buffer and the block sender's state. GUI thread only.
#pragma once

#include "MidiPortPair.h"
#include "Protocol.h"

#include <QString>

#include <cstdint>
#include <memory>

class UpdateSession
{
public:
    UpdateSession();
    ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    bool OpenPorts(int inputIndex, int outputIndex);
    // The image buffer is lent out for preparing the image; the session keeps it.
    std::uint8_t* ImageData() { return ImageBuffer.get(); }

    // Frame and commands.
    static int BuildHeader(std::uint8_t* buffer, std::uint8_t command);
    bool SendIdentityRequest();
    bool SendCommit(std::uint8_t tag);
    bool SendBeginUpdate(std::uint8_t param1, std::uint8_t param2, std::uint32_t length);
    bool SendDataSlice(int slice, std::uint8_t command);

    // Replies.
    ReplyCode DecodeReply(const std::uint8_t* bytes, DWORD count);
    const char* FormatSerialText(std::int32_t serial);
    ReplyCode HandleInput(MIDIHDR* header);

    // Block sender.
    bool SendNext(bool repeat);
    bool RestartTransfer();
    // Whether the acknowledgement just decoded answers the message in flight:
    // a slice's answer while a slice is out, a commit's while a commit is.
    // Any other is late or doubled, and acting on it would run one message
    // ahead of the unit, or count a block it never committed.
    bool AnswersMessageInFlight() const;

    // Fields in the order the unit-facing design fixes them; destruction runs
    // in reverse: image buffer, identity strings, then the port pair closes.
    std::int32_t RetryCount = 0;
    MidiPortPair PortPair;
    char SerialTextBuffer[12] = {};
    // DeviceIdentity.
    std::int32_t SerialNumber = 0;
    std::int32_t FirmwareVersion = 0;
    QString SerialText;
    QString DeviceName;
    // Block sender.
    std::uint32_t ImageOffset = 0;
    std::uint32_t SendStep = 0;
    std::unique_ptr<std::uint8_t[]> ImageBuffer;
    std::int32_t CommittedBlocks = 0;
    // The command the last acknowledgement answered, DataSlice or
    // CommitBlock; 0 after any other reply.
    std::uint8_t AcknowledgedCommand = 0;
    // Acknowledgements since the last BeginUpdate that answered no message in
    // flight: each one a late or doubled answer that the transfer passed over.
    std::int32_t StrayAcknowledgements = 0;
};
