// /proc entries of the host kernel layer: created and removed by the driver, read and written by a
// process through host.h as 2.4 serves them (one page per read, the written text in the process's memory).
#include "hostkernel/host.h"
#include "hostkernel/internal.h"
#include "hostkernel/kernel.h"

#include <map>
#include <memory>
#include <vector>

namespace {

constexpr int kNoEntry = -2; // -ENOENT

struct Entry {
    std::string name;
    proc_dir_entry record;
};
std::map<std::string, std::unique_ptr<Entry>> entries;

proc_dir_entry *find(const std::string &name)
{
    auto found = entries.find(name);
    return found == entries.end() ? nullptr : &found->second->record;
}

} // namespace

struct proc_dir_entry *create_proc_entry(const char *name, unsigned short mode, struct proc_dir_entry *)
{
    if (!name || entries.count(name))
        return nullptr;
    auto made = std::make_unique<Entry>();
    made->name = name;
    made->record = {nullptr, mode, nullptr, nullptr, nullptr};
    made->record.name = made->name.c_str();
    proc_dir_entry *record = &made->record;
    // An entry costs kernel memory, so a test's allocation failures reach it too.
    void *cost = kmalloc(sizeof(proc_dir_entry), GFP_KERNEL);
    if (!cost)
        return nullptr;
    kfree(cost);
    entries[name] = std::move(made);
    return record;
}

void remove_proc_entry(const char *name, struct proc_dir_entry *)
{
    if (name)
        entries.erase(name);
}

namespace hostkernel {

bool proc_exists(const std::string &name)
{
    return find(name) != nullptr;
}

unsigned short proc_mode(const std::string &name)
{
    proc_dir_entry *entry = find(name);
    return entry ? entry->mode : 0;
}

int proc_read(const std::string &name, std::string &text)
{
    proc_dir_entry *entry = find(name);
    if (!entry || !entry->read_proc)
        return kNoEntry;
    std::vector<char> page(PAGE_SIZE, '\0');
    char *start = nullptr;
    int eof = 0;
    int length = entry->read_proc(page.data(), &start, 0, static_cast<int>(PAGE_SIZE), &eof, entry->data);
    if (length > 0)
        text.assign(start ? start : page.data(), static_cast<size_t>(length));
    else
        text.clear();
    return length;
}

int proc_write(const std::string &name, const std::string &text)
{
    proc_dir_entry *entry = find(name);
    if (!entry || !entry->write_proc)
        return kNoEntry;
    std::vector<char> buffer(text.begin(), text.end());
    UserMemory user(buffer.data(), buffer.size());
    return entry->write_proc(nullptr, buffer.data(), buffer.size(), entry->data);
}

void reset_proc()
{
    entries.clear();
}

} // namespace hostkernel
