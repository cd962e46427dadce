/* The callbacks are named on the stack bound script's command line
 * (firmware/CMakeLists.txt): keep the names in step. */
#include "nor_callbacks.h"

#include <stddef.h>
#include <string.h>

static uint16_t crc_table[256];
static uint32_t stamp;

static uint32_t nor_read(void *io_ctx, uint32_t page, void *dst, uint32_t count) {
    ram_nor *nor = (ram_nor *)io_ctx;
    return ram_nor_read(nor, page * nor->page_size, dst, count) == 0 ? count : 0u;
}

/* One program per page, as a real part takes them. */
static uint32_t nor_write(void *io_ctx, uint32_t page, const void *src, uint32_t count) {
    ram_nor *nor = (ram_nor *)io_ctx;
    const uint8_t *bytes = (const uint8_t *)src;
    uint32_t done = 0;
    while (done < count) {
        uint32_t n = count - done < nor->page_size ? count - done : nor->page_size;
        if (ram_nor_program(nor, page * nor->page_size + done, bytes + done, n) != 0)
            break;
        done += n;
    }
    return done;
}

static uint32_t nor_erase(void *io_ctx, uint32_t first_clus, uint32_t clus_count) {
    ram_nor *nor = (ram_nor *)io_ctx;
    uint32_t i = 0;
    while (i < clus_count && ram_nor_erase_sector(nor, (first_clus + i) * nor->sector_size) == 0)
        ++i;
    return i;
}

/* CRC-16/CCITT (polynomial 0x1021, most significant bit first) a byte at a
 * time from a 512-byte table. */
static uint32_t nor_crc(void *crc_ctx, uint16_t seed, const void *data, uint32_t count) {
    const uint8_t *p = (const uint8_t *)data;
    uint16_t crc = seed;
    (void)crc_ctx;
    for (uint32_t i = 0; i < count; ++i)
        crc = (uint16_t)((crc << 8) ^ crc_table[((crc >> 8) ^ p[i]) & 0xFFu]);
    return crc;
}

static void nor_update(void *update_ctx, dace_entry *entry) {
    (void)update_ctx;
    entry->stamp = ++stamp;
}

void nor_callbacks_config(dace_config *cfg, ram_nor *nor, uint16_t max_files) {
    for (uint32_t i = 0; i < 256u; ++i) {
        uint16_t c = (uint16_t)(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = (uint16_t)((c & 0x8000u) != 0 ? (uint32_t)(c << 1) ^ 0x1021u : (uint32_t)(c << 1));
        crc_table[i] = c;
    }
    memset(cfg, 0, sizeof *cfg);
    cfg->page_size = (uint16_t)nor->page_size;
    cfg->clus_pages = (uint16_t)(nor->sector_size / nor->page_size);
    cfg->total_pages = (uint16_t)(nor->capacity / nor->page_size);
    cfg->max_files = max_files;
    cfg->crc_seed = 0xFFFF;
    cfg->io_ctx = nor;
    cfg->read_fn = nor_read;
    cfg->write_fn = nor_write;
    cfg->erase_fn = nor_erase;
    cfg->crc_fn = nor_crc;
    cfg->update_fn = nor_update;
}
