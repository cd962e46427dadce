#include "stack_probe.h"

#include <stdio.h>
#include <string.h>

#define PROBE_WORDS 512u /* 2 KiB: eight times the bound CI allows */
#define PAINT 0xC5A3C5A3u
#define MAX_NAMES 48u

typedef struct probe_args {
    stack_probe_fn fn;
    uint32_t a[4];
} probe_args;

/* r0: the arguments, r1: the top of the stack to run on. The caller's stack
 * pointer waits in r4, which the callee preserves. Thumb-1 only, so that
 * ARMv6-M runs it too. */
uint32_t stack_probe_switch(const probe_args *args, uint32_t *top);
__asm__(".pushsection .text.stack_probe_switch,\"ax\",%progbits\n"
        ".syntax unified\n"
        ".thumb\n"
        ".global stack_probe_switch\n"
        ".type stack_probe_switch, %function\n"
        ".thumb_func\n"
        "stack_probe_switch:\n"
        "  push {r4, r5, r6, lr}\n"
        "  mov r4, sp\n"
        "  mov sp, r1\n"
        "  mov r5, r0\n"
        "  ldr r0, [r5, #4]\n"
        "  ldr r1, [r5, #8]\n"
        "  ldr r2, [r5, #12]\n"
        "  ldr r3, [r5, #16]\n"
        "  ldr r6, [r5, #0]\n"
        "  blx r6\n"
        "  mov sp, r4\n"
        "  pop {r4, r5, r6, pc}\n"
        ".size stack_probe_switch, . - stack_probe_switch\n"
        ".popsection\n");

static uint32_t probe_stack[PROBE_WORDS] __attribute__((aligned(8)));
static uint32_t painted_from; /* words from this index up may be dirty */

static struct {
    const char *name;
    uint32_t bytes;
} marks[MAX_NAMES];
static uint32_t mark_count;
static const char *running; /* the call on the probe stack, if any */
static int overflowed;

static void paint(void) {
    for (uint32_t i = painted_from; i < PROBE_WORDS; ++i)
        probe_stack[i] = PAINT;
    painted_from = PROBE_WORDS;
}

/* Bytes the last call used, from the top of the probe stack down to the
 * deepest word it changed. */
static uint32_t used(void) {
    uint32_t i = 0;
    while (i < PROBE_WORDS && probe_stack[i] == PAINT)
        ++i;
    if (i == 0)
        overflowed = 1;
    painted_from = i;
    return (PROBE_WORDS - i) * 4u;
}

static void record(const char *name, uint32_t bytes) {
    uint32_t i = 0;
    while (i < mark_count && strcmp(marks[i].name, name) != 0)
        ++i;
    if (i == mark_count) {
        if (mark_count == MAX_NAMES)
            return;
        marks[mark_count++].name = name;
    }
    if (bytes > marks[i].bytes)
        marks[i].bytes = bytes;
}

uint32_t stack_probe_call(const char *name, stack_probe_fn fn, uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3) {
    const probe_args args = {fn, {a0, a1, a2, a3}};
    paint();
    running = name;
    const uint32_t result = stack_probe_switch(&args, probe_stack + PROBE_WORDS);
    running = NULL;
    record(name, used());
    return result;
}

void stack_probe_settle(void) {
    if (running != NULL)
        record(running, used());
    running = NULL;
}

int stack_probe_report(void) {
    for (uint32_t i = 0; i < mark_count; ++i)
        printf("stack %s %lu\n", marks[i].name, (unsigned long)marks[i].bytes);
    if (overflowed)
        printf("a probed call reached the end of the %u-byte probe stack\n", PROBE_WORDS * 4u);
    return overflowed;
}
