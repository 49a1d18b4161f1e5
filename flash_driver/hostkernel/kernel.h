// The Linux 2.4 kernel services the driver calls, as a small host-side layer: kernel log, memory,
// port and register I/O, interrupts, a virtual clock with jiffies, wait queues, semaphores and module
// parameters. Only what the driver uses is here; the host-side controls for tests are in host.h.
#ifndef TESSARO_HOSTKERNEL_KERNEL_H
#define TESSARO_HOSTKERNEL_KERNEL_H

#include <sys/time.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

// Kernel log.
#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Memory.
enum : unsigned int {
    __GFP_WAIT = 0x01,
    __GFP_HIGH = 0x02,
    __GFP_IO = 0x04,
    __GFP_HIGHMEM = 0x08,
    __GFP_FS = 0x10,
    GFP_KERNEL = __GFP_WAIT | __GFP_IO | __GFP_FS,
};
struct pgprot_t {
    unsigned long pgprot;
};
#define pgprot_val(x) ((x).pgprot)
#define __pgprot(x) (pgprot_t{x})
enum : unsigned long {
    _PAGE_PRESENT = 0x001,
    _PAGE_RW = 0x002,
    _PAGE_ACCESSED = 0x020,
    _PAGE_DIRTY = 0x040,
    _PAGE_GLOBAL = 0x100,
};
#define PAGE_KERNEL __pgprot(_PAGE_PRESENT | _PAGE_RW | _PAGE_DIRTY | _PAGE_ACCESSED)
extern int cpu_has_pge;

void *kmalloc(size_t size, unsigned int flags);
void kfree(const void *address);
void *__vmalloc(unsigned long size, unsigned int gfp_mask, pgprot_t prot);
void *vmalloc(unsigned long size);
void vfree(void *address);

// Port I/O and memory-mapped registers.
unsigned char inb(unsigned short port);
void outb(unsigned char value, unsigned short port);
unsigned int inl(unsigned short port);
void outl(unsigned int value, unsigned short port);
unsigned short readw(const volatile void *address);
void writew(unsigned short value, volatile void *address);

// Interrupts.
struct pt_regs;
#define SA_INTERRUPT 0x20000000UL
typedef void (*irq_handler_t)(int irq, void *dev_id, struct pt_regs *regs);
int request_irq(unsigned int irq, irq_handler_t handler, unsigned long flags, const char *name, void *dev_id);
void free_irq(unsigned int irq, void *dev_id);

// Time: HZ ticks of jiffies and the time of day, both read from the virtual clock.
#define HZ 100
unsigned long hostkernel_jiffies();
#define jiffies (hostkernel_jiffies())
void do_gettimeofday(struct timeval *tv);

// Tasks and wait queues: one task, the caller, which sleeps in virtual time.
enum : long {
    TASK_RUNNING = 0,
    TASK_INTERRUPTIBLE = 1,
    TASK_UNINTERRUPTIBLE = 2,
};
#define MAX_SCHEDULE_TIMEOUT 0x7FFFFFFFL
struct task_struct {
    volatile long state;
    volatile long need_resched; // the scheduler wants the processor back
};
extern struct task_struct *current;
#define set_current_state(s) (current->state = (s))

struct wait_queue_t {
    struct task_struct *task;
};
#define DECLARE_WAITQUEUE(name, tsk) struct wait_queue_t name = {tsk}
struct wait_queue_head_t {
    std::vector<wait_queue_t *> waiters;
};
void init_waitqueue_head(wait_queue_head_t *queue);
void add_wait_queue(wait_queue_head_t *queue, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *queue, wait_queue_t *wait);
void wake_up(wait_queue_head_t *queue);
signed long schedule_timeout(signed long timeout);
// Busy waits of milliseconds, on the virtual clock.
void mdelay(unsigned long ms);

// Semaphores.
struct semaphore {
    std::mutex lock;
    std::condition_variable freed;
    int count = 0;
};
void sema_init(struct semaphore *sem, int value);
void down(struct semaphore *sem);
void up(struct semaphore *sem);

// Copies between the kernel and the calling process: the number of bytes that could not be copied
// (the whole count when the caller's range is not the caller's memory).
unsigned long copy_to_user(void *to, const void *from, unsigned long count);
unsigned long copy_from_user(void *to, const void *from, unsigned long count);

unsigned long simple_strtoul(const char *text, char **end, unsigned int base);
[[noreturn]] void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// /proc entries with the read and write handlers of 2.4.
#define PAGE_SIZE 4096UL
struct file;
typedef int(read_proc_t)(char *page, char **start, long offset, int count, int *eof, void *data);
typedef int(write_proc_t)(struct file *file, const char *buffer, unsigned long count, void *data);
struct proc_dir_entry {
    const char *name;
    unsigned short mode;
    read_proc_t *read_proc;
    write_proc_t *write_proc;
    void *data;
};
struct proc_dir_entry *create_proc_entry(const char *name, unsigned short mode, struct proc_dir_entry *parent);
void remove_proc_entry(const char *name, struct proc_dir_entry *parent);

// The module's use count.
void hostkernel_module_use(int change);
#define MOD_INC_USE_COUNT hostkernel_module_use(1)
#define MOD_DEC_USE_COUNT hostkernel_module_use(-1)

// Module parameters: registered by name so that the module loader (a test) can set them.
namespace hostkernel {
struct ModuleParam {
    ModuleParam(const char *name, const char *type, int *value);
};
struct ModuleParamDesc {
    ModuleParamDesc(const char *name, const char *description);
};
} // namespace hostkernel
#define MODULE_PARM(var, type) static hostkernel::ModuleParam hostkernel_param_##var(#var, type, &var)
#define MODULE_PARM_DESC(var, desc) static hostkernel::ModuleParamDesc hostkernel_desc_##var(#var, desc)

#endif
