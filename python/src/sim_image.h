// The Python package's images: a medium in memory on the simulator, behind
// the medium interface of the tool's Volume (tools/volume.h), which mounts
// it, and the library handles Python's files hold. Every rule of the file
// system stays in the library and the tool's core: what is here keeps what
// only the package has (power cuts and counters through the simulator,
// wear levelling from mount to mount, the bytes that followed the medium,
// handles that a remount closes).
#ifndef DACE_PYTHON_SIM_IMAGE_H
#define DACE_PYTHON_SIM_IMAGE_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tools/image.h"
#include "tools/medium.h"
#include "tools/volume.h"

namespace dace_python {

namespace py = pybind11;
using dace_tool::Params;

// The simulator as a Volume's medium. Strict, as flash is: a program over
// bytes that are not erased fails. Only its read, write and erase reach the
// library; the CRC and the stamps are the Volume's, as for the tool.
class SimMedium : public dace_tool::Medium {
public:
    SimMedium(const Params &p, std::vector<uint8_t> bytes);
    void attach(dace_config &config) override;
    const std::vector<uint8_t> &bytes() const override { return sim_.bytes(); }
    dace_sim::FlashSim &sim() { return sim_; }

private:
    dace_sim::FlashSim sim_;
};

// Wear levelling of a medium: off, or turned on after every mount from a
// cursor that starts at `start` and moves on by one cluster from mount to
// mount, as a boot counter moves it in firmware.
struct Wear {
    std::optional<uint16_t> start;
    uint32_t mounts = 0; // mounts made with it so far
};

// A medium in memory and the Volume mounted on it, if one is.
class SimImage {
public:
    // `mounting` unset keeps the medium unmounted (for check() and map());
    // a mount the library refuses is an ImageFailure with its reason.
    // `after` is what followed the medium in the bytes it came from (a
    // larger dump): kept as it was, and given back after the medium.
    SimImage(const Params &params, std::vector<uint8_t> bytes, std::optional<dace_tool::Mounting> mounting,
             std::string detected, Wear wear = {}, std::vector<uint8_t> after = {});
    SimImage(const SimImage &) = delete;
    SimImage &operator=(const SimImage &) = delete;

    // The mounted volume; ImageFailure when none is.
    dace_tool::Volume &volume();
    dace_state *state() { return volume().state(); }
    bool mounted() const { return volume_.has_value(); }
    // Mounts made so far: a handle is open only on the mount it came from.
    uint64_t mount_count() const { return mounts_; }
    // Drops the mounted state, as a reboot does, and mounts the medium
    // again (dace_mount: never a format).
    void remount();

    const Params &params() const { return params_; }
    const std::string &detected() const { return detected_; }
    const Wear &wear() const { return wear_; }
    dace_sim::FlashSim &sim() { return medium_->sim(); }
    const std::vector<uint8_t> &bytes() const { return medium_->bytes(); }
    const std::vector<uint8_t> &after() const { return after_; }
    // The image as it came, its medium as it stands now.
    std::vector<uint8_t> image() const;

private:
    void mount(dace_tool::Mounting how);

    Params params_;
    std::string detected_;
    Wear wear_;
    std::vector<uint8_t> after_;
    std::shared_ptr<SimMedium> medium_;
    std::optional<dace_tool::Volume> volume_;
    uint64_t mounts_ = 0;
};

enum class Mode { Read, Append, Write, Create };

// "rb", "ab", "wb" or "xb"; ValueError for another.
Mode mode_named(const std::string &mode);

// One library handle. It lives as long as the mount it came from: a remount
// (or a power cut) closes it.
class Handle {
public:
    // The library checks the name and what the volume allows; its reason
    // is what is raised.
    Handle(std::shared_ptr<SimImage> image, const std::string &name, Mode mode);
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    // Open on the mount it came from.
    bool valid() const { return h_ != 0 && mount_ == m_->mount_count(); }
    // Lost to a remount rather than closed.
    bool lost() const { return h_ != 0 && mount_ != m_->mount_count(); }
    bool writer() const { return writer_; }

    size_t readinto(const py::buffer &target);
    // Appends the whole buffer, or raises with the bytes taken.
    size_t write(const py::buffer &source);
    // Positions a reading handle; positioning commits, as flush does.
    uint64_t seek(long long offset, int whence);
    uint64_t tell() { return dace_tell(open_state(), h_); }
    uint64_t size();
    void flush();
    // Closing commits. When that fails the handle stays open, and closing
    // again tries once more.
    void close();

private:
    dace_state *open_state();
    // The size of the open file, what is not yet committed included.
    uint32_t file_size();
    // A handle opened in the constructor whose next step failed: raises that
    // step's reason after closing the handle (which commits; when that
    // fails too, the handle stays taken until the next mount).
    [[noreturn]] void give_up(dace_state *s, const std::string &what);

    std::shared_ptr<SimImage> m_;
    std::string name_;
    bool writer_;
    dace_handle h_ = 0;
    uint64_t mount_ = 0;
};

} // namespace dace_python

#endif // DACE_PYTHON_SIM_IMAGE_H
