/* Compiled as C99: the public header must be usable from C firmware. */
#include "dace/dace.h"

uint32_t dace_c99_state_size(const dace_config *config);
uint32_t dace_c99_listed_bytes(dace_state *state);

uint32_t dace_c99_state_size(const dace_config *config) {
    dace_entry entry;
    entry.size = 0;
    (void)entry;
    return dace_getstatesize(config);
}

/* A directory walk as firmware writes it. */
uint32_t dace_c99_listed_bytes(dace_state *state) {
    dace_dir dir;
    const dace_entry *e;
    uint32_t total = 0;
    for (e = dace_readdir(state, dace_opendir(state, &dir)); e != NULL; e = dace_readdir(state, &dir))
        total += e->size;
    return total;
}
