#include "platform/unix_signals.h"

#include <QString>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array HandledSignals{SIGTERM, SIGINT, SIGHUP, SIGCHLD};

// The only state a signal handler may reach; set before the handlers are installed. SIGCHLD
// also goes on to the action ours replaced.
volatile sig_atomic_t handlerWriteEnd = -1;
struct sigaction previousChildAction = {};

extern "C" void onSignal(int number, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(handlerWriteEnd, &byte, 1);
    if (number == SIGCHLD) {
        if ((previousChildAction.sa_flags & SA_SIGINFO) != 0) {
            previousChildAction.sa_sigaction(number, info, context);
        } else if (previousChildAction.sa_handler != SIG_DFL && previousChildAction.sa_handler != SIG_IGN) {
            previousChildAction.sa_handler(number);
        }
    }
    errno = savedErrno;
}

QString nameOf(int number)
{
    switch (number) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(number);
    }
}

} // namespace

UnixSignals::UnixSignals(QObject* parent) : QObject(parent)
{
    Q_ASSERT(handlerWriteEnd == -1);
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        m_errorString =
            QStringLiteral("cannot create the signal pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    handlerWriteEnd = m_writeEnd;

    struct sigaction action = {};
    action.sa_sigaction = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO | SA_NOCLDSTOP;
    for (const int number : HandledSignals) {
        struct sigaction previous = {};
        ::sigaction(number, nullptr, &previous);
        // A hang-up or interrupt that our launcher chose to ignore (nohup, a background job)
        // stays ignored.
        if (number != SIGTERM && previous.sa_handler == SIG_IGN) {
            continue;
        }
        if (number == SIGCHLD) {
            previousChildAction = previous;
        }
        if (::sigaction(number, &action, nullptr) != 0) {
            m_errorString = QStringLiteral("cannot handle %1: %2")
                                .arg(nameOf(number), QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_previousActions.emplace_back(number, previous);
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &UnixSignals::readPipe);
}

UnixSignals::~UnixSignals()
{
    m_notifier.reset();
    for (const auto& [number, previous] : m_previousActions) {
        // A handler installed after ours may pass SIGCHLD on to it: that one stays, and ours
        // then only passes the signal on.
        struct sigaction current = {};
        ::sigaction(number, nullptr, &current);
        if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == onSignal) {
            ::sigaction(number, &previous, nullptr);
        }
    }
    handlerWriteEnd = -1;
    if (m_readEnd >= 0) {
        ::close(m_readEnd);
        ::close(m_writeEnd);
    }
}

void UnixSignals::readPipe()
{
    unsigned char byte = 0;
    bool childExitedSeen = false;
    while (::read(m_readEnd, &byte, 1) == 1) {
        if (byte == SIGCHLD) {
            childExitedSeen = true;
        } else {
            Q_EMIT received(nameOf(byte));
        }
    }
    // Many ends are answered by one look at what has ended.
    if (childExitedSeen) {
        Q_EMIT childExited();
    }
}
