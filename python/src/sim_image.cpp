// The Python package's images and handles: the simulator behind the tool's
// Volume, and the library calls Python's files make through it.
#include "python/src/sim_image.h"

#include <algorithm>
#include <utility>

#include "python/src/conversions.h"

namespace dace_python {

namespace {

constexpr uint32_t kChunk = 1u << 20;

} // namespace

SimMedium::SimMedium(const Params &p, std::vector<uint8_t> bytes)
    : sim_(dace_sim::Geometry{p.page_size, p.clus_pages, p.total_pages}) {
    sim_.bytes() = std::move(bytes);
    sim_.set_strict(true);
}

void SimMedium::attach(dace_config &config) {
    config.io_ctx = &sim_;
    config.read_fn = &dace_sim::FlashSim::read_cb;
    config.write_fn = &dace_sim::FlashSim::write_cb;
    config.erase_fn = &dace_sim::FlashSim::erase_cb;
}

SimImage::SimImage(const Params &params, std::vector<uint8_t> bytes, std::optional<dace_tool::Mounting> mounting,
                   std::string detected, Wear wear, std::vector<uint8_t> after)
    : params_(params), detected_(std::move(detected)), wear_(wear), after_(std::move(after)),
      medium_(std::make_shared<SimMedium>(params_, std::move(bytes))) {
    if (mounting)
        mount(*mounting);
}

dace_tool::Volume &SimImage::volume() {
    if (!volume_)
        throw ImageFailure("the volume is not mounted: remount() mounts it");
    return *volume_;
}

void SimImage::remount() {
    medium_->sim().reboot();
    mount(dace_tool::Mounting::Change);
}

std::vector<uint8_t> SimImage::image() const {
    std::vector<uint8_t> out = bytes();
    out.insert(out.end(), after_.begin(), after_.end());
    return out;
}

void SimImage::mount(dace_tool::Mounting how) {
    // Handles of the mount before are gone with its state.
    ++mounts_;
    volume_.reset();
    try {
        volume_.emplace(medium_, params_, how);
    } catch (const dace_tool::LibraryError &e) {
        throw image_failure(e.reason, "the medium does not mount with these parameters (mount=False keeps it for "
                                      "check() and map(), which tell more)");
    }
    if (wear_.start)
        dace_level_wear(volume_->state(), static_cast<uint16_t>(*wear_.start + wear_.mounts++));
}

Mode mode_named(const std::string &mode) {
    if (mode == "rb")
        return Mode::Read;
    if (mode == "ab")
        return Mode::Append;
    if (mode == "wb")
        return Mode::Write;
    if (mode == "xb")
        return Mode::Create;
    throw py::value_error("mode must be \"rb\", \"ab\", \"wb\" or \"xb\", not \"" + mode + "\"");
}

Handle::Handle(std::shared_ptr<SimImage> image, const std::string &name, Mode mode)
    : m_(std::move(image)), name_(name), writer_(mode != Mode::Read) {
    dace_state *s = m_->state();
    if (mode == Mode::Create || (mode != Mode::Read && dace_find_file(s, name.c_str()) < 0)) {
        const dace_tool::Stamping stamping(m_->volume().stamp());
        h_ = dace_create(s, name.c_str());
        if (h_ == 0)
            raise_last(s, {}, name);
    } else {
        // Opened before it is changed, so that a file open already, or
        // one handle too many, is refused with the file as it was.
        h_ = dace_open(s, name.c_str());
        if (h_ == 0)
            raise_last(s, {}, name);
        if (mode == Mode::Write && file_size() > 0) {
            const dace_tool::Stamping stamping(m_->volume().stamp());
            if (dace_truncate(s, name.c_str(), 0) != DACE_OK)
                give_up(s, "emptying the file failed");
        }
        // Opening for appending commits: positioning always does.
        if (mode == Mode::Append && dace_seek(s, h_, 0, DACE_SEEK_END) != DACE_OK)
            give_up(s, "the file's end cannot be reached");
    }
    mount_ = m_->mount_count();
}

size_t Handle::readinto(const py::buffer &target) {
    Py_buffer view;
    if (PyObject_GetBuffer(target.ptr(), &view, PyBUF_SIMPLE | PyBUF_WRITABLE) != 0)
        throw py::error_already_set();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
    dace_state *s = open_state();
    const uint32_t pos = dace_tell(s, h_);
    const uint32_t size = file_size();
    const size_t want = std::min<size_t>(static_cast<size_t>(view.len), pos < size ? size - pos : 0);
    auto *out = static_cast<uint8_t *>(view.buf);
    size_t done = 0;
    while (done < want) {
        const uint32_t got = dace_read(s, out + done, static_cast<uint32_t>(std::min<size_t>(kChunk, want - done)), h_);
        done += got;
        if (got == 0)
            break;
    }
    if (done == 0 && want > 0)
        raise_last(s, "at byte " + std::to_string(pos), name_);
    return done;
}

size_t Handle::write(const py::buffer &source) {
    Py_buffer view;
    if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0)
        throw py::error_already_set();
    const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
    dace_state *s = open_state();
    const auto count = static_cast<uint64_t>(view.len);
    const auto *data = static_cast<const uint8_t *>(view.buf);
    const dace_tool::Stamping stamping(m_->volume().stamp());
    size_t done = 0;
    bool committed = false;
    while (done < count) {
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, count - done));
        const uint32_t took = dace_write(s, data + done, want, h_);
        done += took;
        if (took == want)
            continue;
        // Clusters released since the last commit are handed out only once
        // a root copy without them is on the medium: commit, then try once
        // more.
        if (dace_error(s) == DACE_E_MEDIUM_FULL && !committed) {
            committed = true;
            if (dace_flush(s, h_) == DACE_OK)
                continue;
        }
        raise_last(s, std::to_string(done) + " of " + std::to_string(count) + " bytes taken into the file", name_);
    }
    return done;
}

