/* What the firmware images need of QEMU's MPS2 boards (mps2-an385 with a
 * Cortex-M3, mps2-an386 with a Cortex-M4): the console and the verdict
 * through semihosting, and a free-running timer. */
#ifndef DACE_FIRMWARE_BOARD_H
#define DACE_FIRMWARE_BOARD_H

#include <stdint.h>

/* Ends the run: QEMU exits with `status` (0 passed, anything else failed). */
void board_exit(int status) __attribute__((noreturn));

/* Writes a NUL-ended string to the console without stdio: safe in a fault
 * handler and costs no stack to speak of. */
void board_puts(const char *text);

/* A file of the host, through semihosting: its path is relative to the
 * directory QEMU runs in (the test's). board_save writes `len` bytes to it,
 * board_load reads exactly `len` bytes from it; each returns 0, or -1 when
 * the file could not be opened or moved fewer bytes. Images hand a medium
 * from one run to the next this way. */
int board_save(const char *path, const void *data, uint32_t len);
int board_load(const char *path, void *data, uint32_t len);

/* The logger image leaves its part here; the read-only image mounts it.
 * Another image built on logger_main.c names a file of its own, so that
 * images run side by side never write one file. */
#ifndef LOGGER_MEDIUM_FILE
#define LOGGER_MEDIUM_FILE "logger_medium.bin"
#endif

/* Starts TIMER0 of the board: a 32-bit down-counter at the 25 MHz system
 * clock, one tick per 40 ns of virtual time. Under `-icount shift=N` each
 * instruction takes 2^N ns of it, so the ticks count instructions. */
void board_timer_start(void);
static inline uint32_t board_timer_now(void) {
    return *(volatile uint32_t *)0x40000004u;
}

#endif /* DACE_FIRMWARE_BOARD_H */
