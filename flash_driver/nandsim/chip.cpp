// One simulated NAND flash chip.
#include "nandsim/chip.h"

#include "hostkernel/host.h"

#include <algorithm>
#include <random>
#include <tuple>

namespace nandsim {

namespace {

constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kStatusNotProtected = 0x80;
constexpr uint8_t kStatusReady = 0x40;
constexpr uint8_t kStatusFail = 0x01;
constexpr uint32_t kSmallSpareStart = 512;
constexpr uint32_t kFactoryMarkSmall = 5; // spare byte of the maker's bad-block mark
constexpr uint32_t kFactoryMarkLarge = 0;

// Commands the chip knows.
enum : uint8_t {
    kRead = 0x00,
    kReadConfirm = 0x30,
    kReadSpare = 0x50,
    kRandomOutput = 0x05,
    kRandomOutputConfirm = 0xE0,
    kProgram = 0x80,
    kProgramConfirm = 0x10,
    kEraseSetup = 0x60,
    kEraseConfirm = 0xD0,
    kReadId = 0x90,
    kReadStatus = 0x70,
    kReset = 0xFF,
};

const std::vector<uint8_t> &blank_block(size_t bytes)
{
    static std::vector<uint8_t> blank;
    if (blank.size() != bytes)
        blank.assign(bytes, kErased);
    return blank;
}

} // namespace

bool StuckBit::operator<(const StuckBit &other) const
{
    return std::tie(page, column, bit) < std::tie(other.page, other.column, other.bit);
}

ChipGeometry chip_geometry(uint8_t device, uint8_t fourth, uint8_t maker)
{
    struct Row {
        uint8_t device;
        uint32_t megabytes;
        uint32_t block_kb;
    };
    static const Row small_chips[] = {
        {0xE5, 4, 8},   {0xE3, 4, 8},   {0x6B, 4, 8},   {0xE6, 8, 8},  {0xEC, 8, 8},
        {0x73, 16, 16}, {0x75, 32, 16}, {0x76, 64, 16},
    };
    ChipGeometry geometry{{maker, device, 0x00, fourth}, 512, 16, 16, 256, 1, 2};
    if (device == 0xF1 || device == 0xDA) {
        uint32_t megabytes = device == 0xF1 ? 128 : 256;
        geometry.page_size = 2048;
        geometry.spare_size = 64;
        geometry.pages_per_block = 64;
        geometry.blocks = megabytes * 1024 / 128;
        geometry.column_cycles = 2;
        geometry.row_cycles = device == 0xDA ? 3 : 2;
        return geometry;
    }
    for (const Row &row : small_chips) {
        if (row.device != device)
            continue;
        geometry.pages_per_block = row.block_kb * 1024 / 512;
        geometry.blocks = row.megabytes * 1024 / row.block_kb;
        geometry.row_cycles = geometry.pages() > 65536 ? 3 : 2;
    }
    return geometry;
}

Chip::Chip(const ChipGeometry &geometry) : geometry_(geometry), blocks_(geometry.blocks)
{
    page_register_.assign(geometry_.page_bytes(), kErased);
}

uint8_t Chip::status() const
{
    uint8_t value = kStatusNotProtected;
    if (!busy_)
        value |= kStatusReady;
    if (failed_)
        value |= kStatusFail;
    return value;
}

void Chip::command(uint8_t value)
{
    if (!powered)
        return;
    switch (value) {
    case kReset:
        ++generation_; // whatever was running is abandoned
        busy_ = false;
        failed_ = false;
        spare_area_ = false;
        phase_ = Phase::Idle;
        output_ = Output::None;
        go_busy(timing.reset_us);
        break;
    case kRead:
    case kReadSpare:
        spare_area_ = value == kReadSpare && !geometry_.large_page();
        phase_ = Phase::ReadAddress;
        address_.clear();
        break;
    case kReadConfirm:
        if (phase_ == Phase::ReadAddress && geometry_.large_page() &&
            address_.size() >= geometry_.column_cycles + geometry_.row_cycles) {
            column_ = decode_column();
            load_page(decode_row(geometry_.column_cycles));
            go_busy(timing.read_us);
        }
        phase_ = Phase::Idle;
        break;
    case kRandomOutput:
        phase_ = Phase::RandomAddress;
        address_.clear();
        break;
    case kRandomOutputConfirm:
        if (phase_ == Phase::RandomAddress && address_.size() >= 2) {
            column_ = decode_column();
            output_ = Output::Data;
        }
        phase_ = Phase::Idle;
        break;
    case kProgram:
        phase_ = Phase::ProgramAddress;
        address_.clear();
        page_register_.assign(geometry_.page_bytes(), kErased);
        break;
    case kProgramConfirm:
        if ((phase_ == Phase::ProgramAddress || phase_ == Phase::ProgramData) &&
            address_.size() >= geometry_.column_cycles + geometry_.row_cycles) {
            row_ = decode_row(geometry_.column_cycles);
            program();
            go_busy(timing.program_us);
        }
        phase_ = Phase::Idle;
        break;
    case kEraseSetup:
        phase_ = Phase::EraseAddress;
        address_.clear();
        break;
    case kEraseConfirm:
        if (phase_ == Phase::EraseAddress && address_.size() >= geometry_.row_cycles) {
            row_ = decode_row(0);
            erase();
            go_busy(timing.erase_us);
        }
        phase_ = Phase::Idle;
        break;
    case kReadId:
        phase_ = Phase::IdAddress;
        address_.clear();
        break;
    case kReadStatus:
        output_ = Output::Status;
        break;
    default:
        break;
    }
}

void Chip::address(uint8_t value)
{
    if (!powered)
        return;
    switch (phase_) {
    case Phase::ReadAddress:
        address_.push_back(value);
        // A small page starts loading after its last address cycle; a large page waits for 0x30.
        if (!geometry_.large_page() && address_.size() == geometry_.column_cycles + geometry_.row_cycles) {
            column_ = spare_area_ ? kSmallSpareStart + (address_[0] & 0x0F) : address_[0];
            load_page(decode_row(1));
            go_busy(timing.read_us);
            phase_ = Phase::Idle;
        }
        break;
    case Phase::ProgramAddress:
    case Phase::RandomAddress:
    case Phase::EraseAddress:
        address_.push_back(value);
        break;
    case Phase::IdAddress:
        output_ = Output::Id;
        id_index_ = 0;
        phase_ = Phase::Idle;
        break;
    default:
        break;
    }
}

void Chip::data_in(uint8_t value)
{
    if (!powered)
        return;
    if (phase_ == Phase::ProgramAddress) {
        column_ = decode_column();
        if (!geometry_.large_page() && spare_area_)
            column_ = kSmallSpareStart + (address_.empty() ? 0 : address_[0] & 0x0F);
        phase_ = Phase::ProgramData;
    }
    if (phase_ != Phase::ProgramData)
        return;
    if (column_ < page_register_.size())
        page_register_[column_++] = value;
}

uint8_t Chip::data_out()
{
    if (!powered)
        return 0x00;
    switch (output_) {
    case Output::Status:
        return status();
    case Output::Id:
        return id_index_ < 4 ? geometry_.id[id_index_++] : kErased;
    case Output::Data:
        break;
    default:
        return kErased;
    }
    if (column_ >= page_register_.size())
        return kErased;
    uint8_t value = page_register_[column_++];
    // Small pages read on into the next page, which costs another busy time.
    if (column_ == page_register_.size() && !geometry_.large_page()) {
        uint32_t next = row_ + 1;
        bool crosses_block = next % geometry_.pages_per_block == 0;
        if (next < geometry_.pages() && (!crosses_block || reads_across_blocks)) {
            load_page(next);
            column_ = spare_area_ ? kSmallSpareStart : 0;
            go_busy(timing.read_us);
        }
    }
    return value;
}

uint32_t Chip::decode_column() const
{
    if (geometry_.column_cycles == 1)
        return address_.empty() ? 0 : address_[0];
    uint32_t low = address_.size() > 0 ? address_[0] : 0;
    uint32_t high = address_.size() > 1 ? address_[1] & 0x0F : 0;
    return low | high << 8;
}

uint32_t Chip::decode_row(size_t first) const
{
    uint32_t row = 0;
    for (unsigned cycle = 0; cycle < geometry_.row_cycles && first + cycle < address_.size(); ++cycle)
        row |= static_cast<uint32_t>(address_[first + cycle]) << (8 * cycle);
    return row % geometry_.pages();
}

void Chip::go_busy(uint32_t duration_us)
{
    busy_ = true;
    edge_lost_ = false;
    unsigned generation = ++generation_;
    if (hang)
        return;
    std::weak_ptr<bool> alive = alive_;
    hostkernel::schedule_at(hostkernel::now_us() + duration_us, [this, alive, generation] {
        if (!alive.expired() && generation == generation_)
            finish();
    });
}

void Chip::finish()
{
    if (!powered || hang)
        return;
    busy_ = false;
    if (lose_ready_edges > 0) {
        --lose_ready_edges;
        edge_lost_ = true;
        return;
    }
    if (on_ready)
        on_ready();
}

void Chip::load_page(uint32_t row)
{
    row_ = row;
    page_register_ = read_page(row);
    output_ = Output::Data;
}

std::vector<uint8_t> Chip::read_page(uint32_t page) const
{
    uint32_t block = page / geometry_.pages_per_block;
    const std::vector<uint8_t> &bytes = block_bytes(block);
    auto first = bytes.begin() + (page % geometry_.pages_per_block) * geometry_.page_bytes();
    return std::vector<uint8_t>(first, first + geometry_.page_bytes());
}

const std::vector<uint8_t> &Chip::block_bytes(uint32_t block) const
{
    const std::vector<uint8_t> &bytes = blocks_.at(block);
    return bytes.empty() ? blank_block(bytes_per_block()) : bytes;
}

bool Chip::block_blank(uint32_t block) const
{
    const std::vector<uint8_t> &bytes = blocks_.at(block);
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kErased; });
}

