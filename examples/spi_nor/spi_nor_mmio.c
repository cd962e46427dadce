/* The SPI-NOR driver of the logger example for a microcontroller build: a
 * placeholder over a memory-mapped SPI flash controller (command, address,
 * length, data FIFO, busy flag). Replace it with the calls of your HAL; it
 * is here so that the example links for the target and its size can be
 * measured. */
#include "spi_nor.h"

#ifndef SPI_NOR_CTRL_BASE
#define SPI_NOR_CTRL_BASE 0x40020000u
#endif

typedef struct spi_ctrl {
    volatile uint32_t cmd;    /* writing starts the command */
    volatile uint32_t addr;
    volatile uint32_t len;
    volatile uint32_t data;   /* FIFO, one byte per access */
    volatile uint32_t status; /* bit 0: busy, bit 1: error */
} spi_ctrl;

#define CTRL ((spi_ctrl *)SPI_NOR_CTRL_BASE)

enum { CMD_READ = 0x03, CMD_WRITE_ENABLE = 0x06, CMD_PAGE_PROGRAM = 0x02, CMD_SECTOR_ERASE = 0x20 };

static int run(uint32_t cmd, uint32_t addr, uint32_t len) {
    CTRL->addr = addr;
    CTRL->len = len;
    CTRL->cmd = cmd;
    return (CTRL->status & 2u) != 0 ? -1 : 0;
}

static int wait_ready(void) {
    while ((CTRL->status & 1u) != 0) {
    }
    return (CTRL->status & 2u) != 0 ? -1 : 0;
}

int spi_nor_init(void) { return wait_ready(); }

int spi_nor_read(uint32_t addr, void *dst, uint32_t len) {
    uint8_t *out = (uint8_t *)dst;
    uint32_t i;
    if (run(CMD_READ, addr, len) != 0)
        return -1;
    for (i = 0; i < len; ++i)
        out[i] = (uint8_t)CTRL->data;
    return wait_ready();
}

int spi_nor_program(uint32_t addr, const void *src, uint32_t len) {
    const uint8_t *in = (const uint8_t *)src;
    uint32_t i;
    if (len > SPI_NOR_PAGE_SIZE - addr % SPI_NOR_PAGE_SIZE || run(CMD_WRITE_ENABLE, 0, 0) != 0)
        return -1;
    for (i = 0; i < len; ++i)
        CTRL->data = in[i];
    if (run(CMD_PAGE_PROGRAM, addr, len) != 0)
        return -1;
    return wait_ready();
}

int spi_nor_erase_sector(uint32_t addr) {
    if (run(CMD_WRITE_ENABLE, 0, 0) != 0 || run(CMD_SECTOR_ERASE, addr, 0) != 0)
        return -1;
    return wait_ready();
}
