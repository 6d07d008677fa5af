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

bool RawMidiPort::open(const std::string& device, Receive receive, Lost lost, Back back,
                       std::string* error)
{
    auto fail = [&](const std::string& what, int code) {
        close();
        if (error)
            *error = what + " " + device + ": " + snd_strerror(code);
        return false;
    };
    device_ = device;
    const int code = openHandles();
    if (code < 0)
        return fail(in_ ? "cannot open the output of" : "cannot open the input of", code);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail("cannot make a pipe for", -errno);
    receive_ = std::move(receive);
    lost_ = std::move(lost);
    back_ = std::move(back);
    reader_ = std::thread([this] { run(); });
    return true;
}

int RawMidiPort::openHandles()
{
    // The input is read from a thread that also waits on the pipe that ends
    // it; the output blocks as a UART would until the bytes are on their way.
    snd_rawmidi_t* in = nullptr;
    int code = snd_rawmidi_open(&in, nullptr, device_.c_str(), SND_RAWMIDI_NONBLOCK);
    if (code < 0)
        return code;
    in_ = in;
    snd_rawmidi_t* out = nullptr;
    code = snd_rawmidi_open(nullptr, &out, device_.c_str(), 0);
    if (code < 0)
        return code;
    std::lock_guard guard(outLock_);
    out_ = out;
    return 0;
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

void RawMidiPort::countDropped()
{
    // The driver counts what it could not put into the input buffer, and
    // starts again from zero each time it is asked.
    snd_rawmidi_status_t* status = nullptr;
    snd_rawmidi_status_alloca(&status);
    if (snd_rawmidi_status(in_, status) == 0)
        dropped_ += snd_rawmidi_status_get_xruns(status);
}

void RawMidiPort::release()
{
    if (in_) {
        countDropped();
        snd_rawmidi_close(in_);
    }
    in_ = nullptr;
    std::lock_guard guard(outLock_);
    if (out_)
        snd_rawmidi_close(out_);
    out_ = nullptr;
}

void RawMidiPort::run()
{
    while (!read() && !waitForDevice()) {
        if (back_)
            back_();
    }
}

bool RawMidiPort::waitForDevice()
{
    // A driver says nothing of a device that appears; asking a few times a
    // second is what finds it again.
    constexpr int kAskEveryMs = 200;
    pollfd stop = {wake_[0], POLLIN, 0};
    while (true) {
        const int n = ::poll(&stop, 1, kAskEveryMs);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true;
        if (openHandles() == 0)
            return false;
        release();
    }
}

bool RawMidiPort::read()
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
        if (lost_)
            lost_(why);
        return false;
    };

    std::uint8_t buffer[4096];
    while (true) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return lose(std::string("poll: ") + snd_strerror(-errno));
        }
        if (fds.back().revents)
            return true;
        unsigned short events = 0;
        snd_rawmidi_poll_descriptors_revents(in_, fds.data(), static_cast<unsigned>(count),
                                             &events);
        if (events & (POLLERR | POLLHUP | POLLNVAL))
            return lose("the device went away");
        if (!(events & POLLIN))
            continue;
        while (true) {
            const ssize_t n = snd_rawmidi_read(in_, buffer, sizeof buffer);
            if (n == -EAGAIN || n == 0)
                break;
            if (n == -EINTR)
                continue;
            if (n < 0)
                return lose(snd_strerror(static_cast<int>(n)));
            framer.feed(buffer, static_cast<std::size_t>(n));
        }
        countDropped();
    }
}

} // namespace orvik::devsim
