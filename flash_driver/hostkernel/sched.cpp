// The virtual clock, jiffies, time of day, the one task's sleep and wait queues, and semaphores of the
// host kernel layer.
#include "hostkernel/host.h"
#include "hostkernel/internal.h"
#include "hostkernel/kernel.h"

#include <algorithm>
#include <map>

namespace {

uint64_t clock_us = 0;
std::multimap<uint64_t, std::function<void()>> events;
struct task_struct the_task = {TASK_RUNNING, 0};

// Moves the clock to `target`, firing every event due on the way.
void run_clock_to(uint64_t target)
{
    while (!events.empty() && events.begin()->first <= target) {
        auto next = events.begin();
        clock_us = std::max(clock_us, next->first);
        auto event = std::move(next->second);
        events.erase(next);
        event();
    }
    clock_us = std::max(clock_us, target);
}

} // namespace

struct task_struct *current = &the_task;

unsigned long hostkernel_jiffies()
{
    hostkernel::poll_tick();
    return static_cast<unsigned long>(clock_us / hostkernel::kUsPerJiffy);
}

void do_gettimeofday(struct timeval *tv)
{
    hostkernel::poll_tick();
    tv->tv_sec = static_cast<time_t>(clock_us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(clock_us % 1000000);
}

void init_waitqueue_head(wait_queue_head_t *queue)
{
    queue->waiters.clear();
}

void add_wait_queue(wait_queue_head_t *queue, wait_queue_t *wait)
{
    queue->waiters.push_back(wait);
}

void remove_wait_queue(wait_queue_head_t *queue, wait_queue_t *wait)
{
    auto &waiters = queue->waiters;
    waiters.erase(std::remove(waiters.begin(), waiters.end(), wait), waiters.end());
}

void wake_up(wait_queue_head_t *queue)
{
    for (wait_queue_t *wait : queue->waiters)
        wait->task->state = TASK_RUNNING;
}

// The task sleeps until an event wakes it or the time-out passes; with nothing left to happen it
// sleeps out the whole time at once.
signed long schedule_timeout(signed long timeout)
{
    if (timeout < 0)
        timeout = 0;
    uint64_t deadline = clock_us + static_cast<uint64_t>(timeout) * hostkernel::kUsPerJiffy;
    while (current->state != TASK_RUNNING && clock_us < deadline) {
        uint64_t next = events.empty() ? deadline : std::min(deadline, events.begin()->first);
        run_clock_to(next);
    }
    current->state = TASK_RUNNING;
    current->need_resched = 0;
    uint64_t left = deadline > clock_us ? deadline - clock_us : 0;
    return static_cast<signed long>((left + hostkernel::kUsPerJiffy - 1) / hostkernel::kUsPerJiffy);
}

void mdelay(unsigned long ms)
{
    hostkernel::advance_us(ms * 1000);
}

void sema_init(struct semaphore *sem, int value)
{
    std::lock_guard<std::mutex> hold(sem->lock);
    sem->count = value;
}

void down(struct semaphore *sem)
{
    std::unique_lock<std::mutex> hold(sem->lock);
    sem->freed.wait(hold, [sem] { return sem->count > 0; });
    --sem->count;
}

void up(struct semaphore *sem)
{
    {
        std::lock_guard<std::mutex> hold(sem->lock);
        ++sem->count;
    }
    sem->freed.notify_one();
}

namespace hostkernel {

void poll_tick()
{
    run_clock_to(clock_us + kPollCostUs);
}

uint64_t now_us()
{
    return clock_us;
}

void advance_us(uint64_t us)
{
    run_clock_to(clock_us + us);
}

void schedule_at(uint64_t at_us, std::function<void()> event)
{
    events.emplace(at_us, std::move(event));
}

// Time never goes back: the clock keeps running from one reset to the next, as it would across a reload.
void reset_clock()
{
    events.clear();
    the_task.state = TASK_RUNNING;
    the_task.need_resched = 0;
}

void request_reschedule()
{
    the_task.need_resched = 1;
}

void reset()
{
    reset_clock();
    reset_io();
    reset_memory_and_log();
    reset_block_layer();
    reset_proc();
}

} // namespace hostkernel
