#pragma once

#include <QtGlobal>

#include <functional>
#include <thread>

// Waits on a thread of its own until no member of a process group other than `except` lives,
// then calls `ended` on that thread. Destroying the watch ends the wait, or waits for `ended` to
// return.
class GroupEndWatch
{
public:
    GroupEndWatch(qint64 groupId, qint64 except, std::function<void()> ended);
    ~GroupEndWatch();
    GroupEndWatch(const GroupEndWatch&) = delete;
    GroupEndWatch& operator=(const GroupEndWatch&) = delete;

private:
    int m_wakeFd = -1;
    std::thread m_thread;
};
