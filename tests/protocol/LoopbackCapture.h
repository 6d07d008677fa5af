// Opens a session's ports on an in-process loopback link and collects every
// message the session sends, so tests can see the bytes that would reach a
// unit.
#pragma once

#include "Loopback.h"
#include "UpdateSession.h"

#include <QByteArray>
#include <QList>

#include <chrono>
#include <condition_variable>
#include <mutex>

class LoopbackCapture
{
public:
    LoopbackCapture()
        : link_("orvik-protocol-test", [this](const std::uint8_t* data, std::size_t size) {
              std::lock_guard lock(mutex_);
              arrived_.append(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
              changed_.notify_all();
          })
    {}

    bool open(UpdateSession& session)
    {
        return session.OpenPorts(link_.inputDeviceNumber(), link_.outputDeviceNumber());
    }

    // Everything the session sent since the last call. A marker message goes
    // out last and is waited for: sends keep their order, so once it arrived
    // nothing sent before it can still be on its way. The marker is a commit
    // with a tag that the block sender never uses.
    QList<QByteArray> takeAll(UpdateSession& session)
    {
        static const QByteArray marker = QByteArray::fromHex("F0 00 11 22 0B 00 00 00 00 0A 7F F7");
        if (!session.SendCommit(0x7F))
            return {QByteArrayLiteral("marker refused")};
        std::unique_lock lock(mutex_);
        const bool seen = changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return !arrived_.isEmpty() && arrived_.last() == marker;
        });
        if (!seen)
            return {QByteArrayLiteral("marker lost")};
        arrived_.removeLast();
        QList<QByteArray> out;
        out.swap(arrived_);
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    QList<QByteArray> arrived_;
    orvik::loopback::Link link_; // last: stops delivering before the rest goes
};
