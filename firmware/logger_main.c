/* Runs the logger example (examples/spi_nor_logger.c, its main renamed at
 * build time) on the board and adds what only the RAM NOR can tell: that no
 * byte was programmed twice between erases. Then leaves the part in
 * LOGGER_MEDIUM_FILE on the host, for the read-only image to mount. */
#include <stdio.h>

#include "board.h"
#include "ram_nor.h"

int spi_nor_logger_main(void);
ram_nor *spi_nor_ram_part(void);

int main(void) {
    const int status = spi_nor_logger_main();
    const ram_nor *part = spi_nor_ram_part();
    printf("part: %lu bytes programmed, %lu sectors erased, %lu bytes read\n", (unsigned long)part->bytes_programmed,
           (unsigned long)part->erases, (unsigned long)part->bytes_read);
    if (part->double_programs != 0) {
        printf("FAIL: byte 0x%lx programmed twice without an erase (%lu programs refused)\n",
               (unsigned long)part->first_double_program, (unsigned long)part->double_programs);
        return 1;
    }
    if (status == 0 && board_save(LOGGER_MEDIUM_FILE, part->mem, part->capacity) != 0) {
        printf("FAIL: the part could not be saved to %s\n", LOGGER_MEDIUM_FILE);
        return 1;
    }
    return status;
}
