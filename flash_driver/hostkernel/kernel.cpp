// Kernel log, memory and module parameters of the host kernel layer.
#include "hostkernel/host.h"
#include "hostkernel/internal.h"
#include "hostkernel/kernel.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

std::string kernel_log;
long allocations_left = -1;
long allocations_live = 0;

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

namespace hostkernel {

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
}

std::string module_param_description(const std::string &name)
{
    auto found = params().find(name);
    return found == params().end() ? std::string() : found->second.description;
}

} // namespace hostkernel
