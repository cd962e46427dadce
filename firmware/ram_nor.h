/* A NOR flash part held in the board's RAM, as strict as the strictest real
 * part: an erase sets a whole sector to 0xFF, a program only clears bits,
 * stays within one page and may touch each byte once between erases. A
 * second program of a byte is refused and remembered, and fails the run.
 *
 * The power can be made to fail: after a given number of bytes programmed,
 * or in the middle of a given erase (the sector's first half is left
 * erased, the rest as it was, programmed bytes still programmed). The
 * part then calls ram_nor_power_lost(), which the image defines; it never
 * returns (the images jump back to their reboot point). */
#ifndef DACE_FIRMWARE_RAM_NOR_H
#define DACE_FIRMWARE_RAM_NOR_H

#include <stdint.h>

#define RAM_NOR_NO_CUT 0xFFFFFFFFu

typedef struct ram_nor {
    uint8_t *mem;        /* capacity bytes */
    uint8_t *programmed; /* one bit per byte: programmed since its sector's last erase */
    uint32_t capacity;
    uint32_t page_size;
    uint32_t sector_size;
    /* Power cuts: bytes that may still be programmed, erases that may still
     * start; RAM_NOR_NO_CUT for none. */
    uint32_t program_budget;
    uint32_t erase_budget;
    /* What the part has seen. */
    uint32_t bytes_programmed;
    uint32_t bytes_read;
    uint32_t erases;
    /* Programs refused because a byte had been programmed since its last
     * erase, and the first such byte. */
    uint32_t double_programs;
    uint32_t first_double_program;
} ram_nor;

/* A part over `mem` (capacity bytes) and `programmed` (capacity / 8 bytes):
 * its content as the memory holds it, every byte counted as programmed
 * (erase before use), no cut armed, counters zero. */
void ram_nor_attach(ram_nor *nor, uint8_t *mem, uint8_t *programmed, uint32_t capacity, uint32_t page_size,
                    uint32_t sector_size);
/* Erases the whole part without counting erases or spending the budget: a
 * part fresh from the factory. */
void ram_nor_blank(ram_nor *nor);

/* Each returns 0, or -1 when refused (out of range, across a page, a byte
 * programmed twice, a sector address not on a sector boundary). */
int ram_nor_read(ram_nor *nor, uint32_t addr, void *dst, uint32_t len);
int ram_nor_program(ram_nor *nor, uint32_t addr, const void *src, uint32_t len);
int ram_nor_erase_sector(ram_nor *nor, uint32_t addr);

/* Defined by the image: the power went. Never returns. */
void ram_nor_power_lost(ram_nor *nor) __attribute__((noreturn));

#endif /* DACE_FIRMWARE_RAM_NOR_H */
