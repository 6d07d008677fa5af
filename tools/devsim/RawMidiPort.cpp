#include "RawMidiPort.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace orvik::devsim {

RawMidiPort::RawMidiPort() = default;

RawMidiPort::~RawMidiPort()
{
    close();
}

bool RawMidiPort::open(const std::string& device, Receive receive, Lost lost, std::string* error)
{
    auto fail = [&](const std::string& what, int code) {
        close();
        if (error)
            *error = what + " " + device + ": " + snd_strerror(code);
        return false;
    };
    // The input is read from a thread that also waits on the pipe that ends
    // it; the output blocks as a UART would until the bytes are on their way.
    int code = snd_rawmidi_open(&in_, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK);
    if (code < 0)
        return fail("cannot open the input of", code);
    code = snd_rawmidi_open(nullptr, &out_, device.c_str(), 0);
    if (code < 0)
        return fail("cannot open the output of", code);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail("cannot make a pipe for", -errno);
    receive_ = std::move(receive);
    lost_ = std::move(lost);
    lostReported_ = false;
    reader_ = std::thread([this] { read(); });
    return true;
}

void RawMidiPort::send(const std::vector<std::uint8_t>& message)
{
    std::lock_guard guard(outLock_);
    if (!out_)
        return;
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t n = snd_rawmidi_write(out_, message.data() + done, message.size() - done);
        if (n == -EINTR || n == -EAGAIN)
            continue;
        if (n < 0) {
            // Gone with its card: the reader reports that.
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void RawMidiPort::close()
{
    if (reader_.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const auto n = ::write(wake_[1], &stop, 1);
        reader_.join();
    }
    for (int& fd : wake_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    release();
}

void RawMidiPort::release()
{
    if (in_)
        snd_rawmidi_close(in_);
    in_ = nullptr;
    std::lock_guard guard(outLock_);
    if (out_)
        snd_rawmidi_close(out_);
    out_ = nullptr;
}

void RawMidiPort::read()
{
    ByteStreamFramer framer(
        [this](const std::uint8_t* data, std::size_t size) { receive_(data, size); });
    const int count = snd_rawmidi_poll_descriptors_count(in_);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_rawmidi_poll_descriptors(in_, fds.data(), static_cast<unsigned>(count));
    fds[static_cast<std::size_t>(count)] = {wake_[0], POLLIN, 0};
    // A card is only gone for good once every program has let go of it:
    // until then it cannot come back.
    auto lose = [this](const std::string& why) {
        release();
        if (!lostReported_.exchange(true) && lost_)
            lost_(why);
    };

    std::uint8_t buffer[4096];
    while (true) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            lose(std::string("poll: ") + snd_strerror(-errno));
            return;
        }
        if (fds.back().revents)
            return;
        unsigned short events = 0;
        snd_rawmidi_poll_descriptors_revents(in_, fds.data(), static_cast<unsigned>(count),
                                             &events);
        if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            lose("the device went away");
            return;
        }
        if (!(events & POLLIN))
            continue;
        while (true) {
            const ssize_t n = snd_rawmidi_read(in_, buffer, sizeof buffer);
            if (n == -EAGAIN || n == 0)
                break;
            if (n == -EINTR)
                continue;
            if (n < 0) {
                lose(snd_strerror(static_cast<int>(n)));
                return;
            }
            framer.feed(buffer, static_cast<std::size_t>(n));
        }
    }
}

} // namespace orvik::devsim
