#include "tools/reasons.h"

#include <cerrno>

#include "dace/dace.h"

namespace dace_tool {

Reason reason_of(int code) {
    switch (code) {
    case DACE_E_NONE: return {0, "done"};
    case DACE_E_BAD_HANDLE: return {EBADF, "not an open file"};
    case DACE_E_NO_FILE: return {ENOENT, "no such file"};
    case DACE_E_NAME_INVALID: return {EINVAL, "a name is 1 to 18 bytes and holds no '/' or '\\'"};
    case DACE_E_NAME_TOO_LONG: return {ENAMETOOLONG, "a name holds at most 18 bytes"};
    case DACE_E_NAME_TAKEN: return {EEXIST, "a file of that name exists"};
    case DACE_E_FILE_OPEN: return {EBUSY, "the file is open"};
    case DACE_E_TOO_MANY_OPEN: return {EMFILE, "as many files are open as the volume allows"};
    case DACE_E_NOT_AT_END: return {EINVAL, "a file is written only at its end"};
    case DACE_E_MEDIUM_FULL: return {ENOSPC, "the medium is full"};
    case DACE_E_DIRECTORY_FULL: return {ENOSPC, "the directory holds as many files as it can"};
    case DACE_E_READ_FAILED: return {EIO, "a read of the medium failed"};
    case DACE_E_WRITE_FAILED: return {EIO, "a write to the medium fell short"};
    case DACE_E_ERASE_FAILED: return {EIO, "an erase of the medium failed"};
    case DACE_E_DAMAGED: return {EIO, "the medium holds damaged data"};
    case DACE_E_NO_ROOT_CLUSTER: return {ENOSPC, "the directory must move and no cluster is free"};
    case DACE_E_INVALID_ARGUMENT: return {EINVAL, "an argument is invalid"};
    case DACE_E_BEYOND_END: return {EINVAL, "beyond the end of the file: a file grows only by writes at its end"};
    case DACE_E_FILE_TOO_LARGE: return {EFBIG, "a file holds at most 4 GiB less one byte"};
    case DACE_E_LAST_GENERATION: return {ENOSPC, "the directory's generation count is used up: format the volume"};
    case DACE_E_CONFIG: return {EINVAL, "the configuration is refused"};
    case DACE_E_UNREADABLE: return {EIO, "a cluster of the medium cannot be read"};
    case DACE_E_NOT_A_VOLUME: return {EINVAL, "the medium holds no volume"};
    case DACE_E_GEOMETRY: return {EINVAL, "the medium holds a volume of another geometry"};
    case DACE_E_SIZE_MISMATCH: return {EINVAL, "the medium holds a volume of another size"};
    default: return {EIO, "a failure the library did not name"};
    }
}

int name_reason(const char *name) {
    switch (dace_check_filename(name)) {
    case DACE_NAME_OK: return DACE_E_NONE;
    case DACE_NAME_TOO_LONG: return DACE_E_NAME_TOO_LONG;
    default: return DACE_E_NAME_INVALID;
    }
}

} // namespace dace_tool
