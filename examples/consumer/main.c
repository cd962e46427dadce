/* The smallest program that uses an installed libdace: sizes the state
 * block of a NOR-like geometry. Built by CI through find_package, pkg-config
 * and add_subdirectory. */
#include <stdio.h>

#include "dace/dace.h"

static uint32_t no_read(void *ctx, uint32_t page, void *dst, uint32_t count) {
    (void)ctx, (void)page, (void)dst, (void)count;
    return 0;
}
static uint32_t no_write(void *ctx, uint32_t page, const void *src, uint32_t count) {
    (void)ctx, (void)page, (void)src, (void)count;
    return 0;
}
static uint32_t no_erase(void *ctx, uint32_t first, uint32_t count) {
    (void)ctx, (void)first, (void)count;
    return 0;
}
static uint32_t no_crc(void *ctx, uint16_t seed, const void *data, uint32_t count) {
    (void)ctx, (void)data, (void)count;
    return seed;
}
static void no_update(void *ctx, dace_entry *entry) { (void)ctx, (void)entry; }

int main(void) {
    dace_config cfg = {0};
    cfg.page_size = 256;
    cfg.clus_pages = 8;
    cfg.total_pages = 1024;
    cfg.max_files = 4;
    cfg.read_fn = no_read;
    cfg.write_fn = no_write;
    cfg.erase_fn = no_erase;
    cfg.crc_fn = no_crc;
    cfg.update_fn = no_update;
    printf("state block: %u bytes\n", (unsigned)dace_getstatesize(&cfg));
    return dace_getstatesize(&cfg) != 0 ? 0 : 1;
}
