#include "InProcessDevice.h"

namespace orvik::devsim {

InProcessDevice::InProcessDevice(std::string portName, DeviceSettings settings,
                                 std::vector<std::uint8_t> expectedImage,
                                 DeviceSimulator::EventSink events,
                                 orvik::loopback::LinkOptions options,
                                 std::shared_ptr<ManualClock> clock)
    : host_(std::make_unique<SimulatorHost>(std::move(settings), std::move(expectedImage),
                                            std::move(events), std::move(clock)))
{
    SimulatorHost* host = host_.get();
    link_ = std::make_unique<orvik::loopback::Link>(
        std::move(portName),
        [host](const std::uint8_t* data, std::size_t size) { host->post(data, size); }, options);
    orvik::loopback::Link* link = link_.get();
    host_->start([link](const std::vector<std::uint8_t>& bytes) {
        link->toTool(bytes.data(), bytes.size());
    });
}

InProcessDevice::~InProcessDevice()
{
    // The worker must be gone before the link it sends on; the link's own
    // thread may still post into the host while the link goes away, which a
    // stopped host ignores.
    host_->stop();
    link_.reset();
    host_.reset();
}

} // namespace orvik::devsim
