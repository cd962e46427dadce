/* A generic SPI-NOR driver, as the logger example needs it: byte addresses,
 * page programs that never cross a page, sector erases. Map these four
 * functions to your HAL (command 0x03 read, 0x06 write enable + 0x02 page
 * program, 0x06 + 0x20 sector erase, polling the busy bit after each).
 * Each returns 0 on success and a negative value on failure. */
#ifndef SPI_NOR_H
#define SPI_NOR_H

#include <stdint.h>

#define SPI_NOR_PAGE_SIZE 256u     /* bytes per program page */
#define SPI_NOR_SECTOR_SIZE 4096u  /* bytes per erase sector */
#define SPI_NOR_CAPACITY (4u << 20) /* bytes on the part */

#ifdef __cplusplus
extern "C" {
#endif

int spi_nor_init(void);
int spi_nor_read(uint32_t addr, void *dst, uint32_t len);
/* Programs `len` bytes (at most the rest of the page) at `addr`. */
int spi_nor_program(uint32_t addr, const void *src, uint32_t len);
/* Erases the sector that begins at `addr`. */
int spi_nor_erase_sector(uint32_t addr);

#ifdef __cplusplus
}
#endif

#endif /* SPI_NOR_H */
