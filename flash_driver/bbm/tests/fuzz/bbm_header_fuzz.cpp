// libFuzzer target: chunk headers and an exception table made of arbitrary bytes on a simulated chip,
// mounted by the bad-block manager and then used for mapping, status and a relocation. No crash, no
// out-of-bounds access, and a mount only ever trusts a header that validates.
#include "bbm/bbm.h"
#include "hostkernel/host.h"
#include "media/media.h"
#include "nand/nand_chip.h"
#include "nand/nand_ops.h"
#include "nandsim/board.h"
#include "services/services.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kChip = 0xE5; // 4 MB, 8 KB blocks, 512-byte pages
constexpr unsigned kHeaderSectors = 8;
constexpr size_t kSector = 512;

void require(bool condition)
{
    if (!condition)
        abort();
}

// A header the format would write at position k from the top (backup above its working copy), so that
// the fuzzer mostly explores headers that are nearly right.
void template_header(uint8_t *sector, unsigned k)
{
    std::memset(sector, 0xFF, kSector);
    const uint8_t signature[8] = {0xDB, 0xC0, 0x95, 0x77, 0x7A, 0x5C, 0xF7, 0x2C};
    std::memcpy(sector, signature, sizeof signature);
    const uint32_t count = 501 | 0x80000000;
    for (unsigned offset : {8u, 16u})
        for (unsigned i = 0; i < 4; i++)
            sector[offset + i] = static_cast<uint8_t>(count >> (8 * i));
    for (unsigned offset : {12u, 20u}) {
        sector[offset] = 0x00;
        sector[offset + 1] = 0x20;
    }
    sector[14] = sector[15] = (k % 2 == 0) ? 0xFF : 0x00;
    sector[22] = 0x00;
    sector[23] = 0x02;
    for (unsigned offset : {28u, 30u})
        sector[offset] = sector[offset + 1] = 0;
    for (unsigned entry = 0; entry < 2; entry++)
        std::memcpy(sector + 32 + 4 * entry, "\xFF\xFF\xFF\x7F", 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool nearValid = data[0] & 1;
    data++;
    size--;

    hostkernel::reset();
    std::memset(extndMediaInfo, 0, sizeof extndMediaInfo);
    std::memset(bbmInfo, 0, sizeof bbmInfo);
    std::memset(PhysAddrExceptions, 0xFF, sizeof PhysAddrExceptions);
    current_command[0] = previous_command[0] = 0;
    oemsetcurrentdrive(0);
    nandsim::Board board(nandsim::Variant::PIII);
    request_irq(nandsim::kReadyIrq, intr_nand_handler, SA_INTERRUPT, "NAND flash", nullptr);
    nandsim::Chip &chip = board.install_chip(0, nandsim::chip_geometry(kChip));
    const nandsim::ChipGeometry &geometry = chip.geometry();
    const uint32_t blocks = geometry.blocks;

    // Sectors 0-7 become the first pages of the top eight blocks, sector 8 the exception table.
    std::vector<uint8_t> sectors((kHeaderSectors + 1) * kSector, 0xFF);
    for (unsigned k = 0; k < kHeaderSectors && nearValid; k++)
        template_header(&sectors[k * kSector], k);
    for (size_t i = 0; i < size && i < sectors.size(); i++)
        sectors[i] = nearValid ? sectors[i] ^ data[i] : data[i];
    for (unsigned k = 0; k < kHeaderSectors; k++) {
        std::vector<uint8_t> page(geometry.page_bytes(), 0xFF);
        std::memcpy(page.data(), &sectors[k * kSector], kSector);
        chip.write_page_raw((blocks - 1 - k) * geometry.pages_per_block, page);
    }

    if (!NANDInitDevice())
        return 0;
    const uint32_t total = lpThisMedia->ulTotalSize;
    const uint32_t bs = lpThisMedia->ulBlockSize;
    std::vector<uint32_t> validCounts;
    for (unsigned k = 0; k < kHeaderSectors; k++) {
        std::vector<uint8_t> copy(&sectors[k * kSector], &sectors[(k + 1) * kSector]);
        if (ValidBBMHeader(copy.data()) != BBM_HEADER_INVALID)
            validCounts.push_back((copy[8] | copy[9] << 8 | copy[10] << 16 | uint32_t{copy[11]} << 24) & 0x7FFFFFFF);
    }
    if (!validCounts.empty() && validCounts[0] % blocks < blocks - kHeaderSectors) {
        std::vector<uint8_t> page(geometry.page_bytes(), 0xFF);
        std::memcpy(page.data(), &sectors[kHeaderSectors * kSector], kSector);
        chip.write_page_raw(validCounts[0] % blocks * geometry.pages_per_block, page);
    }

    uint32_t clientSize = 0, blockSize = 0;
    if (!bbmmount(&clientSize, &blockSize))
        return 0;
    // A mount rests on a header that validates, and describes this chip.
    require(!validCounts.empty());
    require(blockSize == bs);
    require(clientSize < total && clientSize % bs == 0);
    bool known = false;
    for (uint32_t count : validCounts)
        known |= count * bs == clientSize;
    require(known);
    require(bbmInfo[0].ulLowerLimit <= total);

    for (uint32_t i = 0; i < 16; i++) {
        const uint32_t address = static_cast<uint32_t>((i * 2654435761u) % total) & ~1u;
        require(bbmmapblock(address) < total);
    }
    BbmStatus status;
    bbmstatus(&status);
    uint32_t next;
    if (bbmnextblock(&next))
        require(next >= bbmInfo[0].ulLowerLimit && next < total && next % bs == 0);

    // A relocation over this table: a client block whose program fails.
    if (clientSize > 2 * bs) {
        chip.failing_program_blocks.insert(1);
        uint8_t sector[kSector];
        std::memset(sector, 0x3C, sizeof sector);
        oemwrite(bs, kSector, sector, ACCESS_TYPE_ECC);
        oemread(bs, kSector, sector, ACCESS_TYPE_ECC);
    }
    return 0;
}
