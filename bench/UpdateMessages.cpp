#include "UpdateMessages.h"

#include "ImagePreparation.h"
#include "Loopback.h"
#include "UpdateSession.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace orvik::bench {

namespace {

struct Captured
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> messages;
};

constexpr auto kMessageDeadline = std::chrono::seconds(10);

} // namespace

bool captureUpdateMessages(std::uint32_t serial, std::vector<Bytes>& messages, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };

    auto captured = std::make_shared<Captured>();
    loopback::Link link("orvik16-bench capture",
                        [captured](const std::uint8_t* data, std::size_t size) {
                            std::lock_guard lock(captured->mutex);
                            captured->messages.emplace_back(data, data + size);
                            captured->arrived.notify_all();
                        });
    // One message at a time, as in an update: the layer then never holds
    // thousands of them, which would swell the heap that later figures see.
    auto arrivedCount = [&](std::size_t count) {
        std::unique_lock lock(captured->mutex);
        return captured->arrived.wait_for(lock, kMessageDeadline,
                                          [&] { return captured->messages.size() >= count; });
    };

    UpdateSession session;
    if (!session.OpenPorts(link.inputDeviceNumber(), link.outputDeviceNumber()))
        return fail(QStringLiteral("cannot open the capture link's ports"));
    if (!prepareImage(session.ImageData(), serial))
        return fail(QStringLiteral("cannot read the embedded image"));

    session.SendBeginUpdate(kImageVersionMajor, kImageVersionMinor, kImageSize);
    session.RestartTransfer();
    constexpr int kMessagesPerUpdate = kBlockCount * (kSliceCount + 1);
    int commits = 0;
    bool complete = arrivedCount(2);
    for (int sent = 1; complete && sent < kMessagesPerUpdate; ++sent) {
        if (session.SendNext(false))
            ++commits;
        complete = arrivedCount(std::size_t(sent) + 2);
    }
    session.PortPair.Close();
    if (!complete)
        return fail(QStringLiteral("the capture link lost messages"));
    if (commits != kBlockCount)
        return fail(QStringLiteral("the session committed %1 blocks instead of %2")
                        .arg(commits)
                        .arg(kBlockCount));

    std::lock_guard lock(captured->mutex);
    messages = std::move(captured->messages);
    return true;
}

} // namespace orvik::bench
