/* Stack high-water marks of library calls, measured on the board: each call
 * runs on a stack of its own that is painted beforehand, and the deepest
 * word it changed tells how much of it the call used, the callbacks it made
 * included. */
#ifndef DACE_FIRMWARE_STACK_PROBE_H
#define DACE_FIRMWARE_STACK_PROBE_H

#include <stdint.h>

typedef void (*stack_probe_fn)(void);

/* Calls fn(a0, a1, a2, a3) on the painted stack and returns its 32-bit
 * result; `name` (a string literal) keys the high-water mark. */
uint32_t stack_probe_call(const char *name, stack_probe_fn fn, uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3);
/* After a longjmp out of a probed call (a power cut): counts what that call
 * had used. */
void stack_probe_settle(void);
/* Prints one line "stack NAME BYTES" per call probed, and returns nonzero
 * when a call came within reach of the painted stack's end. */
int stack_probe_report(void);

#define STACK_PROBE_ARG(x) ((uint32_t)(uintptr_t)(x))
#define PROBE0(fn) stack_probe_call(#fn, (stack_probe_fn)(fn), 0, 0, 0, 0)
#define PROBE1(fn, a) stack_probe_call(#fn, (stack_probe_fn)(fn), STACK_PROBE_ARG(a), 0, 0, 0)
#define PROBE2(fn, a, b) stack_probe_call(#fn, (stack_probe_fn)(fn), STACK_PROBE_ARG(a), STACK_PROBE_ARG(b), 0, 0)
#define PROBE3(fn, a, b, c) \
    stack_probe_call(#fn, (stack_probe_fn)(fn), STACK_PROBE_ARG(a), STACK_PROBE_ARG(b), STACK_PROBE_ARG(c), 0)
#define PROBE4(fn, a, b, c, d)                                                                            \
    stack_probe_call(#fn, (stack_probe_fn)(fn), STACK_PROBE_ARG(a), STACK_PROBE_ARG(b), STACK_PROBE_ARG(c), \
                     STACK_PROBE_ARG(d))

#endif /* DACE_FIRMWARE_STACK_PROBE_H */
