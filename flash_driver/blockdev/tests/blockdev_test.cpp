// The block device's own work over the simulated board: module load and unload, requests refused or
// failed by the driver, the interrupt-control calls and statistics, every control call's checks and
// copies, /proc and the dump hooks.
#include "blockdev/tests/loaded.h"

#include "bbm/bbm.h"
#include "media/media.h"
#include "nand/nand_ops.h"
#include "services/services.h"

namespace {

using blockdevtest::ControlBlock;
using blockdevtest::kDrive0;
using blockdevtest::kDrive1;
using hostkernel::Access;

constexpr uint32_t kMediaBytes = 8 * 1024 * 1024;
constexpr uint32_t kBlock = 8192;

class BlockDeviceTest : public blockdevtest::LoadedTest {};

block_device_operations other_driver = {nullptr, nullptr, nullptr};

TEST_F(BlockDeviceTest, LoadRegistersEverythingAndUnloadLeavesNothing)
{
    const long before = hostkernel::live_allocations();
    for (int round = 0; round < 2; round++) {
        load();
        EXPECT_EQ(hostkernel::irq_owner(FD_IRQ), "NAND flash");
        EXPECT_EQ(hostkernel::blkdev_name(FD_MAJOR), "flashdisk");
        EXPECT_EQ(hostkernel::proc_mode("tso_infos"), 0644);
        EXPECT_EQ(hostkernel::proc_mode("tso_data"), 0644);
        ASSERT_EQ(hostkernel::rawsync_device(), &tso_rawsync_dev_operations);
        EXPECT_EQ(tso_rawsync_dev_operations.major, FD_MAJOR);
        EXPECT_EQ(numDrives, 1);
        ASSERT_NE(blk_size[FD_MAJOR], nullptr);
        EXPECT_EQ(blk_size[FD_MAJOR][FD_MINOR_BASE], static_cast<int>(extndMediaInfo[0].ulMediaSize / 1024));
        EXPECT_GT(extndMediaInfo[0].ulMediaSize, kMediaBytes * 9 / 10);
        EXPECT_EQ(blk_size[FD_MAJOR][FD_MINOR_BASE + 1], 0);
        EXPECT_EQ(blksize_size[FD_MAJOR][FD_MINOR_BASE], 512);
        EXPECT_EQ(hardsect_size[FD_MAJOR][FD_MINOR_BASE], 512);
        EXPECT_EQ(read_ahead[FD_MAJOR], 16);

        unload();
        EXPECT_EQ(hostkernel::irq_owner(FD_IRQ), "");
        EXPECT_EQ(hostkernel::blkdev_name(FD_MAJOR), "");
        EXPECT_FALSE(hostkernel::proc_exists("tso_infos"));
        EXPECT_FALSE(hostkernel::proc_exists("tso_data"));
        EXPECT_EQ(hostkernel::rawsync_device(), nullptr);
        EXPECT_EQ(blk_size[FD_MAJOR], nullptr);
        EXPECT_EQ(read_ahead[FD_MAJOR], 0);
        EXPECT_EQ(hostkernel::buffer_log(), "invalidate 31:16\n");
        EXPECT_EQ(hostkernel::live_allocations(), before);
        SetUp();
    }
}

TEST_F(BlockDeviceTest, LoadFailuresUndoEverything)
{
    struct Case {
        const char *name;
        std::function<void()> arrange;
        int result;
        const char *log;
    } cases[] = {
        {"irq taken", [] { request_irq(FD_IRQ, intr_nand_handler, 0, "other", &other_driver); }, -16,
         "Flash Driver cannot get IRQ 9 (-16)\n"},
        {"first proc entry", [] { hostkernel::fail_allocations_after(0); }, -1,
         "<4>tso: cannot create tso proc entry\n"},
        {"second proc entry", [] { hostkernel::fail_allocations_after(1); }, -1,
         "<4>[Flash NAND proc] Cannot create tso proc entry\n"},
        {"major taken", [] { register_blkdev(FD_MAJOR, "other", &other_driver); }, -16,
         "TESSARO: Could not get major 31\n"},
        {"no chip", [this] { board->remove_chip(0); }, -19, "TESSARO: no drives available\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.arrange();
        const long before = hostkernel::live_allocations();
        EXPECT_EQ(init_module(), c.result);
        hostkernel::fail_allocations_after(-1);
        EXPECT_NE(hostkernel::log_text().find(c.log), std::string::npos) << hostkernel::log_text();
        EXPECT_FALSE(hostkernel::proc_exists("tso_infos"));
        EXPECT_FALSE(hostkernel::proc_exists("tso_data"));
        EXPECT_NE(hostkernel::irq_owner(FD_IRQ), "NAND flash");
        EXPECT_NE(hostkernel::blkdev_name(FD_MAJOR), "flashdisk");
        EXPECT_EQ(hostkernel::rawsync_device(), nullptr);
        EXPECT_EQ(blk_size[FD_MAJOR], nullptr);
        vbfreset();
        EXPECT_EQ(hostkernel::live_allocations(), before);
    }
}

TEST_F(BlockDeviceTest, OpenAndRelease)
{
    load();
    EXPECT_EQ(hostkernel::blkdev_open(kDrive0), 0);
    EXPECT_EQ(hostkernel::blkdev_open(kDrive1), FD_ENXIO);
    EXPECT_EQ(hostkernel::blkdev_open(MKDEV(FD_MAJOR, 15)), FD_ENXIO);
    EXPECT_EQ(fd_open(nullptr, nullptr), FD_ENXIO);
    EXPECT_EQ(hostkernel::blkdev_release(kDrive0), 0);
    EXPECT_EQ(hostkernel::buffer_log(), "fsync 31:16\ninvalidate 31:16\n");
}

TEST_F(BlockDeviceTest, RequestsTheDriverRefuses)
{
    load();
    struct Case {
        const char *name;
        kdev_t dev;
        int command;
        unsigned long sectors, segment;
        uint16_t status;
        const char *log;
    } cases[] = {
        {"no such drive", kDrive1, READ, 8, 8, 0x8000, "TESSARO: invalid drive number\n"},
        {"31-sector segment", kDrive0, WRITE, 31, 31, 0x8000, "TESSARO: Invalid I/O request\n"},
        {"busy media", kDrive0, READ, 8, 8, 0x0800, "TESSARO: OEM layer busy 0x800\n"},
        {"unknown command", kDrive0, 2, 8, 8, 0x8000, "TESSARO: I/O cmd=UNKNOW!!!\n"},
        {"unmounted read", kDrive0, READ, 8, 8, 0x8000, "TESSARO: read failure start=0x00000200 length=4096\n"},
        {"unmounted write", kDrive0, WRITE, 8, 8, 0x8000, "TESSARO: write failure (start=0x00000200,length=4096)\n"},
    };
    std::vector<uint8_t> data(64 * 512, 0x5A);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        hostkernel::clear_log();
        extndMediaInfo[0].uStatus = c.status;
        EXPECT_EQ(hostkernel::block_io(c.dev, c.command, 1, data.data(), c.sectors, c.segment), FD_EIO);
        EXPECT_NE(hostkernel::log_text().find(c.log), std::string::npos) << hostkernel::log_text();
        EXPECT_NE(hostkernel::log_text().find("end_request: I/O error"), std::string::npos);
    }
    // Beyond the drive's size the block layer ends the request before the driver sees it.
    hostkernel::clear_log();
    const unsigned long end = static_cast<unsigned long>(blk_size[FD_MAJOR][FD_MINOR_BASE]) * 2;
    EXPECT_EQ(hostkernel::block_io(kDrive0, READ, end - 4, data.data(), 8), FD_EIO);
    EXPECT_EQ(hostkernel::log_text(), "attempt to access beyond end of device\n");
}

TEST_F(BlockDeviceTest, RequestFunctionBracketsSegmentsAndCountsThem)
{
    load();
    std::vector<uint8_t> data(16 * 512, 0);
    hostkernel::set_tracing(true);
    hostkernel::request_reschedule();
    auto first = hostkernel::queue_block_io(kDrive0, READ, 0, data.data(), 8);
    auto second = hostkernel::queue_block_io(kDrive0, READ, 64, data.data(), 8);
    auto third = hostkernel::queue_block_io(kDrive0, WRITE, 128, data.data(), 16);
    hostkernel::run_block_queue(FD_MAJOR);
    EXPECT_TRUE(first->complete && second->complete && third->complete);
    EXPECT_EQ(third->segments_uptodate.size(), 2u);
    EXPECT_EQ(current->need_resched, 0); // the request function gave the processor up

    std::vector<uint32_t> controls;
    for (const hostkernel::TraceEntry &entry : hostkernel::trace())
        if (entry.access == Access::IrqControl)
            controls.push_back(entry.where);
    EXPECT_EQ(controls, (std::vector<uint32_t>{3, 4, 5, 4, 5, 4, 5, 4, 5}));
    EXPECT_TRUE(hostkernel::interrupts_enabled());
    hostkernel::set_tracing(false);

    hostkernel::clear_log();
    std::string text;
    ASSERT_GT(hostkernel::proc_read("tso_infos", text), 0);
    EXPECT_EQ(text, "\nnumber of grouped requests:\n"
                    "00000001 chunks  >= 4 reqs\n"
                    "\n\tnumber of grouped WRITE requests:\n"
                    "\t00000001 write chunks  >= 2 reqs\n"
                    "\n\tnumber of grouped READ requests:\n"
                    "\t00000001 read chunks  >= 2 reqs\n"
                    "\nWRITE request sizes:\n"
                    "00000002 WR reqs for size >= 4096\n"
                    "\nREAD request sizes:\n"
                    "00000002 RD reqs for size >= 4096\n");
    EXPECT_EQ(hostkernel::log_text(), "For flash device : 0\n"
                                      "\tManufacturer       : 0xec\n"
                                      "\tDevice code        : 0xe6\n"
                                      "\tFourth  byte       : 0x15\n");
    EXPECT_EQ(hostkernel::module_use_count(), 0);
}

TEST_F(BlockDeviceTest, ControlCallsRefuseBadCallsAndBadMemory)
{
    load();
    struct Case {
        const char *name;
        unsigned command;
        std::function<void(ControlBlock &)> fill;
        int result;
    } cases[] = {
        {"not a flash call", 0x1234, nullptr, FD_EINVAL},
        {"type F below 0x30", 0x4620, nullptr, FD_EINVAL},
        {"type F above 0xF0", 0x46F1, nullptr, FD_EINVAL},
        {"unknown type F", 0x4634, nullptr, FD_ENOTTY},
        {"read above 16 bits", FD_IOCTL_READ, [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 0x10000); }, FD_EINVAL},
        {"write above 16 bits", FD_IOCTL_WRITE, [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 0x10000); },
         FD_EINVAL},
        {"raw read above 16 bits", FD_IOCTL_RAW_READ, [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 0x10000); },
         FD_EINVAL},
        {"raw write above 16 bits", FD_IOCTL_RAW_WRITE,
         [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 0x10000); }, FD_EINVAL},
        {"interface above 16 bits", FD_IOCTL_INTERFACE,
         [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 0x10000); }, FD_EINVAL},
        {"read past the caller's block", FD_IOCTL_RAW_READ, [](ControlBlock &b) { b.set<uint32_t>(CB_LENGTH, 512); },
         FD_EFAULT},
        {"media drive outside the table", FD_IOCTL_OEM_DRIVE, [](ControlBlock &b) { b.set<uint16_t>(CB_SELECT, 2); },
         FD_EINVAL},
        {"layer drive outside the table", FD_IOCTL_VBF_DRIVE, [](ControlBlock &b) { b.set<uint16_t>(CB_SELECT, 2); },
         FD_EINVAL},
        {"erase of half a block", FD_IOCTL_ERASE,
         [](ControlBlock &b) {
             b.set<uint32_t>(CB_START, 4 * kBlock);
             b.set<uint32_t>(CB_LENGTH, kBlock / 2);
         },
         FD_EIO},
        {"format with a 30% cushion", FD_IOCTL_FORMAT,
         [](ControlBlock &b) {
             for (unsigned offset : {CB_START, CB_LENGTH, CB_FOURTH})
                 b.set<uint32_t>(offset, VBF_DEFAULT);
             b.set<uint32_t>(CB_THIRD, 30);
         },
         FD_EFAULT},
        {"discard wrapping past 4 GB", FD_IOCTL_DISCARD,
         [](ControlBlock &b) {
             b.set<uint32_t>(CB_START, 0xFFFFFE00);
             b.set<uint32_t>(CB_LENGTH, 0x400);
         },
         FD_EINVAL},
        {"discard range wrapping past 4 GB", FD_IOCTL_DISCARD_USER,
         [](ControlBlock &b) {
             b.set<uint32_t>(0, 0xFFFFFE00);
             b.set<uint32_t>(4, 0x400);
         },
         FD_EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ControlBlock block;
        if (c.fill)
            c.fill(block);
        EXPECT_EQ(ioctl(c.command, block), c.result);
    }
    EXPECT_NE(hostkernel::log_text().find("TESSARO : ioctl - unknown command nbr 4634\n"), std::string::npos);

    // The device must name a drive of this load; a kernel caller's discard names it by its file system.
    ControlBlock block;
    EXPECT_EQ(ioctl(FD_IOCTL_IDENTIFY, block, kDrive1), FD_EINVAL);
    EXPECT_EQ(fd_ioctl(nullptr, nullptr, FD_IOCTL_IDENTIFY, reinterpret_cast<unsigned long>(block.pointer())),
              FD_EINVAL);
    struct inode none = {0};
    EXPECT_EQ(fd_ioctl(&none, nullptr, FD_IOCTL_IDENTIFY, reinterpret_cast<unsigned long>(block.pointer())),
              FD_EINVAL);
    uint32_t range[2] = {0, 512};
    struct super_block mounted = {kDrive0}, elsewhere = {MKDEV(3, FD_MINOR_BASE)};
    EXPECT_EQ(fd_ioctl(nullptr, nullptr, FD_IOCTL_DISCARD_KERNEL, reinterpret_cast<unsigned long>(range)), FD_EINVAL);
    EXPECT_EQ(fd_ioctl(reinterpret_cast<struct inode *>(&elsewhere), nullptr, FD_IOCTL_DISCARD_KERNEL,
                       reinterpret_cast<unsigned long>(range)),
              FD_EINVAL);
    // The drive is taken; its translation layer is not mounted, so nothing is discarded, and that is said.
    EXPECT_EQ(fd_ioctl(reinterpret_cast<struct inode *>(&mounted), nullptr, FD_IOCTL_DISCARD_KERNEL,
                       reinterpret_cast<unsigned long>(range)),
              FD_EIO);
    // The same range from a process is copied through the user-copy service: kernel memory faults.
    EXPECT_EQ(hostkernel::blkdev_ioctl(kDrive0, FD_IOCTL_DISCARD_USER, range), FD_EFAULT);
    EXPECT_EQ(hostkernel::blkdev_ioctl(kDrive0, FD_IOCTL_CLIENT_SIZE, range), FD_EFAULT);
}

