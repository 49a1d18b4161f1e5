// One simulated NAND flash chip: identification, page register, command/address/data cycles, busy
// time on the virtual clock, programming that only clears bits, erase to 0xFF, and its faults.
#ifndef TESSARO_NANDSIM_CHIP_H
#define TESSARO_NANDSIM_CHIP_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace nandsim {

struct ChipGeometry {
    uint8_t id[4];           // maker, device, third, fourth
    uint32_t page_size;      // data bytes per page
    uint32_t spare_size;     // spare bytes per page
    uint32_t pages_per_block;
    uint32_t blocks;
    unsigned column_cycles;  // 1 on small pages, 2 on large pages
    unsigned row_cycles;
    bool large_page() const { return page_size > 512; }
    uint32_t page_bytes() const { return page_size + spare_size; }
    uint32_t pages() const { return pages_per_block * blocks; }
};

// The chip that answers with this device byte (and fourth identification byte), as the chips of the
// driver's table are built. Any other device byte gives a small 2 MB chip that answers with it.
ChipGeometry chip_geometry(uint8_t device, uint8_t fourth = 0x15, uint8_t maker = 0xEC);

// Busy times of the chip's operations, in microseconds of virtual time.
struct Timing {
    uint32_t reset_us = 5;
    uint32_t read_us = 12;
    uint32_t program_us = 200;
    uint32_t erase_us = 2000;
};

struct StuckBit {
    uint32_t page;
    uint32_t column; // 0 to page + spare - 1
    uint8_t bit;
    bool value;
    bool operator<(const StuckBit &other) const;
};

enum class CycleKind { Command, Address, DataIn, DataOut };

class Chip {
public:
    explicit Chip(const ChipGeometry &geometry);

    const ChipGeometry &geometry() const { return geometry_; }
    Timing timing;
    // Sequential reading goes on from a block's last page into the next block (with its busy time).
    bool reads_across_blocks = true;

    // Bus cycles, with the control lines already decoded.
    void command(uint8_t value);
    void address(uint8_t value);
    void data_in(uint8_t value);
    uint8_t data_out();

    bool busy() const { return busy_; }
    // The chip's ready line: low while busy and after a swallowed ready edge, until the next busy time.
    bool ready_line() const { return !busy_ && !edge_lost_; }
    uint8_t status() const;
    // Called at the end of every busy time (the ready edge).
    std::function<void()> on_ready;
    // Called when a program or erase is confirmed; returns false to tear it (power cut) and set how
    // much of it happens.
    std::function<bool(double &done)> before_change;
    bool powered = true;

    // Storage access for tests and images (page data and spare as one run of page_bytes()).
    std::vector<uint8_t> read_page(uint32_t page) const;
    void write_page_raw(uint32_t page, const std::vector<uint8_t> &bytes);
    bool block_blank(uint32_t block) const;
    const std::vector<uint8_t> &block_bytes(uint32_t block) const;
    void set_block_bytes(uint32_t block, std::vector<uint8_t> bytes);
    void flip_bit(uint32_t page, uint32_t column, uint8_t bit);

    // Faults.
    void mark_factory_bad(uint32_t block);
    const std::set<uint32_t> &factory_bad() const { return factory_bad_; }
    std::set<uint32_t> failing_program_blocks;
    std::set<uint32_t> failing_erase_blocks;
    // Blocks whose next programs fail (this many of them, nothing programmed); later ones succeed.
    std::map<uint32_t, unsigned> transient_program_failures;
    // How a torn program or erase leaves its page or block: a prefix of it done (the default), or
    // each bit it would change changed with the probability `done`, drawn from tear_seed.
    bool tear_random_bits = false;
    uint32_t tear_seed = 1;
    // Called once a torn program or erase has left its page or block: a test may stop the driver
    // there, as the power cut stops the processor too.
    std::function<void()> after_tear;
    void add_stuck_bit(const StuckBit &stuck);
    // Ready edges still to be swallowed (the chip gets ready, the signal never comes).
    unsigned lose_ready_edges = 0;
    // While set, an operation that makes the chip busy never ends.
    bool hang = false;

    unsigned programs = 0;
    unsigned erases = 0;

private:
    enum class Phase { Idle, ReadAddress, ProgramAddress, ProgramData, EraseAddress, RandomAddress, IdAddress };
    enum class Output { None, Data, Status, Id };

    uint32_t bytes_per_block() const { return geometry_.pages_per_block * geometry_.page_bytes(); }
    uint32_t decode_column() const;
    uint32_t decode_row(size_t first) const;
    void go_busy(uint32_t duration_us);
    void finish();
    void load_page(uint32_t row);
    void program();
    void cut_short(bool whole);
    void erase();
    void apply_stuck_bits(uint32_t block);
    std::vector<uint8_t> &block_storage(uint32_t block);

    ChipGeometry geometry_;
    std::vector<std::vector<uint8_t>> blocks_; // empty: erased
    std::set<uint32_t> factory_bad_;
    std::set<StuckBit> stuck_bits_;

    Phase phase_ = Phase::Idle;
    Output output_ = Output::None;
    bool spare_area_ = false; // small pages: 0x50 points reads and programs at the spare
    std::vector<uint8_t> address_;
    std::vector<uint8_t> page_register_;
    uint32_t row_ = 0;
    uint32_t column_ = 0;
    unsigned id_index_ = 0;
    bool busy_ = false;
    bool failed_ = false;
    bool edge_lost_ = false;
    unsigned generation_ = 0;
    // Pending ends of busy times outlive a removed chip; they check this first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace nandsim

#endif
