/* Compiled as C99: the public header must be usable from C firmware. */
#include "dace/dace.h"

uint32_t dace_c99_state_size(const dace_config *config);

uint32_t dace_c99_state_size(const dace_config *config) {
    dace_entry entry;
    entry.size = 0;
    (void)entry;
    return dace_getstatesize(config);
}