TEST_F(BlockDeviceTest, ControlCallsOfTheMediaLayer)
{
    load();
    ControlBlock block(512);
    ASSERT_EQ(ioctl(FD_IOCTL_IDENTIFY, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_WORD0), 0x3322);
    EXPECT_EQ(block.get<uint16_t>(CB_OUT), 0x0400);

    ASSERT_EQ(ioctl(FD_IOCTL_OEM_STATUS, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_OUT), 0x8000);

    std::memset(block.data() - CB_DATA + CB_OUT, 0xAA, CB_MEDIA_INFO_SIZE);
    ASSERT_EQ(ioctl(FD_IOCTL_MEDIA_INFO, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_OUT + 0), 0xC004);
    EXPECT_EQ(block.get<uint32_t>(CB_OUT + 4), extndMediaInfo[0].ulMediaSize);
    EXPECT_EQ(block.get<uint32_t>(CB_OUT + 8), kBlock);
    EXPECT_EQ(block.get<uint16_t>(CB_OUT + 12), 0);
    EXPECT_EQ(block.get<uint32_t>(CB_OUT + 16), kMediaBytes);
    EXPECT_EQ(block.get<uint8_t>(CB_OUT + 20), 0xEC);
    EXPECT_EQ(block.get<uint8_t>(CB_OUT + 21), 0xE6);
    for (unsigned offset = 23; offset < CB_MEDIA_INFO_SIZE; offset++)
        EXPECT_EQ(block.get<uint8_t>(CB_OUT + offset), 0) << offset;

    // A sector with its code written raw, read back raw, its spare holding the code, then erased.
    const uint32_t address = 10 * kBlock;
    std::memset(block.data(), 0xA5, 512);
    block.data()[37] = 0x01;
    const std::vector<uint8_t> written(block.data(), block.data() + 512);
    block.set<uint32_t>(CB_START, address);
    block.set<uint32_t>(CB_LENGTH, 512);
    block.set<uint16_t>(CB_SELECT, ACCESS_TYPE_ECC);
    ASSERT_EQ(ioctl(FD_IOCTL_RAW_WRITE, block), 0);
    std::memset(block.data(), 0, 512);
    ASSERT_EQ(ioctl(FD_IOCTL_RAW_READ, block), 0);
    EXPECT_EQ(std::vector<uint8_t>(block.data(), block.data() + 512), written);
    block.set<uint32_t>(CB_LENGTH, 16);
    block.set<uint16_t>(CB_SELECT, ACCESS_TYPE_SPARE);
    ASSERT_EQ(ioctl(FD_IOCTL_RAW_READ, block), 0);
    EXPECT_NE(std::vector<uint8_t>(block.data() + 12, block.data() + 15), std::vector<uint8_t>(3, 0xFF));
    block.set<uint32_t>(CB_LENGTH, kBlock);
    ASSERT_EQ(ioctl(FD_IOCTL_ERASE, block), 0);
    block.set<uint32_t>(CB_LENGTH, 512);
    block.set<uint16_t>(CB_SELECT, ACCESS_TYPE_DATA);
    ASSERT_EQ(ioctl(FD_IOCTL_RAW_READ, block), 0);
    EXPECT_EQ(std::vector<uint8_t>(block.data(), block.data() + 512), std::vector<uint8_t>(512, 0xFF));

    block.set<uint32_t>(CB_VALUE, 0);
    ASSERT_EQ(ioctl(FD_IOCTL_OEM_INIT, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_SELECT), 1);
    block.set<uint16_t>(CB_SELECT, 0xAAAA);
    ASSERT_EQ(ioctl(FD_IOCTL_POOL_SIZE, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_SELECT), 0);

    ASSERT_EQ(ioctl(FD_IOCTL_BBM_STATUS, block), 0);
    EXPECT_EQ(block.get<uint32_t>(CB_DATA), kMediaBytes);
    EXPECT_EQ(block.get<uint32_t>(CB_DATA + 12), kMediaBytes);

    std::memset(block.data(), 0xAA, 64);
    block.set<uint32_t>(CB_LENGTH, 64);
    ASSERT_EQ(ioctl(FD_IOCTL_INTERFACE, block), 0);
    EXPECT_EQ(std::vector<uint8_t>(block.data(), block.data() + 64), std::vector<uint8_t>(64, 0));

    for (unsigned command : {FD_IOCTL_OEM_MOUNT, FD_IOCTL_OEM_UNMOUNT, FD_IOCTL_POWER_DOWN, FD_IOCTL_CHANGED,
                             FD_IOCTL_OEM_UNINIT, FD_IOCTL_VBF_INIT})
        EXPECT_EQ(ioctl(command, block), 0) << std::hex << command;
}

