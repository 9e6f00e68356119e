#include "platform/termination_signals.h"

#include <QString>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array HandledSignals{SIGTERM, SIGINT, SIGHUP};

// The only state a signal handler may reach; set before the handlers are installed.
volatile sig_atomic_t handlerWriteEnd = -1;

extern "C" void onTerminationSignal(int number)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(handlerWriteEnd, &byte, 1);
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

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
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
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : HandledSignals) {
        struct sigaction previous = {};
        ::sigaction(number, nullptr, &previous);
        // A hang-up or interrupt that our launcher chose to ignore (nohup, a background job)
        // stays ignored.
        if (number != SIGTERM && previous.sa_handler == SIG_IGN) {
            continue;
        }
        if (::sigaction(number, &action, nullptr) != 0) {
            m_errorString = QStringLiteral("cannot handle %1: %2")
                                .arg(nameOf(number), QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_previousActions.emplace_back(number, previous);
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
}

TerminationSignals::~TerminationSignals()
{
    m_notifier.reset();
    for (const auto& [number, previous] : m_previousActions) {
        ::sigaction(number, &previous, nullptr);
    }
    handlerWriteEnd = -1;
    if (m_readEnd >= 0) {
        ::close(m_readEnd);
        ::close(m_writeEnd);
    }
}

void TerminationSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_readEnd, &byte, 1) == 1) {
        Q_EMIT received(nameOf(byte));
    }
}