std::vector<uint8_t> &Chip::block_storage(uint32_t block)
{
    std::vector<uint8_t> &bytes = blocks_.at(block);
    if (bytes.empty())
        bytes.assign(bytes_per_block(), kErased);
    return bytes;
}

void Chip::set_block_bytes(uint32_t block, std::vector<uint8_t> bytes)
{
    bytes.resize(bytes_per_block(), kErased);
    blocks_.at(block) = std::move(bytes);
}

void Chip::write_page_raw(uint32_t page, const std::vector<uint8_t> &bytes)
{
    uint32_t block = page / geometry_.pages_per_block;
    std::vector<uint8_t> &storage = block_storage(block);
    size_t offset = (page % geometry_.pages_per_block) * geometry_.page_bytes();
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), geometry_.page_bytes()), storage.begin() + offset);
}

void Chip::flip_bit(uint32_t page, uint32_t column, uint8_t bit)
{
    uint32_t block = page / geometry_.pages_per_block;
    size_t offset = (page % geometry_.pages_per_block) * geometry_.page_bytes() + column;
    block_storage(block).at(offset) ^= static_cast<uint8_t>(1u << bit);
}

void Chip::mark_factory_bad(uint32_t block)
{
    factory_bad_.insert(block);
    uint32_t mark = geometry_.large_page() ? kFactoryMarkLarge : kFactoryMarkSmall;
    for (uint32_t page = 0; page < 2; ++page) {
        std::vector<uint8_t> bytes = read_page(block * geometry_.pages_per_block + page);
        bytes[geometry_.page_size + mark] = 0x00;
        write_page_raw(block * geometry_.pages_per_block + page, bytes);
    }
}