TEST_F(BlockDeviceTest, ControlCallsOnAnUnformattedDrive)
{
    load();
    ControlBlock block(64);
    block.set<uint32_t>(CB_OUT - CB_DATA + CB_DATA, 0);
    struct hd_geometry geometry = {0xAA, 0xAA, 0xAAAA, 77};
    {
        hostkernel::UserMemory user(&geometry, sizeof geometry);
        ASSERT_EQ(hostkernel::blkdev_ioctl(kDrive0, HDIO_GETGEO, &geometry), 0);
    }
    EXPECT_EQ(geometry.heads, 2);
    EXPECT_EQ(geometry.sectors, 16);
    EXPECT_EQ(geometry.cylinders, 0);
    EXPECT_EQ(geometry.start, 77u);

    EXPECT_EQ(ioctl(FD_IOCTL_MOUNT, block), 0);
    EXPECT_EQ(blk_size[FD_MAJOR][FD_MINOR_BASE], 0);
    EXPECT_EQ(ioctl(FD_IOCTL_VBF_MOUNT, block), FD_ESRMNT);
    EXPECT_EQ(ioctl(FD_IOCTL_COLLECT, block), FD_ENOSPC);
    EXPECT_EQ(ioctl(FD_IOCTL_REGION, block), FD_EIO);
    block.set<uint32_t>(CB_OUT, 0xAAAAAAAA);
    ASSERT_EQ(ioctl(FD_IOCTL_CLIENT_SIZE, block), 0);
    EXPECT_EQ(block.get<uint32_t>(CB_OUT), 0u);
    ASSERT_EQ(ioctl(FD_IOCTL_VBF_STATUS, block), 0);
    EXPECT_EQ(block.get<uint16_t>(CB_OUT), 1);
    hostkernel::clear_log();
    EXPECT_EQ(ioctl(FD_IOCTL_USAGE, block), 3);
    EXPECT_EQ(ioctl(FD_IOCTL_ERASE_COUNTS, block), 3);
    EXPECT_EQ(hostkernel::log_text(), "Media Info Usage Failed\nMedia Info Erase Failed\n");
}

