#include "PrivateJack.h"

#include "ChildProcess.h"

#include <jack/jack.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sstream>
#include <string_view>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orvik::testsupport {
namespace {

std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string uniqueName()
{
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return "orvik-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(ticks % 1000000);
}

bool clientConnects(const std::string& server)
{
    static std::atomic<bool> quiet{false};
    if (!quiet.exchange(true)) {
        // Each failed attempt would otherwise print a paragraph on stderr.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
    }
    jack_status_t status{};
    jack_client_t* client =
        jack_client_open("orvik-test-probe", JackOptions(JackNoStartServer | JackServerName),
                         &status, server.c_str());
    if (!client)
        return false;
    jack_client_close(client);
    return true;
}

} // namespace

PrivateJack::~PrivateJack()
{
    stop();
}

bool PrivateJack::start(std::chrono::milliseconds deadline)
{
    if (running())
        return true;
    error_.clear();

    const std::string jackd = findProgram("jackd");
    if (jackd.empty()) {
        error_ = "jackd not found in PATH";
        return false;
    }
    name_ = uniqueName();
    return spawn(deadline);
}

bool PrivateJack::spawn(std::chrono::milliseconds deadline)
{
    const std::string jackd = findProgram("jackd");
    char logTemplate[] = "/tmp/orvik-jackd-XXXXXX";
    const int logFd = ::mkstemp(logTemplate);
    if (logFd < 0) {
        error_ = "cannot create jackd's log file";
        return false;
    }
    ::fcntl(logFd, F_SETFD, FD_CLOEXEC);
    logPath_ = logTemplate;

    std::vector<std::string> args = {jackd, realtime ? "--realtime" : "--no-realtime",
                                     "-n",  name_,
                                     "-d",  "dummy",
                                     "-p",  "128",
                                     "-r",  "48000"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(logFd);
        error_ = "fork failed";
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (::getppid() != parent)
            ::_exit(127);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            ::dup2(devNull, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(logFd);
    pid_ = child;
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    ::setenv("JACK_NO_START_SERVER", "1", 1);

    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "jackd exited before it was ready:\n" + log();
            return false;
        }
        if (clientConnects(name_))
            return true;
        if (std::chrono::steady_clock::now() >= end) {
            error_ = "jackd was not ready within the deadline:\n" + log();
            stop();
            return false;
        }
        // An external process gives no event to wait on; poll it gently.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PrivateJack::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    reapChild(pid_, std::chrono::seconds(10));
    pid_ = -1;
    killed_ = true;
}

void PrivateJack::stop()
{
    if (killed_) {
        killed_ = false;
        if (!logPath_.empty())
            ::unlink(logPath_.c_str());
        spawn(std::chrono::seconds(30));
        // Its clients' semaphores stay behind either way.
        const std::string prefix = "jack_sem." + std::to_string(::getuid()) + "_" + name_ + "_";
        if (DIR* shm = ::opendir("/dev/shm")) {
            while (const dirent* entry = ::readdir(shm)) {
                if (std::string_view(entry->d_name).substr(0, prefix.size()) == prefix)
                    ::unlinkat(::dirfd(shm), entry->d_name, 0);
            }
            ::closedir(shm);
        }
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reapChild(pid_, std::chrono::seconds(10));
        pid_ = -1;
    }
    if (!logPath_.empty()) {
        ::unlink(logPath_.c_str());
        logPath_.clear();
    }
}

std::string PrivateJack::log() const
{
    return readWholeFile(logPath_);
}

int PrivateJack::xruns() const
{
    std::stringstream text(log());
    std::string line;
    int count = 0;
    while (std::getline(text, line))
        if (line.find("XRun") != std::string::npos || line.find("xrun") != std::string::npos)
            ++count;
    return count;
}

} // namespace orvik::testsupport