void Chip::add_stuck_bit(const StuckBit &stuck)
{
    stuck_bits_.insert(stuck);
    apply_stuck_bits(stuck.page / geometry_.pages_per_block);
}

void Chip::apply_stuck_bits(uint32_t block)
{
    for (const StuckBit &stuck : stuck_bits_) {
        if (stuck.page / geometry_.pages_per_block != block)
            continue;
        size_t offset = (stuck.page % geometry_.pages_per_block) * geometry_.page_bytes() + stuck.column;
        uint8_t &byte = block_storage(block).at(offset);
        uint8_t mask = static_cast<uint8_t>(1u << stuck.bit);
        byte = stuck.value ? (byte | mask) : (byte & ~mask);
    }
}

// A cut stops the processor also when it meets an operation that fails.
void Chip::cut_short(bool whole)
{
    if (!whole && after_tear)
        after_tear();
}

void Chip::program()
{
    uint32_t block = row_ / geometry_.pages_per_block;
    ++programs;
    double done = 1.0;
    bool whole = !before_change || before_change(done);
    if (factory_bad_.count(block) || failing_program_blocks.count(block)) {
        failed_ = true;
        cut_short(whole);
        return;
    }
    auto transient = transient_program_failures.find(block);
    if (transient != transient_program_failures.end() && transient->second > 0) {
        --transient->second;
        failed_ = true;
        cut_short(whole);
        return;
    }
    failed_ = false;
    std::vector<uint8_t> &storage = block_storage(block);
    size_t offset = (row_ % geometry_.pages_per_block) * geometry_.page_bytes();
    if (!whole && tear_random_bits) {
        std::mt19937 random(tear_seed);
        std::bernoulli_distribution cleared(done);
        for (size_t i = 0; i < page_register_.size(); ++i)
            for (unsigned bit = 0; bit < 8; ++bit)
                if (!(page_register_[i] & (1u << bit)) && cleared(random))
                    storage[offset + i] &= static_cast<uint8_t>(~(1u << bit));
        apply_stuck_bits(block);
        if (after_tear)
            after_tear();
        return;
    }
    size_t count = whole ? page_register_.size() : static_cast<size_t>(page_register_.size() * done);
    for (size_t i = 0; i < count; ++i)
        storage[offset + i] &= page_register_[i];
    apply_stuck_bits(block);
    if (!whole && after_tear)
        after_tear();
}

void Chip::erase()
{
    uint32_t block = row_ / geometry_.pages_per_block;
    ++erases;
    double done = 1.0;
    bool whole = !before_change || before_change(done);
    if (factory_bad_.count(block) || failing_erase_blocks.count(block)) {
        failed_ = true;
        cut_short(whole);
        return;
    }
    failed_ = false;
    if (whole) {
        blocks_[block].clear();
    } else if (tear_random_bits) {
        std::vector<uint8_t> &storage = block_storage(block);
        std::mt19937 random(tear_seed);
        std::bernoulli_distribution set(done);
        for (uint8_t &byte : storage)
            for (unsigned bit = 0; bit < 8; ++bit)
                if (set(random))
                    byte |= static_cast<uint8_t>(1u << bit);
    } else {
        std::vector<uint8_t> &storage = block_storage(block);
        size_t pages = static_cast<size_t>(geometry_.pages_per_block * done);
        std::fill_n(storage.begin(), pages * geometry_.page_bytes(), kErased);
    }
    apply_stuck_bits(block);
    if (!whole && after_tear)
        after_tear();
}

} // namespace nandsim
