#include "platform/group_end_watch.h"

#include "platform/process_control.h"

#include <sys/eventfd.h>
#include <unistd.h>

GroupEndWatch::GroupEndWatch(qint64 groupId, qint64 except, std::function<void()> ended)
    : m_wakeFd(::eventfd(0, EFD_CLOEXEC))
{
    // Without a way to end the wait there is no watch; the stop's deadline still holds.
    if (m_wakeFd < 0) {
        return;
    }
    m_thread = std::thread([groupId, except, wakeFd = m_wakeFd, ended = std::move(ended)] {
        if (ProcessControl::awaitGroupEnd(groupId, except, QDeadlineTimer(QDeadlineTimer::Forever), wakeFd)) {
            ended();
        }
    });
}

GroupEndWatch::~GroupEndWatch()
{
    if (m_wakeFd < 0) {
        return;
    }
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    m_thread.join();
    ::close(m_wakeFd);
}
