// The kernel stand-in's clock, sleeps, interrupts, semaphores and module parameters.
#include "hostkernel/board.h"
#include "hostkernel/host.h"
#include "hostkernel/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

int test_param = 7;
MODULE_PARM(test_param, "i");
MODULE_PARM_DESC(test_param, "A parameter of the test");

unsigned interrupts = 0;
wait_queue_head_t queue;

void on_interrupt(int, void *, struct pt_regs *)
{
    ++interrupts;
    wake_up(&queue);
}

class HostKernelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostkernel::reset();
        interrupts = 0;
        init_waitqueue_head(&queue);
    }
};

TEST_F(HostKernelTest, ClockRunsOnPollsAndFiresEventsInOrder)
{
    uint64_t start = hostkernel::now_us();
    std::vector<int> fired;
    hostkernel::schedule_at(start + 30, [&] { fired.push_back(2); });
    hostkernel::schedule_at(start + 10, [&] { fired.push_back(1); });
    for (int i = 0; i < 20; ++i)
        inb(0x402);
    EXPECT_EQ(fired, std::vector<int>{1});
    unsigned long before = jiffies;
    hostkernel::advance_us(hostkernel::kUsPerJiffy);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    EXPECT_GE(jiffies, before + 1);
    struct timeval tv;
    do_gettimeofday(&tv);
    EXPECT_EQ(static_cast<uint64_t>(tv.tv_sec) * 1000000 + tv.tv_usec, hostkernel::now_us());
}

TEST_F(HostKernelTest, SleepEndsAtTheTimeOutOrWhenWoken)
{
    uint64_t start = hostkernel::now_us();
    set_current_state(TASK_UNINTERRUPTIBLE);
    EXPECT_EQ(schedule_timeout(5), 0);
    EXPECT_EQ(hostkernel::now_us() - start, 5 * hostkernel::kUsPerJiffy);
    EXPECT_EQ(current->state, TASK_RUNNING);

    ASSERT_EQ(request_irq(9, on_interrupt, SA_INTERRUPT, "NAND flash", nullptr), 0);
    start = hostkernel::now_us();
    hostkernel::schedule_at(start + 25000, [] { hostkernel::raise_irq(9); });
    DECLARE_WAITQUEUE(wait, current);
    add_wait_queue(&queue, &wait);
    set_current_state(TASK_UNINTERRUPTIBLE);
    EXPECT_EQ(schedule_timeout(100), 98); // 97.5 jiffies left, rounded up
    remove_wait_queue(&queue, &wait);
    EXPECT_EQ(hostkernel::now_us() - start, 25000u);
    EXPECT_EQ(interrupts, 1u);
    EXPECT_TRUE(queue.waiters.empty());
}

TEST_F(HostKernelTest, InterruptsWaitWhileSavedOff)
{
    ASSERT_EQ(request_irq(9, on_interrupt, SA_INTERRUPT, "NAND flash", nullptr), 0);
    EXPECT_EQ(request_irq(9, on_interrupt, SA_INTERRUPT, "other", nullptr), -16);
    EXPECT_EQ(hostkernel::irq_owner(9), "NAND flash");
    unsigned long flags = 0;
    irq_control[IRQ_CONTROL_SAVE](reinterpret_cast<unsigned long>(&flags));
    hostkernel::raise_irq(9);
    EXPECT_EQ(interrupts, 0u);
    irq_control[IRQ_CONTROL_RESTORE](flags);
    EXPECT_EQ(interrupts, 1u);
    free_irq(9, nullptr);
    hostkernel::raise_irq(9);
    EXPECT_EQ(interrupts, 1u);
    EXPECT_EQ(hostkernel::irq_owner(9), "");
}

TEST_F(HostKernelTest, FloatingBusAndRegisterWindow)
{
    EXPECT_EQ(inb(0x402), 0xFF);
    EXPECT_EQ(inl(0x48C), 0xFFFFFFFFu);
    void *reg = static_cast<char *>(mmcr_reg) + 0xC32;
    hostkernel::set_tracing(true);
    writew(0x1234, reg);
    EXPECT_EQ(readw(reg), 0x1234);
    EXPECT_EQ(hostkernel::trace().size(), 2u);
    unsigned short plain = 0;
    writew(0x5678, &plain); // memory outside the window is plain memory
    EXPECT_EQ(plain, 0x5678);
    EXPECT_EQ(hostkernel::trace().size(), 2u);
}

TEST_F(HostKernelTest, SemaphoreSerialisesThreads)
{
    struct semaphore sem;
    sema_init(&sem, 1);
    std::atomic<int> inside{0}, most{0};
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            down(&sem);
            most = std::max(most.load(), ++inside);
            std::this_thread::yield();
            --inside;
            up(&sem);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(most.load(), 1);
}

TEST_F(HostKernelTest, LogMemoryAndParameters)
{
    printk(KERN_INFO "%s : %d\n", "name", 42);
    EXPECT_EQ(hostkernel::log_text(), "<6>name : 42\n");
    void *a = kmalloc(10, GFP_KERNEL);
    void *b = vmalloc(10);
    EXPECT_EQ(hostkernel::live_allocations(), 2);
    hostkernel::fail_allocations_after(1);
    void *c = __vmalloc(10, GFP_KERNEL, PAGE_KERNEL);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(kmalloc(10, GFP_KERNEL), nullptr);
    kfree(a);
    vfree(b);
    vfree(c);
    EXPECT_EQ(hostkernel::live_allocations(), 0);

    EXPECT_EQ(hostkernel::module_param_description("test_param"), "A parameter of the test");
    EXPECT_TRUE(hostkernel::set_module_param("test_param", "0x10"));
    EXPECT_EQ(test_param, 16);
    EXPECT_FALSE(hostkernel::set_module_param("test_param", "1x"));
    EXPECT_FALSE(hostkernel::set_module_param("test_param", ""));
    EXPECT_FALSE(hostkernel::set_module_param("missing", "1"));
    EXPECT_EQ(test_param, 16);
}

} // namespace
