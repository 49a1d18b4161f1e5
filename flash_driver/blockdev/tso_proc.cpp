// The /proc entries: "tso_infos" reports the chips (to the kernel log) and the request statistics,
// "tso_data" takes the test switches of the code checks and the bad-block format.
#include "blockdev/flashd.h"

#include "media/media.h"
#include "nand/nand_ops.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kDevice256 = 0xDA;
constexpr unsigned long kShortest = 8; // a text of this length or less carries no switch
constexpr size_t kTextLimit = 80;     // what of a written text is looked at
const char kWriteName[] = "tso_write_proc";
const char kProcessedPrefix[] = "ECCHasCorrectedData=";
const char kVbfPrefix[] = "ECCVBFHasCorrectedData=";
const char kBbmFormat[] = "BBMFormat";

// Text appended to the page, cut at its end.
class Page {
public:
    Page(char *page, int count) : page_(page), room_(count > 0 ? static_cast<size_t>(count) : 0) {}
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (length_ + 1 >= room_)
            return;
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(page_ + length_, room_ - length_, format, args);
        va_end(args);
        if (written > 0)
            length_ = std::min(room_ - 1, length_ + static_cast<size_t>(written));
    }
    int length() const { return static_cast<int>(length_); }

private:
    char *page_;
    size_t room_;
    size_t length_ = 0;
};

void add_buckets(Page &page, const uint32_t *stats, const char *line)
{
    for (unsigned i = 0; i < FD_STAT_BUCKETS; i++)
        if (stats[i])
            page.add(line, static_cast<unsigned long>(stats[i]), 1u << i);
}

bool starts_with(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

int tso_read_proc(char *page, char **start, long, int count, int *eof, void *)
{
    MOD_INC_USE_COUNT;
    down(&flash_mutex);
    for (int16_t iDrive = 0; iDrive < numDrives; iDrive++) {
        oemsetcurrentdrive(static_cast<uint16_t>(iDrive));
        OemMediaInfo info;
        oemmediainfo(&info);
        if (info.ulMediaSize == 0) {
            printk("TESSARO: no media in drive %d\n", iDrive);
            continue;
        }
        printk("For flash device : %d\n", iDrive);
        printk("\tManufacturer       : 0x%2x\n", info.ucMakerId);
        printk("\tDevice code        : 0x%2x\n", info.ucDeviceId);
        printk("\tFourth  byte       : 0x%2x\n", info.ucIdByte4);
        if (info.ucDeviceId == kDevice256)
            printk("\tbut Real Flash size: 256kB\n");
    }
    up(&flash_mutex);

    Page text(page, count < static_cast<int>(PAGE_SIZE) ? count : static_cast<int>(PAGE_SIZE));
    text.add("\nnumber of grouped requests:\n");
    add_buckets(text, tsostats_nreq_rdwr, "%08lu chunks  >= %u reqs\n");
    text.add("\n\tnumber of grouped WRITE requests:\n");
    add_buckets(text, tsostats_nreq_wr, "\t%08lu write chunks  >= %u reqs\n");
    text.add("\n\tnumber of grouped READ requests:\n");
    add_buckets(text, tsostats_nreq_rd, "\t%08lu read chunks  >= %u reqs\n");
    text.add("\nWRITE request sizes:\n");
    add_buckets(text, tsostats_writsizes, "%08lu WR reqs for size >= %u\n");
    text.add("\nREAD request sizes:\n");
    add_buckets(text, tsostats_readsizes, "%08lu RD reqs for size >= %u\n");
    if (start)
        *start = page;
    if (eof)
        *eof = 1;
    MOD_DEC_USE_COUNT;
    return text.length();
}

int tso_write_proc(struct file *, const char *buffer, unsigned long count, void *)
{
    // The text is the writer's: copied, bounded and terminated before it is parsed or logged.
    char text[kTextLimit + 1];
    const unsigned long ulCopied = count < kTextLimit ? count : kTextLimit;
    if (copy_from_user(text, buffer, ulCopied))
        return FD_EFAULT;
    text[ulCopied] = '\0';

    if (count <= kShortest) {
        printk("<4>%s: should be echo [ECCHasCorrectedData=x|ECCVBFHasCorrectedData=@Hex|BBMFormat]\n", kWriteName);
    } else if (starts_with(text, kProcessedPrefix)) {
        lpThisMedia->uProcData =
            static_cast<uint16_t>(simple_strtoul(text + std::strlen(kProcessedPrefix), nullptr, 0));
        printk("<6>%s:Set uProcData to %d\n", kWriteName, lpThisMedia->uProcData);
    } else if (starts_with(text, kVbfPrefix)) {
        gDbgGenECCVBFCorrectedData = static_cast<uint32_t>(simple_strtoul(text + std::strlen(kVbfPrefix), nullptr, 16));
        printk("<6>%s: Set gDbgECCVBF to %x\n", kWriteName, gDbgGenECCVBFCorrectedData);
    } else if (starts_with(text, kBbmFormat)) {
        gbNANDFimFormatBBM = 1;
    } else {
        printk("<4>No Value found in [%s]\n", text);
    }
    return static_cast<int>(count);
}
