#include "ram_nor.h"

#include <string.h>

static int is_programmed(const ram_nor *nor, uint32_t addr) {
    return (nor->programmed[addr >> 3] >> (addr & 7u)) & 1u;
}

static void mark_programmed(ram_nor *nor, uint32_t addr) {
    nor->programmed[addr >> 3] = (uint8_t)(nor->programmed[addr >> 3] | (1u << (addr & 7u)));
}

/* Sets [addr, addr + len) to 0xFF and forgets that it was programmed; the
 * range starts and ends on a multiple of 8 bytes. */
static void erase_range(ram_nor *nor, uint32_t addr, uint32_t len) {
    memset(nor->mem + addr, 0xFF, len);
    memset(nor->programmed + addr / 8u, 0, len / 8u);
}

void ram_nor_attach(ram_nor *nor, uint8_t *mem, uint8_t *programmed, uint32_t capacity, uint32_t page_size,
                    uint32_t sector_size) {
    memset(nor, 0, sizeof *nor);
    nor->mem = mem;
    nor->programmed = programmed;
    nor->capacity = capacity;
    nor->page_size = page_size;
    nor->sector_size = sector_size;
    nor->program_budget = RAM_NOR_NO_CUT;
    nor->erase_budget = RAM_NOR_NO_CUT;
    memset(programmed, 0xFF, capacity / 8u);
}

void ram_nor_blank(ram_nor *nor) {
    erase_range(nor, 0, nor->capacity);
}

int ram_nor_read(ram_nor *nor, uint32_t addr, void *dst, uint32_t len) {
    if (addr > nor->capacity || len > nor->capacity - addr)
        return -1;
    memcpy(dst, nor->mem + addr, len);
    nor->bytes_read += len;
    return 0;
}

int ram_nor_program(ram_nor *nor, uint32_t addr, const void *src, uint32_t len) {
    const uint8_t *in = (const uint8_t *)src;
    if (addr > nor->capacity || len > nor->page_size - addr % nor->page_size || len > nor->capacity - addr)
        return -1;
    for (uint32_t i = 0; i < len; ++i) {
        if (is_programmed(nor, addr + i)) {
            if (nor->double_programs++ == 0)
                nor->first_double_program = addr + i;
            return -1;
        }
    }
    for (uint32_t i = 0; i < len; ++i) {
        if (nor->program_budget == 0)
            ram_nor_power_lost(nor);
        if (nor->program_budget != RAM_NOR_NO_CUT)
            --nor->program_budget;
        nor->mem[addr + i] &= in[i];
        mark_programmed(nor, addr + i);
        ++nor->bytes_programmed;
    }
    return 0;
}

int ram_nor_erase_sector(ram_nor *nor, uint32_t addr) {
    if (addr % nor->sector_size != 0 || addr >= nor->capacity)
        return -1;
    if (nor->erase_budget == 0) {
        /* The cut came half way: the first half of the sector is erased;
         * the rest holds what it held and stays programmed, also where it
         * reads 0xFF, so the sector must be erased again before use. */
        erase_range(nor, addr, nor->sector_size / 2u);
        ram_nor_power_lost(nor);
    }
    if (nor->erase_budget != RAM_NOR_NO_CUT)
        --nor->erase_budget;
    erase_range(nor, addr, nor->sector_size);
    ++nor->erases;
    return 0;
}
