// The simulated board behind the flash ports: the chip of drive 0 and up to four chips of the
// extension memory, the control lines of the Corvo and the PIII board, the Corvo registers, the ready
// interrupt, a log of the cycles each chip saw, power cuts and images of the chips' contents.
#ifndef TESSARO_NANDSIM_BOARD_H
#define TESSARO_NANDSIM_BOARD_H

#include "hostkernel/host.h"
#include "nandsim/chip.h"

#include <memory>
#include <string>

namespace nandsim {

constexpr uint16_t kPortSelect = 0x400;
constexpr uint16_t kPortCorvoLines = 0x401;
constexpr uint16_t kPortDataIn = 0x402;
constexpr uint16_t kPortDataOut = 0x403;
constexpr uint16_t kPortPIIILines = 0x48C;
constexpr uint32_t kRegisterChipSelect = 0xC2C;
constexpr uint32_t kRegisterFlash = 0xC32;
constexpr unsigned kReadyIrq = 9;
constexpr unsigned kSelects = 5; // 0: drive 0; 1 to 4: the extension memory

// Control-line bits of the two boards.
constexpr uint32_t kPIIICle = 1u << 23;
constexpr uint32_t kPIIIAle = 1u << 24;
constexpr uint32_t kPIIICeInactive = 1u << 25;
constexpr uint16_t kCorvoReadyMain = 0x0080;
constexpr uint16_t kCorvoReadyXmem = 0x0010;

enum class Variant { Corvo, PIII, Unknown };

struct Cycle {
    unsigned select;
    CycleKind kind;
    uint8_t value;
    bool operator==(const Cycle &other) const
    {
        return select == other.select && kind == other.kind && value == other.value;
    }
};

class Board : public hostkernel::Bus {
public:
    // Attaches itself to the host kernel's bus and sets the board variant.
    explicit Board(Variant variant);
    ~Board() override;
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    Chip &install_chip(unsigned select, const ChipGeometry &geometry);
    void remove_chip(unsigned select);
    Chip *chip(unsigned select) { return chips_[select].get(); }
    // The Corvo extension memory answers its detection; by default when it holds a chip.
    void set_xmem_fitted(bool fitted) { xmem_override_ = fitted ? 1 : 0; }
    // The same busy times for every chip (zero: the chip is ready at once).
    void set_timing(const Timing &timing);

    // The PIII board's port 0x48C with its other bits, as a test can check they are kept.
    uint32_t piii_lines() const { return piii_lines_; }
    uint16_t register_value(uint32_t offset) const;

    // Cycles as the chips saw them (only while logging).
    void set_cycle_logging(bool on) { logging_ = on; }
    const std::vector<Cycle> &cycles() const { return cycles_; }
    void clear_cycles() { cycles_.clear(); }

    // Power: the Nth program or erase from now (1: the next) is torn to `done` of its work (a prefix,
    // or with random_bits each of its bit changes with that probability), then every chip is dead
    // until power_on().
    void cut_power_after(unsigned operations, double done = 0.5, bool random_bits = false, uint32_t seed = 1);
    bool powered() const { return powered_; }
    void power_on();

    // Images keep every chip's identification, contents and factory-bad blocks.
    bool save_image(const std::string &path) const;
    bool load_image(const std::string &path);

    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;
    uint32_t in32(uint16_t port) override;
    void out32(uint16_t port, uint32_t value) override;
    uint16_t register_read(uint32_t offset) override;
    void register_write(uint32_t offset, uint16_t value) override;

private:
    struct Lines {
        bool ce, cle, ale;
    };
    Lines lines(unsigned select) const;
    bool xmem_fitted() const;
    void attach(unsigned select);
    void log(unsigned select, CycleKind kind, uint8_t value);
    bool before_change(double &done);

    Variant variant_;
    std::unique_ptr<Chip> chips_[kSelects];
    Timing timing_;
    bool timing_set_ = false;
    unsigned select_ = 0;
    uint8_t corvo_lines_ = 0;
    uint32_t piii_lines_;
    uint16_t registers_[hostkernel::kRegisterWindow / 2] = {};
    int xmem_override_ = -1;
    bool logging_ = false;
    std::vector<Cycle> cycles_;
    unsigned cut_countdown_ = 0;
    double cut_done_ = 0.5;
    bool cut_random_bits_ = false;
    uint32_t cut_seed_ = 1;
    bool powered_ = true;
};

} // namespace nandsim

#endif
