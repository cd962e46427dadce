/* CRC-16/CCITT (polynomial 0x1021, most significant bit first), one bit at
 * a time: no table, the least code and the most time. The bootloader image
 * computes it so; the cost image measures it. */
#ifndef DACE_FIRMWARE_CRC_BITWISE_H
#define DACE_FIRMWARE_CRC_BITWISE_H

#include <stdint.h>

static uint32_t crc_bitwise(void *crc_ctx, uint16_t seed, const void *data, uint32_t count) {
    const uint8_t *p = (const uint8_t *)data;
    uint32_t crc = seed;
    (void)crc_ctx;
    for (uint32_t i = 0; i < count; ++i) {
        crc ^= (uint32_t)p[i] << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
    }
    return crc & 0xFFFFu;
}

#endif
