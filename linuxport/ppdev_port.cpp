// A port I/O library for Linux: Inp32 and Out32 on a real parallel port
// through the kernel's ppdev interface, without root. The data register is
// written with PPWDATA and the status register read with PPRSTATUS; the port
// is found by its base address among those the kernel lists.
#include "parport.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define PORT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char* const kProcRoot = "/proc";
const char* const kDevRoot = "/dev";

struct ClaimedPort {
    unsigned base = 0;
    int fd = -1;
};

ClaimedPort claimed;

// The kernel's claim sleeps until the port is free, however long another
// program (a print job, a program of another user) holds it: it is cut short
// after this long.
constexpr unsigned kClaimWaitSeconds = 2;

extern "C" void onClaimTimer(int)
{
    // Nothing to do: the signal's arrival ends the claim's sleep with EINTR.
}

// PPCLAIM under a timer that signals this thread, first after the wait
// allowed, then every 100 ms (in case the first came just before the claim
// began to sleep). 0, or the error: ETIMEDOUT when the wait ran out.
int claimWithin(int fd, unsigned seconds)
{
    const int timerSignal = SIGRTMIN + 1;
    struct sigaction action {}, before {};
    action.sa_handler = onClaimTimer; // without SA_RESTART: the claim returns EINTR
    sigemptyset(&action.sa_mask);
    sigaction(timerSignal, &action, &before);
    sigset_t unblocked, mask;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, timerSignal);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, &mask);
    sigevent event {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = timerSignal;
    event._sigev_un._tid = static_cast<pid_t>(gettid()); // sigev_notify_thread_id, which glibc 2.36 does not name
    timer_t timer {};
    const bool timed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        const itimerspec interval { { 0, 100000000L }, { static_cast<time_t>(seconds), 0 } };
        timer_settime(timer, 0, &interval, nullptr);
    }
    timespec start {}, now {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    int error = ioctl(fd, PPCLAIM) == 0 ? 0 : errno;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (error == EINTR && now.tv_sec - start.tv_sec >= static_cast<time_t>(seconds))
        error = ETIMEDOUT;
    if (timed)
        timer_delete(timer);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sigaction(timerSignal, &before, nullptr);
    return error;
}
// A base that could not be reached, so that every access to it does not scan
// /proc again; cleared when the port is asked about.
int unreachableBase = -1;
std::string problem;

void release()
{
    if (claimed.fd >= 0) {
        ioctl(claimed.fd, PPRELEASE);
        close(claimed.fd);
    }
    claimed = ClaimedPort();
}

// Opens and claims the port whose data register is at base.
bool reach(unsigned base)
{
    if (claimed.fd >= 0 && claimed.base == base)
        return true;
    if (unreachableBase == static_cast<int>(base))
        return false;
    release();
    const std::vector<parport::Port> ports = parport::listPorts(kProcRoot);
    const parport::Port* port = parport::findPort(ports, base);
    unreachableBase = static_cast<int>(base);
    if (!port) {
        problem = parport::noPortAtText(base, ports);
        return false;
    }
    const std::string device = parport::devicePath(kDevRoot, *port);
    const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        problem = parport::openErrorText(device, errno);
        return false;
    }
    if (const int error = claimWithin(fd, kClaimWaitSeconds)) {
        problem = error == ETIMEDOUT ? parport::claimTimeoutText(device, kClaimWaitSeconds)
                                     : parport::claimErrorText(device, error);
        close(fd);
        return false;
    }
    claimed = { base, fd };
    unreachableBase = -1;
    problem.clear();
    return true;
}

// Which register of the claimed port this port number is (0 data, 1 status,
// 2 control), claiming the port first when needed; -1 when out of reach.
int registerOf(unsigned port, bool reading)
{
    if (claimed.fd >= 0 && port - claimed.base <= 2)
        return static_cast<int>(port - claimed.base);
    // Writes go to the data register, reads come from the status register.
    if (reading ? port >= 1 && reach(port - 1) : reach(port))
        return reading ? 1 : 0;
    return -1;
}

__attribute__((destructor)) void releaseAtUnload()
{
    release();
}

} // namespace

PORT_EXPORT short Inp32(short portNumber)
{
    const int reg = registerOf(static_cast<std::uint16_t>(portNumber), true);
    static const unsigned long kRead[] = { PPRDATA, PPRSTATUS, PPRCONTROL };
    unsigned char value = 0xFF; // an absent port reads as a floating bus
    if (reg >= 0)
        ioctl(claimed.fd, kRead[reg], &value);
    return value;
}

PORT_EXPORT void Out32(short portNumber, short data)
{
    const int reg = registerOf(static_cast<std::uint16_t>(portNumber), false);
    unsigned char value = static_cast<unsigned char>(data);
    if (reg == 0)
        ioctl(claimed.fd, PPWDATA, &value);
    else if (reg == 2)
        ioctl(claimed.fd, PPWCONTROL, &value);
}

PORT_EXPORT int IsInpOutDriverOpen()
{
    return parport::anyPortUsable(kProcRoot, kDevRoot, problem) ? 1 : 0;
}

PORT_EXPORT const char* InpOutDriverProblem()
{
    return problem.c_str();
}

PORT_EXPORT const char* InpOutPortProblem(short base)
{
    unreachableBase = -1;
    return reach(static_cast<std::uint16_t>(base)) ? nullptr : problem.c_str();
}