uint64_t Handle::seek(long long offset, int whence) {
    dace_state *s = open_state();
    const long long pos = dace_tell(s, h_);
    long long target = 0;
    switch (whence) {
    case 0: target = offset; break;
    case 1: target = pos + offset; break;
    case 2: target = static_cast<long long>(file_size()) + offset; break;
    default: throw py::value_error("whence must be 0, 1 or 2");
    }
    // The library takes positions of 0 to 4 GiB - 1.
    if (target < 0)
        raise_reason(DACE_E_INVALID_ARGUMENT, "a position before the start of the file", name_);
    if (target > 0xFFFFFFFFll)
        raise_reason(DACE_E_BEYOND_END, "", name_);
    if (target == pos)
        return static_cast<uint64_t>(pos);
    if (dace_seek(s, h_, static_cast<uint32_t>(target), DACE_SEEK_SET) != DACE_OK)
        raise_last(s, "to byte " + std::to_string(target), name_);
    return static_cast<uint64_t>(target);
}

uint64_t Handle::size() {
    open_state();
    return file_size();
}

void Handle::flush() {
    dace_state *s = open_state();
    if (dace_flush(s, h_) != DACE_OK)
        raise_last(s, "the data stays in memory for the next commit", name_);
}

void Handle::close() {
    if (!valid()) {
        h_ = 0;
        return;
    }
    dace_state *s = m_->state();
    if (dace_close(s, h_) == DACE_CLOSE_WRITE_FAILED)
        raise_last(s, "the file stays open: close again to retry", name_);
    h_ = 0;
}

dace_state *Handle::open_state() {
    if (!valid())
        throw py::value_error(lost() ? "I/O operation on a file that a remount closed"
                                     : "I/O operation on closed file");
    return m_->state();
}

uint32_t Handle::file_size() {
    dace_entry e{};
    dace_statf(m_->state(), h_, &e);
    return e.size;
}

void Handle::give_up(dace_state *s, const std::string &what) {
    const int code = dace_error(s);
    (void)dace_close(s, h_);
    h_ = 0;
    raise_reason(code, what, name_);
}

} // namespace dace_python
