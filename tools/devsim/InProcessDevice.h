// The simulated unit on a loopback link, in the same process as the tool:
// the tool opens the link's devices like any MIDI port and talks to it.
#pragma once

#include "Loopback.h"
#include "SimulatorHost.h"

#include <memory>
#include <string>

namespace orvik::devsim {

class InProcessDevice
{
public:
    InProcessDevice(std::string portName, DeviceSettings settings,
                    std::vector<std::uint8_t> expectedImage, DeviceSimulator::EventSink events = {},
                    orvik::loopback::LinkOptions options = {},
                    std::shared_ptr<ManualClock> clock = {});
    // Stops answering first, then removes the devices.
    ~InProcessDevice();

    InProcessDevice(const InProcessDevice&) = delete;
    InProcessDevice& operator=(const InProcessDevice&) = delete;

    // Device numbers for the tool: the input it reads the unit's replies
    // from, and the output it sends to the unit.
    int inputDeviceNumber() const { return link_->inputDeviceNumber(); }
    int outputDeviceNumber() const { return link_->outputDeviceNumber(); }

    orvik::loopback::Link& link() { return *link_; }
    SimulatorHost& host() { return *host_; }

private:
    std::unique_ptr<SimulatorHost> host_;
    std::unique_ptr<orvik::loopback::Link> link_;
};

} // namespace orvik::devsim
