// What a Volume (volume.h) mounts: a medium the library reaches through its
// read, write and erase callbacks. The tool and `dace mount` use the image
// medium (image_medium.h); the Python package puts the simulator behind
// the same interface, for its power cuts and counters. Every rule of the
// file system is the library's and the Volume's: a medium only holds bytes
// and behaves as the device does.
#ifndef DACE_TOOLS_MEDIUM_H
#define DACE_TOOLS_MEDIUM_H

#include <cstdint>
#include <vector>

#include "dace/dace.h"
#include "tools/image_file.h"

namespace dace_tool {

class Medium {
public:
    Medium() = default;
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;
    virtual ~Medium() = default;

    // Points the read, write and erase callbacks of `config`, and their
    // context, at this medium; leaves every other field alone.
    virtual void attach(dace_config &config) = 0;
    // The medium's content, as far as it is held: an image cut short may
    // hold less than the medium (its missing end reads erased).
    virtual const std::vector<uint8_t> &bytes() const = 0;

    // For a medium that also writes its changes to a host file: the errno
    // of the first such write that failed since the last call, or 0. The
    // library saw that write fail as a medium fault.
    virtual int take_host_error() { return 0; }
    // Every program and erase since the medium was made, for a medium that
    // keeps them (write_in_place); none otherwise.
    virtual const std::vector<MediumWrite> &journal() const {
        static const std::vector<MediumWrite> none;
        return none;
    }
};

} // namespace dace_tool

#endif // DACE_TOOLS_MEDIUM_H