TEST_F(BlockDeviceTest, ProcDataSwitches)
{
    load();
    struct Case {
        std::string text;
        const char *log;
    } cases[] = {
        {"BBM\n", "<4>tso_write_proc: should be echo [ECCHasCorrectedData=x|ECCVBFHasCorrectedData=@Hex|BBMFormat]\n"},
        {"ECCHasCorrectedData=0x10\n", "<6>tso_write_proc:Set uProcData to 16\n"},
        {"ECCVBFHasCorrectedData=1f00\n", "<6>tso_write_proc: Set gDbgECCVBF to 1f00\n"},
        {"BBMFormat\n", ""},
        {"Something else", "<4>No Value found in [Something else]\n"},
        // Only a bounded, terminated copy of a long text is looked at.
        {std::string(300, 'x'), nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        hostkernel::clear_log();
        EXPECT_EQ(hostkernel::proc_write("tso_data", c.text), static_cast<int>(c.text.size()));
        if (c.log)
            EXPECT_EQ(hostkernel::log_text(), c.log);
        else
            EXPECT_EQ(hostkernel::log_text(), "<4>No Value found in [" + std::string(80, 'x') + "]\n");
    }
    EXPECT_EQ(extndMediaInfo[0].uProcData, 16);
    EXPECT_EQ(gDbgGenECCVBFCorrectedData, 0x1f00u);
    EXPECT_EQ(gbNANDFimFormatBBM, 1);
    const char kernel_text[] = "BBMFormat\n";
    EXPECT_EQ(tso_write_proc(nullptr, kernel_text, sizeof kernel_text, nullptr), FD_EFAULT);
}

TEST_F(BlockDeviceTest, DumpHooks)
{
    load();
    rawsync_dev_operations *dump = hostkernel::rawsync_device();
    ASSERT_NE(dump, nullptr);
    int context = 0;
    struct Case {
        rawsync_data data;
        bool present;
        int result;
        const char *condition;
    } cases[] = {
        {{kDrive0, &context}, false, 1, "rawsync_data"},
        {{kDrive0, nullptr}, true, 2, "hook"},
        {{MKDEV(0, FD_MINOR_BASE), &context}, true, 3, "MAJOR(rawsync_data->rawsync_dev)"},
        {{kDrive1, &context}, true, 3, "MINOR(rawsync_data->rawsync_dev) - 16 < numDrives"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.condition);
        hostkernel::clear_log();
        EXPECT_EQ(dump->init(c.present ? &c.data : nullptr), c.result);
        const std::string expected = std::string("<1>RAWSYNC: assertion (") + c.condition + ") failed at line ";
        EXPECT_EQ(hostkernel::log_text().rfind(expected, 0), 0u) << hostkernel::log_text();
        EXPECT_NE(hostkernel::log_text().find(" of flashd in tso_dump_init\n"), std::string::npos);
    }
    uint8_t sector[512] = {};
    EXPECT_EQ(dump->write(nullptr, 0, 512, sector), 1);
    EXPECT_EQ(dump->end(), 0);
    EXPECT_EQ(flash_mutex.count, 1);

    // A dump that finds the media halfway through an access takes it as idle and changed.
    rawsync_data data = {kDrive0, &context};
    extndMediaInfo[0].uStatus = 0x0800;
    const uint64_t start = hostkernel::now_us();
    ASSERT_EQ(dump->init(&data), 0);
    EXPECT_GE(hostkernel::now_us() - start, 8000u);
    EXPECT_EQ(flash_mutex.count, 0);
    EXPECT_EQ(extndMediaInfo[0].uStatus & FD_BUSY_MASK, 0);
    EXPECT_EQ(extndMediaInfo[0].bChanged, 1);
    EXPECT_EQ(dump->write(&data, 0, 512, sector), 1); // the drive is not mounted
    EXPECT_EQ(dump->end(), 0);
    EXPECT_EQ(flash_mutex.count, 1);
}

TEST_F(BlockDeviceTest, ReadyInterruptSetsTheFlagAndCounts)
{
    load();
    NAND_READY = 0;
    const uint32_t before = cnt_intr_ready;
    hostkernel::raise_irq(FD_IRQ);
    EXPECT_EQ(NAND_READY, 1);
    EXPECT_EQ(cnt_intr_ready, before + 1);
}

} // namespace
