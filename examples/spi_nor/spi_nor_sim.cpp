// The SPI-NOR driver of the logger example on the host: a shim onto the
// medium simulator, which checks that a program only clears bits and that
// every page is programmed once between erases (strict mode).
#include <cstdint>

#include "examples/spi_nor/spi_nor.h"
#include "sim/flash_sim.h"

namespace {

dace_sim::FlashSim &part() {
    static dace_sim::FlashSim sim(dace_sim::Geometry{SPI_NOR_PAGE_SIZE, SPI_NOR_SECTOR_SIZE / SPI_NOR_PAGE_SIZE,
                                                     static_cast<uint16_t>(SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE)});
    return sim;
}

bool page_aligned(uint32_t addr) { return addr % SPI_NOR_PAGE_SIZE == 0; }

} // namespace

extern "C" {

int spi_nor_init(void) {
    part().set_strict(true);
    return 0;
}

int spi_nor_read(uint32_t addr, void *dst, uint32_t len) {
    if (!page_aligned(addr))
        return -1;
    return dace_sim::FlashSim::read_cb(&part(), addr / SPI_NOR_PAGE_SIZE, dst, len) == len ? 0 : -1;
}

int spi_nor_program(uint32_t addr, const void *src, uint32_t len) {
    if (!page_aligned(addr) || len > SPI_NOR_PAGE_SIZE)
        return -1;
    return dace_sim::FlashSim::write_cb(&part(), addr / SPI_NOR_PAGE_SIZE, src, len) == len ? 0 : -1;
}

int spi_nor_erase_sector(uint32_t addr) {
    if (addr % SPI_NOR_SECTOR_SIZE != 0)
        return -1;
    return dace_sim::FlashSim::erase_cb(&part(), addr / SPI_NOR_SECTOR_SIZE, 1) == 1 ? 0 : -1;
}

} // extern "C"
