// Kernel log, memory and module parameters of the host kernel layer.
#include "hostkernel/host.h"
#include "hostkernel/internal.h"
#include "hostkernel/kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>

namespace {

std::string kernel_log;
long allocations_left = -1;
long allocations_live = 0;
int module_uses = 0;

// The calling process's memory, by start address.
std::map<uintptr_t, size_t> &user_ranges()
{
    static std::map<uintptr_t, size_t> ranges;
    return ranges;
}

bool is_user_range(const void *address, unsigned long count)
{
    auto start = reinterpret_cast<uintptr_t>(address);
    auto &ranges = user_ranges();
    auto after = ranges.upper_bound(start);
    if (after == ranges.begin())
        return false;
    auto range = std::prev(after);
    return start - range->first <= range->second && count <= range->second - (start - range->first);
}

struct Param {
    int *value = nullptr;
    std::string description;
};
std::map<std::string, Param> &params()
{
    static std::map<std::string, Param> table;
    return table;
}

void *allocate(size_t size)
{
    if (allocations_left == 0)
        return nullptr;
    if (allocations_left > 0)
        --allocations_left;
    void *address = std::malloc(size ? size : 1);
    if (address)
        ++allocations_live;
    return address;
}

void release(const void *address)
{
    if (!address)
        return;
    --allocations_live;
    std::free(const_cast<void *>(address));
}

} // namespace

int cpu_has_pge = 1;

int printk(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (length > 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), fmt, again);
        text.pop_back();
        kernel_log += text;
    }
    va_end(again);
    return length;
}

void *kmalloc(size_t size, unsigned int)
{
    return allocate(size);
}

void kfree(const void *address)
{
    release(address);
}

void *__vmalloc(unsigned long size, unsigned int, pgprot_t)
{
    return allocate(size);
}

void *vmalloc(unsigned long size)
{
    return allocate(size);
}

void vfree(void *address)
{
    release(address);
}

unsigned long copy_to_user(void *to, const void *from, unsigned long count)
{
    if (!is_user_range(to, count))
        return count;
    std::memcpy(to, from, count);
    return 0;
}

unsigned long copy_from_user(void *to, const void *from, unsigned long count)
{
    if (!is_user_range(from, count))
        return count;
    std::memcpy(to, from, count);
    return 0;
}

unsigned long simple_strtoul(const char *text, char **end, unsigned int base)
{
    return std::strtoul(text, end, static_cast<int>(base));
}

void panic(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::fputs("Kernel panic: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputs("\n", stderr);
    va_end(args);
    std::abort();
}

void hostkernel_module_use(int change)
{
    module_uses += change;
}

namespace hostkernel {

UserMemory::UserMemory(const void *address, size_t length) : address_(address)
{
    user_ranges()[reinterpret_cast<uintptr_t>(address)] = length;
}

UserMemory::~UserMemory()
{
    user_ranges().erase(reinterpret_cast<uintptr_t>(address_));
}

int module_use_count()
{
    return module_uses;
}

ModuleParam::ModuleParam(const char *name, const char *, int *value)
{
    params()[name].value = value;
}

ModuleParamDesc::ModuleParamDesc(const char *name, const char *description)
{
    params()[name].description = description;
}

std::string log_text()
{
    return kernel_log;
}

void clear_log()
{
    kernel_log.clear();
}

void fail_allocations_after(long count)
{
    allocations_left = count;
}

long live_allocations()
{
    return allocations_live;
}

bool set_module_param(const std::string &name, const std::string &value)
{
    auto found = params().find(name);
    if (found == params().end() || !found->second.value || value.empty())
        return false;
    char *end = nullptr;
    long parsed = std::strtol(value.c_str(), &end, 0);
    if (*end != '\0')
        return false;
    *found->second.value = static_cast<int>(parsed);
    return true;
}

void reset_memory_and_log()
{
    kernel_log.clear();
    allocations_left = -1;
    module_uses = 0;
    user_ranges().clear();
}

std::string module_param_description(const std::string &name)
{
    auto found = params().find(name);
    return found == params().end() ? std::string() : found->second.description;
}

} // namespace hostkernel
