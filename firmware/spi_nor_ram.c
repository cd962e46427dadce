/* The logger example's SPI-NOR driver (examples/spi_nor/spi_nor.h) on the
 * board: the part is a RAM NOR in PSRAM, blank at spi_nor_init. */
#include "spi_nor/spi_nor.h"

#include "board.h"
#include "ram_nor.h"

static uint8_t part_mem[SPI_NOR_CAPACITY] __attribute__((section(".psram")));
static uint8_t part_bits[SPI_NOR_CAPACITY / 8u] __attribute__((section(".psram")));
static ram_nor part;

ram_nor *spi_nor_ram_part(void) {
    return &part;
}

int spi_nor_init(void) {
    ram_nor_attach(&part, part_mem, part_bits, SPI_NOR_CAPACITY, SPI_NOR_PAGE_SIZE, SPI_NOR_SECTOR_SIZE);
    ram_nor_blank(&part);
    return 0;
}

int spi_nor_read(uint32_t addr, void *dst, uint32_t len) {
    return ram_nor_read(&part, addr, dst, len);
}

int spi_nor_program(uint32_t addr, const void *src, uint32_t len) {
    return ram_nor_program(&part, addr, src, len);
}

int spi_nor_erase_sector(uint32_t addr) {
    return ram_nor_erase_sector(&part, addr);
}

/* No cut is ever armed in this image. */
void ram_nor_power_lost(ram_nor *nor) {
    (void)nor;
    board_puts("power lost with no cut armed\n");
    board_exit(1);
}
