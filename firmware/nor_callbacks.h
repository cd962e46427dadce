/* The five callbacks of the firmware check and cost images over a RAM NOR
 * part: one cluster is one erase sector. */
#ifndef DACE_FIRMWARE_NOR_CALLBACKS_H
#define DACE_FIRMWARE_NOR_CALLBACKS_H

#include "dace/dace.h"
#include "ram_nor.h"

/* A configuration whose callbacks reach `nor` (pages of nor->page_size,
 * clusters of one sector, the whole part), with a CRC-16/CCITT and a stamp
 * that counts changes. */
void nor_callbacks_config(dace_config *cfg, ram_nor *nor, uint16_t max_files);

#endif /* DACE_FIRMWARE_NOR_CALLBACKS_H */
