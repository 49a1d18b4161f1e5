// The simulated board behind the flash ports.
#include "nandsim/board.h"

#include "hostkernel/board.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace nandsim {

namespace {

constexpr char kImageMagic[8] = {'T', 'S', 'N', 'A', 'N', 'D', '0', '1'};
constexpr uint32_t kPIIIOtherBits = 0x00400101; // bits of port 0x48C that are not the flash's
constexpr uint16_t kCorvoXmemAbsent = 0x0001;   // bit 0 of 0xC32 reads 0 when the extension answers
constexpr uint8_t kCorvoCe = 0x01, kCorvoCle = 0x02, kCorvoAle = 0x04;

void put32(std::ostream &out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.put(static_cast<char>(value >> (8 * i)));
}

bool get32(std::istream &in, uint32_t &value)
{
    unsigned char bytes[4];
    if (!in.read(reinterpret_cast<char *>(bytes), 4))
        return false;
    value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

} // namespace

Board::Board(Variant variant) : variant_(variant), piii_lines_(kPIIIOtherBits | kPIIICeInactive)
{
    switch (variant) {
    case Variant::Corvo:
        bvk_machine_id = BOARD_CORVO;
        break;
    case Variant::PIII:
        bvk_machine_id = BOARD_PIII;
        break;
    case Variant::Unknown:
        bvk_machine_id = 0x55;
        break;
    }
    hostkernel::attach_bus(this);
}

Board::~Board()
{
    hostkernel::attach_bus(nullptr);
}

Chip &Board::install_chip(unsigned select, const ChipGeometry &geometry)
{
    chips_[select] = std::make_unique<Chip>(geometry);
    attach(select);
    return *chips_[select];
}

void Board::remove_chip(unsigned select)
{
    chips_[select].reset();
}

void Board::attach(unsigned select)
{
    Chip &chip = *chips_[select];
    if (timing_set_)
        chip.timing = timing_;
    chip.powered = powered_;
    if (variant_ == Variant::PIII)
        chip.on_ready = [] { hostkernel::raise_irq(kReadyIrq); };
    chip.before_change = [this, &chip](double &done) {
        chip.tear_random_bits = cut_random_bits_;
        chip.tear_seed = cut_seed_;
        return before_change(done);
    };
}

void Board::set_timing(const Timing &timing)
{
    timing_ = timing;
    timing_set_ = true;
    for (auto &chip : chips_)
        if (chip)
            chip->timing = timing;
}

bool Board::xmem_fitted() const
{
    if (xmem_override_ >= 0)
        return xmem_override_ == 1;
    for (unsigned select = 1; select < kSelects; ++select)
        if (chips_[select])
            return true;
    return false;
}

Board::Lines Board::lines(unsigned select) const
{
    switch (variant_) {
    case Variant::PIII:
        return {!(piii_lines_ & kPIIICeInactive), (piii_lines_ & kPIIICle) != 0, (piii_lines_ & kPIIIAle) != 0};
    case Variant::Corvo:
        if (select == 0) {
            uint16_t value = registers_[kRegisterFlash / 2];
            return {!(value & kCorvoCe), (value & kCorvoCle) != 0, (value & kCorvoAle) != 0};
        }
        return {(corvo_lines_ & kCorvoCe) != 0, (corvo_lines_ & kCorvoCle) != 0, (corvo_lines_ & kCorvoAle) != 0};
    default:
        return {false, false, false};
    }
}

void Board::log(unsigned select, CycleKind kind, uint8_t value)
{
    if (logging_)
        cycles_.push_back({select, kind, value});
}

uint8_t Board::in8(uint16_t port)
{
    if (port != kPortDataIn || select_ >= kSelects || !chips_[select_] || !lines(select_).ce)
        return 0xFF;
    uint8_t value = chips_[select_]->data_out();
    log(select_, CycleKind::DataOut, value);
    return value;
}

void Board::out8(uint16_t port, uint8_t value)
{
    switch (port) {
    case kPortSelect:
        select_ = value;
        return;
    case kPortCorvoLines:
        corvo_lines_ = value;
        return;
    case kPortDataOut:
        break;
    default:
        return;
    }
    if (select_ >= kSelects || !chips_[select_])
        return;
    Lines now = lines(select_);
    if (!now.ce)
        return;
    Chip &chip = *chips_[select_];
    if (now.cle) {
        log(select_, CycleKind::Command, value);
        chip.command(value);
    } else if (now.ale) {
        log(select_, CycleKind::Address, value);
        chip.address(value);
    } else {
        log(select_, CycleKind::DataIn, value);
        chip.data_in(value);
    }
}

uint32_t Board::in32(uint16_t port)
{
    return port == kPortPIIILines ? piii_lines_ : 0xFFFFFFFFu;
}

void Board::out32(uint16_t port, uint32_t value)
{
    if (port == kPortPIIILines)
        piii_lines_ = value;
}

uint16_t Board::register_value(uint32_t offset) const
{
    return registers_[offset / 2];
}

uint16_t Board::register_read(uint32_t offset)
{
    uint16_t value = registers_[offset / 2];
    if (offset != kRegisterFlash || variant_ != Variant::Corvo)
        return value;
    value &= static_cast<uint16_t>(~(kCorvoReadyMain | kCorvoReadyXmem));
    if (chips_[0] && chips_[0]->ready_line())
        value |= kCorvoReadyMain;
    bool xmem_ready = false;
    for (unsigned select = 1; select < kSelects; ++select) {
        if (!chips_[select])
            continue;
        if (!chips_[select]->ready_line()) {
            xmem_ready = false;
            break;
        }
        xmem_ready = true;
    }
    if (xmem_ready)
        value |= kCorvoReadyXmem;
    if (xmem_fitted())
        value &= static_cast<uint16_t>(~kCorvoXmemAbsent);
    return value;
}

void Board::register_write(uint32_t offset, uint16_t value)
{
    registers_[offset / 2] = value;
}

bool Board::before_change(double &done)
{
    if (cut_countdown_ == 0)
        return true;
    if (--cut_countdown_ > 0)
        return true;
    done = cut_done_;
    powered_ = false;
    for (auto &chip : chips_)
        if (chip)
            chip->powered = false;
    return false;
}

void Board::cut_power_after(unsigned operations, double done, bool random_bits, uint32_t seed)
{
    cut_countdown_ = operations;
    cut_done_ = done;
    cut_random_bits_ = random_bits;
    cut_seed_ = seed;
}

void Board::power_on()
{
    cut_countdown_ = 0;
    powered_ = true;
    for (unsigned select = 0; select < kSelects; ++select) {
        if (!chips_[select])
            continue;
        Chip &chip = *chips_[select];
        chip.powered = true;
        chip.command(0xFF);
    }
}

bool Board::save_image(const std::string &path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(kImageMagic, sizeof kImageMagic);
    for (unsigned select = 0; select < kSelects; ++select) {
        const Chip *chip = chips_[select].get();
        out.put(static_cast<char>(chip ? 1 : 0));
        if (!chip)
            continue;
        out.write(reinterpret_cast<const char *>(chip->geometry().id), 4);
        put32(out, static_cast<uint32_t>(chip->factory_bad().size()));
        for (uint32_t block : chip->factory_bad())
            put32(out, block);
        uint32_t used = 0;
        for (uint32_t block = 0; block < chip->geometry().blocks; ++block)
            used += chip->block_blank(block) ? 0 : 1;
        put32(out, used);
        for (uint32_t block = 0; block < chip->geometry().blocks; ++block) {
            if (chip->block_blank(block))
                continue;
            put32(out, block);
            const std::vector<uint8_t> &bytes = chip->block_bytes(block);
            out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
    }
    return static_cast<bool>(out.flush());
}

bool Board::load_image(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    char magic[sizeof kImageMagic];
    if (!in.read(magic, sizeof magic) || !std::equal(magic, magic + sizeof magic, kImageMagic))
        return false;
    std::unique_ptr<Chip> loaded[kSelects];
    for (unsigned select = 0; select < kSelects; ++select) {
        int present = in.get();
        if (present != 0 && present != 1)
            return false;
        if (!present)
            continue;
        uint8_t id[4];
        if (!in.read(reinterpret_cast<char *>(id), 4))
            return false;
        auto chip = std::make_unique<Chip>(chip_geometry(id[1], id[3], id[0]));
        const ChipGeometry &geometry = chip->geometry();
        uint32_t count;
        if (!get32(in, count) || count > geometry.blocks)
            return false;
        std::vector<uint32_t> bad(count);
        for (uint32_t &block : bad)
            if (!get32(in, block) || block >= geometry.blocks)
                return false;
        if (!get32(in, count) || count > geometry.blocks)
            return false;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t block;
            if (!get32(in, block) || block >= geometry.blocks)
                return false;
            std::vector<uint8_t> bytes(geometry.pages_per_block * geometry.page_bytes());
            if (!in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
                return false;
            chip->set_block_bytes(block, std::move(bytes));
        }
        for (uint32_t block : bad)
            chip->mark_factory_bad(block);
        loaded[select] = std::move(chip);
    }
    if (in.peek() != std::char_traits<char>::eof())
        return false;
    for (unsigned select = 0; select < kSelects; ++select) {
        chips_[select] = std::move(loaded[select]);
        if (chips_[select])
            attach(select);
    }
    return true;
}

} // namespace nandsim
