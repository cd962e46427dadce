/* Runs the logger example (examples/spi_nor_logger.c, its main renamed at
 * build time) on the board and adds what only the RAM NOR can tell: that no
 * byte was programmed twice between erases. */
#include <stdio.h>

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
    return status;
}
