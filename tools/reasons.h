// What a library reason (DACE_E_*, from dace_error or dace_init_error)
// means to a host user: one errno and a one-line message. The tool, `dace
// mount` and the Python package all take both from here, so that the same
// misuse gives the same errno everywhere.
#ifndef DACE_TOOLS_REASONS_H
#define DACE_TOOLS_REASONS_H

namespace dace_tool {

struct Reason {
    int errno_value; // 0 for DACE_E_NONE
    const char *message;
};

// Every DACE_E_* code; an unknown code is EIO with a message that names it
// as unknown.
Reason reason_of(int code);

// The reason the library gives a name that breaks its rules
// (dace_check_filename): DACE_E_NAME_INVALID (empty, or holding '/' or
// '\\') or DACE_E_NAME_TOO_LONG; DACE_E_NONE for a name it takes. For a
// host that looks a name up before it reaches the library, so that it says
// what the library would.
int name_reason(const char *name);

} // namespace dace_tool

#endif // DACE_TOOLS_REASONS_H
