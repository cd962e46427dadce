/* Start-up of the firmware images: the vector table, the reset handler that
 * lays out memory and starts the C library on the semihosting console, and
 * fault handlers that end the run as failed. Runs on ARMv6-M and ARMv7-M
 * alike. */
#include <stdint.h>
#include <stdlib.h>

#include "board.h"

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start__[], __bss_end__[], __stack_top[];
extern void initialise_monitor_handles(void);
int main(void);

#define SCB_CCR (*(volatile uint32_t *)0xE000ED14u)
#define SCB_CPACR (*(volatile uint32_t *)0xE000ED88u)
#define CCR_UNALIGN_TRP (1u << 3)
#define CCR_DIV_0_TRP (1u << 4)

#define TIMER0_CTRL (*(volatile uint32_t *)0x40000000u)
#define TIMER0_VALUE (*(volatile uint32_t *)0x40000004u)
#define TIMER0_RELOAD (*(volatile uint32_t *)0x40000008u)

/* Semihosting operations. */
#define SYS_OPEN 0x01u
#define SYS_CLOSE 0x02u
#define SYS_WRITE0 0x04u
#define SYS_WRITE 0x05u
#define SYS_READ 0x06u
#define OPEN_READ_BINARY 1u
#define OPEN_WRITE_BINARY 5u
#define SYS_EXIT 0x18u
#define SYS_EXIT_EXTENDED 0x20u
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u
#define ADP_STOPPED_RUNTIME_ERROR 0x20023u

static uint32_t semihost(uint32_t op, const void *arg) {
    register uint32_t r0 __asm__("r0") = op;
    register const void *r1 __asm__("r1") = arg;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

void board_puts(const char *text) {
    semihost(SYS_WRITE0, text);
}

/* The whole transfer in one call: SYS_WRITE and SYS_READ return the bytes
 * they did not move. */
static int host_file(const char *path, uint32_t mode, uint32_t op, const void *data, uint32_t len) {
    uint32_t name_len = 0;
    while (path[name_len] != '\0')
        ++name_len;
    const uint32_t open_block[3] = {(uint32_t)(uintptr_t)path, mode, name_len};
    const uint32_t handle = semihost(SYS_OPEN, open_block);
    if (handle == 0xFFFFFFFFu)
        return -1;
    const uint32_t transfer[3] = {handle, (uint32_t)(uintptr_t)data, len};
    const uint32_t left = semihost(op, transfer);
    const uint32_t closed = semihost(SYS_CLOSE, &handle);
    return left == 0 && closed == 0 ? 0 : -1;
}

int board_save(const char *path, const void *data, uint32_t len) {
    return host_file(path, OPEN_WRITE_BINARY, SYS_WRITE, data, len);
}

int board_load(const char *path, void *data, uint32_t len) {
    return host_file(path, OPEN_READ_BINARY, SYS_READ, data, len);
}

void board_exit(int status) {
    /* The extended exit carries the status itself; a host without it still
     * tells a normal exit from a run-time error. */
    const uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, (uint32_t)status};
    semihost(SYS_EXIT_EXTENDED, block);
    semihost(SYS_EXIT, (const void *)(uintptr_t)(status == 0 ? ADP_STOPPED_APPLICATION_EXIT
                                                             : ADP_STOPPED_RUNTIME_ERROR));
    for (;;) {
    }
}

/* The C library's exit ends here once it has flushed the console. */
void _exit(int status) {
    board_exit(status);
}

void board_timer_start(void) {
    TIMER0_CTRL = 0;
    TIMER0_RELOAD = 0xFFFFFFFFu;
    TIMER0_VALUE = 0xFFFFFFFFu;
    TIMER0_CTRL = 1u;
}

static void put_hex(char *out, uint32_t v) {
    for (int i = 7; i >= 0; --i) {
        out[i] = "0123456789abcdef"[v & 0xFu];
        v >>= 4;
    }
}

/* Reports the faulting instruction from the frame the core stacked and
 * ends the run. */
void fault_report(const uint32_t *frame, uint32_t ipsr) {
    char text[] = "fault: exception xxxxxxxx at pc xxxxxxxx, lr xxxxxxxx\n";
    put_hex(text + 17, ipsr);
    put_hex(text + 32, frame[6]);
    put_hex(text + 45, frame[5]);
    board_puts(text);
    board_exit(3);
}

/* Every fault comes here; the stacked frame is on the main stack (the images
 * never switch to the process stack). */
__attribute__((naked)) static void fault_handler(void) {
    __asm__ volatile("mrs r0, msp\n"
                     "mrs r1, ipsr\n"
                     "ldr r2, =fault_report\n"
                     "bx r2\n");
}

__attribute__((noreturn)) void reset_handler(void) {
    for (uint32_t *from = __data_load, *to = __data_start; to < __data_end;)
        *to++ = *from++;
    for (uint32_t *p = __bss_start__; p < __bss_end__;)
        *p++ = 0;
#if defined(__ARM_FEATURE_UNALIGNED)
    SCB_CCR |= CCR_DIV_0_TRP;
#else
    /* Code built for a core without unaligned access (ARMv6-M) that runs on
     * this board's Cortex-M3 or M4: an unaligned word or halfword access
     * traps here as it would on that core, instead of passing unnoticed. */
    SCB_CCR |= CCR_UNALIGN_TRP | CCR_DIV_0_TRP;
#endif
#if defined(__ARM_FP)
    SCB_CPACR |= 0xFu << 20; /* hard-float builds: CP10 and CP11 on */
    __asm__ volatile("dsb\nisb" ::: "memory");
#endif
    initialise_monitor_handles();
    exit(main());
}

typedef void (*vector)(void);

__attribute__((section(".vectors"), used)) static const vector vectors[16] = {
    (vector)(uintptr_t)__stack_top,
    reset_handler,
    fault_handler, /* NMI */
    fault_handler, /* HardFault */
    fault_handler, /* MemManage */
    fault_handler, /* BusFault */
    fault_handler, /* UsageFault */
    0, 0, 0, 0,
    fault_handler, /* SVCall */
    fault_handler, /* DebugMonitor */
    0,
    fault_handler, /* PendSV */
    fault_handler, /* SysTick */
};
