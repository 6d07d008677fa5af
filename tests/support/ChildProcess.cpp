#include "ChildProcess.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace orvik::testsupport {
namespace {

// Neither end may leak into other children the test starts.
bool closeOnExecPipe(int fds[2])
{
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace

ChildProcess::~ChildProcess()
{
    stop();
    if (!errorPath_.empty())
        ::unlink(errorPath_.c_str());
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args)
{
    if (running())
        return false;
    int in[2];
    int out[2];
    if (!closeOnExecPipe(in))
        return false;
    if (!closeOnExecPipe(out)) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    char errorTemplate[] = "/tmp/orvik-child-XXXXXX";
    const int errorFd = ::mkstemp(errorTemplate);
    if (errorFd >= 0)
        ::fcntl(errorFd, F_SETFD, FD_CLOEXEC);
    if (errorFd >= 0)
        errorPath_ = errorTemplate;

    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (errorFd >= 0)
            ::dup2(errorFd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (errorFd >= 0)
        ::close(errorFd);
    if (child < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    pid_ = child;
    input_ = in[1];
    output_ = out[0];
    pending_.clear();
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const std::size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        if (output_ < 0)
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd fd{output_, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[256];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(output_);
            output_ = -1;
            continue;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

int reapChild(pid_t pid, std::chrono::milliseconds grace)
{
    const auto end = std::chrono::steady_clock::now() + grace;
    int status = 0;
    pid_t done = 0;
    // The child gives no event to wait on with a deadline; poll it gently.
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ChildProcess::stop(std::chrono::milliseconds grace)
{
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
    int result = -1;
    if (pid_ > 0) {
        result = reapChild(pid_, grace);
        pid_ = -1;
    }
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    return result;
}

std::string readWholeFile(const std::string& path)
{
    if (path.empty())
        return {};
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string ChildProcess::errorOutput() const
{
    return readWholeFile(errorPath_);
}

} // namespace orvik::testsupport
