// libdace for C++ firmware: a header-only layer over the calls of
// dace/dace.h, one inline function for each. Its only code beyond the C
// calls asks dace_error() why a call failed, and checks at a mount that the
// state block is large enough for the configuration.
//
// Freestanding: no exceptions, no heap, no RTTI, nothing of the standard
// library that needs its run-time part (only <cstddef>, <cstdint>, <span>,
// <type_traits> and <utility>). It builds with -std=c++20 -fno-exceptions
// -fno-rtti.
//
//   static dace::state_block<DACE_STATE_SIZE(256, 16, 16384, 2)> block;
//   auto vol = dace::volume::init(cfg, block);       // or mount (never writes), format
//   if (!vol) return vol.error();                    // a DACE_E_ reason
//   auto log = vol.value().create("temp.log");       // closes itself at the end of its scope
//   log.value().write(dace::bytes_of(record));
//   if (auto done = log.value().close(); !done) ...  // a close that fails says why
//   for (const dace_entry &e : vol.value().entries()) ...
//
// Every call returns a result: ok(), or error() with the DACE_E_ reason of
// dace/dace.h. The durability rules are the C calls' (README, "What
// survives a power cut"): a write is durable once flushed, closed or sought
// past; a change by name is on the medium when it returns ok.
#ifndef DACE_DACE_HPP
#define DACE_DACE_HPP

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "dace/dace.h"

namespace dace {

// ---- results ------------------------------------------------------------------

class file;
class volume;

// Why a call failed: a DACE_E_ reason other than DACE_E_NONE.
struct failure {
    int reason;
};

// A value, or the reason why there is none. value() of a failed result is
// T's empty value (a file that is not open, a volume without a state),
// except for read and write, whose value() is always the bytes moved: a
// write that falls short has taken that many bytes, and error() says why
// it took no more.
template <class T> class [[nodiscard]] result {
public:
    // By reference rather than by value: a record is then copied once.
    constexpr result(const T &value) noexcept(std::is_nothrow_copy_constructible_v<T>)
        requires std::is_copy_constructible_v<T>
        : value_(value) {}
    constexpr result(T &&value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    constexpr result(failure why) noexcept : error_(why.reason) {}
    // A value that comes with a reason: the bytes a short read or write moved.
    constexpr result(T value, int reason) noexcept(std::is_nothrow_move_constructible_v<T>)
        : value_(std::move(value)), error_(reason) {}

    constexpr bool ok() const noexcept { return error_ == DACE_E_NONE; }
    constexpr explicit operator bool() const noexcept { return ok(); }
    constexpr int error() const noexcept { return error_; }

    constexpr T &value() & noexcept { return value_; }
    constexpr const T &value() const & noexcept { return value_; }
    constexpr T &&value() && noexcept { return std::move(value_); }

private:
    // The calls that fill a value in place (stat), without a copy.
    friend class file;
    friend class volume;

    T value_{};
    int error_ = DACE_E_NONE;
};

// Done, or the reason why not.
template <> class [[nodiscard]] result<void> {
public:
    constexpr result() noexcept = default;
    constexpr result(failure why) noexcept : error_(why.reason) {}

    constexpr bool ok() const noexcept { return error_ == DACE_E_NONE; }
    constexpr explicit operator bool() const noexcept { return ok(); }
    constexpr int error() const noexcept { return error_; }

private:
    int error_ = DACE_E_NONE;
};

namespace detail {
// A status call's result: `done`, or why not, from the state. Inlined, the
// caller's test of ok() merges with the C call's own.
[[gnu::always_inline]] inline result<void> status(const dace_state *state, bool done) noexcept {
    if (done)
        return {};
    return failure{dace_error(state)};
}

// Byte counts of the C calls are 32 bits wide; a longer span (possible on
// a 64-bit host only) moves its first 4 GiB - 1 bytes.
constexpr std::uint32_t count_of(std::size_t bytes) noexcept {
    if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t))
        return bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(bytes);
    else
        return static_cast<std::uint32_t>(bytes);
}
} // namespace detail

// ---- configuration ----------------------------------------------------------------

// DACE_CONFIG_OK, or the first rule the configuration breaks.
inline int check_config(const dace_config &config) noexcept { return dace_check_config(&config); }
// Bytes of the state block the configuration needs; 0 when it is refused.
inline std::uint32_t state_size(const dace_config &config) noexcept { return dace_getstatesize(&config); }
// DACE_NAME_OK for 1 to 18 bytes without '/' or '\\'.
inline int check_name(const char *name) noexcept { return dace_check_filename(name); }

// ---- data -------------------------------------------------------------------------

// The bytes of a record, to write or to read into.
template <class T>
    requires(std::is_trivially_copyable_v<T> && !std::is_pointer_v<T>)
constexpr std::span<const std::byte, sizeof(T)> bytes_of(const T &object) noexcept {
    return std::as_bytes(std::span<const T, 1>(&object, 1));
}
template <class T>
    requires(std::is_trivially_copyable_v<T> && !std::is_pointer_v<T> && !std::is_const_v<T>)
constexpr std::span<std::byte, sizeof(T)> writable_bytes_of(T &object) noexcept {
    return std::as_writable_bytes(std::span<T, 1>(&object, 1));
}

// The name of a directory entry, without the NUL that ends a name shorter
// than 18 bytes.
inline std::span<const char> entry_name(const dace_entry &entry) noexcept {
    std::size_t n = 0;
    while (n < sizeof entry.name && entry.name[n] != 0)
        ++n;
    return {reinterpret_cast<const char *>(entry.name), n};
}

// A state block for `Bytes` (DACE_STATE_SIZE or more), 8-byte aligned as the
// mount requires: static dace::state_block<DACE_STATE_SIZE(...)> block;
template <std::uint32_t Bytes> using state_block = std::uint64_t[(Bytes + 7u) / 8u];

// ---- files ------------------------------------------------------------------------

enum class whence : int { set = DACE_SEEK_SET, current = DACE_SEEK_CUR, end = DACE_SEEK_END };

// An open file. It closes itself when it goes out of scope, which commits
// what was written; a close that fails there cannot say so, so call close()
// where the outcome matters. Movable, not copyable: one owner closes it
// once. A default-constructed file is something to move a file into: only
// close() and the destructor may be called on it.
class file {
public:
    file() noexcept = default;
    // Takes over a handle of dace_create or dace_open on `state`.
    file(dace_state *state, dace_handle handle) noexcept : state_(state), handle_(handle) {}
    file(const file &) = delete;
    file &operator=(const file &) = delete;
    file(file &&other) noexcept : state_(other.state_), handle_(std::exchange(other.handle_, 0u)) {}
    file &operator=(file &&other) noexcept {
        if (this != &other) {
            if (handle_ != 0)
                (void)dace_close(state_, handle_);
            state_ = other.state_;
            handle_ = std::exchange(other.handle_, 0u);
        }
        return *this;
    }
    ~file() {
        if (handle_ != 0)
            (void)dace_close(state_, handle_);
    }

    constexpr bool is_open() const noexcept { return handle_ != 0; }
    constexpr dace_handle handle() const noexcept { return handle_; }
    // Gives the handle up without closing it: the caller closes it.
    constexpr dace_handle release() noexcept { return std::exchange(handle_, 0u); }

    // Appends at the end of the file (only there): value() is the bytes
    // taken, all of them when ok().
    result<std::uint32_t> write(std::span<const std::byte> data) noexcept {
        const std::uint32_t n = dace_write(state_, data.data(), detail::count_of(data.size()), handle_);
        return {n, dace_error(state_)};
    }
    // Copies bytes from the position on: value() is the bytes copied, fewer
    // than asked at the end of the file, which is no failure.
    result<std::uint32_t> read(std::span<std::byte> into) noexcept {
        const std::uint32_t n = dace_read(state_, into.data(), detail::count_of(into.size()), handle_);
        return {n, dace_error(state_)};
    }
    // Makes everything written so far durable, on every open file.
    result<void> flush() noexcept { return detail::status(state_, dace_flush(state_, handle_) == DACE_OK); }
    // Commits as flush() does, then moves the position; from the end,
    // `offset` counts back.
    result<void> seek(std::uint32_t offset, whence from = whence::set) noexcept {
        return detail::status(state_, dace_seek(state_, handle_, offset, static_cast<int>(from)) == DACE_OK);
    }
    result<std::uint32_t> tell() const noexcept {
        const std::uint32_t at = dace_tell(state_, handle_);
        return {at, dace_error(state_)};
    }
    result<bool> at_end() const noexcept {
        const int end = dace_feof(state_, handle_);
        return {end == 1, dace_error(state_)};
    }
    result<dace_entry> stat() const noexcept {
        result<dace_entry> r{dace_entry{}};
        if (dace_statf(state_, handle_, &r.value_) != DACE_OK)
            r.error_ = dace_error(state_);
        return r;
    }
    // Writes out, commits and frees the handle. When a write falls short the
    // file stays open (the reason is DACE_E_WRITE_FAILED): close() again, or
    // let the destructor, retry.
    result<void> close() noexcept {
        if (handle_ == 0) // closed, moved from, or never opened: there may be no state to ask
            return failure{DACE_E_BAD_HANDLE};
        const int closed = dace_close(state_, handle_);
        if (closed != DACE_CLOSE_WRITE_FAILED)
            handle_ = 0;
        return detail::status(state_, closed == DACE_OK);
    }

private:
    dace_state *state_ = nullptr;
    dace_handle handle_ = 0;
};

// ---- the directory ------------------------------------------------------------------

// Every file in creation order, for a range-for over dace_entry. The walk
// sees changes at once, as dace_readdir does.
class directory {
public:
    struct sentinel {};
    class iterator {
    public:
        using value_type = dace_entry;
        using difference_type = std::ptrdiff_t;

        const dace_entry &operator*() const noexcept { return dir_.entry; }
        const dace_entry *operator->() const noexcept { return &dir_.entry; }
        iterator &operator++() noexcept {
            last_ = dace_readdir(state_, &dir_);
            return *this;
        }
        void operator++(int) noexcept { ++*this; }
        friend bool operator==(const iterator &it, sentinel) noexcept { return it.last_ == nullptr; }

    private:
        friend class directory;
        explicit iterator(dace_state *state) noexcept : state_(state) {
            (void)dace_opendir(state_, &dir_);
            ++*this;
        }
        dace_state *state_;
        dace_dir dir_{};
        // What dace_readdir returned last, only ever compared with null (it
        // points into the dace_dir of the iterator it was read by).
        const dace_entry *last_ = nullptr;
    };

    constexpr explicit directory(dace_state *state) noexcept : state_(state) {}
    iterator begin() const noexcept { return iterator(state_); }
    constexpr sentinel end() const noexcept { return {}; }

private:
    dace_state *state_;
};

// ---- the volume -----------------------------------------------------------------------

// Bytes of the medium (dace_getfreespace): what writes may still take, each
// cluster counted whole, and all clusters.
struct space_info {
    std::uint32_t free;
    std::uint32_t total;
};

// A mounted volume: the state that dace_mount, dace_init or dace_format
// laid out in the caller's block. It owns nothing (there is no unmount:
// close the files, then drop the block), so copies all name the same
// volume. Open files refer to the block and must not outlive it.
class volume {
public:
    constexpr volume() noexcept = default;
    // Takes a state that the C calls mounted.
    constexpr explicit volume(dace_state *state) noexcept : state_(state) {}

    // Mounts the volume on the medium without erasing or programming
    // anything: DACE_E_NOT_A_VOLUME on a medium without one. A block smaller
    // than the configuration needs is refused (DACE_E_CONFIG) untouched.
    static result<volume> mount(const dace_config &config, std::span<std::uint64_t> block) noexcept {
        if (!fits(config, block))
            return failure{DACE_E_CONFIG};
        return mounted(dace_mount(&config, block.data()), block.data());
    }
    // As mount, but formats a medium that holds nothing of this file system.
    static result<volume> init(const dace_config &config, std::span<std::uint64_t> block) noexcept {
        if (!fits(config, block))
            return failure{DACE_E_CONFIG};
        return mounted(dace_init(&config, block.data()), block.data());
    }
    // Makes the medium an empty volume, whatever it holds, and mounts it.
    static result<volume> format(const dace_config &config, std::span<std::uint64_t> block) noexcept {
        if (!fits(config, block))
            return failure{DACE_E_CONFIG};
        return mounted(dace_format(&config, block.data()), block.data());
    }

    constexpr dace_state *native() const noexcept { return state_; }
    // The reason of the last call on this volume (dace_error).
    int last_error() const noexcept { return dace_error(state_); }

    // A new empty file, open; it reaches the medium with the next commit.
    result<file> create(const char *name) const noexcept { return opened(dace_create(state_, name)); }
    // An existing file, open at position 0.
    result<file> open(const char *name) const noexcept { return opened(dace_open(state_, name)); }

    // Changes by name: each is on the medium when it returns ok.
    result<void> remove(const char *name) const noexcept {
        return detail::status(state_, dace_remove(state_, name) == DACE_OK);
    }
    // Another file may keep bearing `to`: lookups find the earlier.
    result<void> rename(const char *from, const char *to) const noexcept {
        return detail::status(state_, dace_rename(state_, from, to) == DACE_OK);
    }
    // Drops the file bearing `to` in the same commit: a power cut leaves the
    // old pair or the new name alone, the way to replace a settings file.
    result<void> rename_replace(const char *from, const char *to) const noexcept {
        return detail::status(state_, dace_rename_replace(state_, from, to) == DACE_OK);
    }
    result<void> truncate(const char *name, std::uint32_t length) const noexcept {
        return detail::status(state_, dace_truncate(state_, name, length) == DACE_OK);
    }

    // The entry of the file named `name`, changes not yet committed included.
    result<dace_entry> stat(const char *name) const noexcept {
        result<dace_entry> r{dace_entry{}};
        if (dace_stat(state_, name, &r.value_) != DACE_OK)
            r.error_ = dace_error(state_);
        return r;
    }
    constexpr directory entries() const noexcept { return directory(state_); }
    space_info space() const noexcept {
        space_info s; // both fields filled by the call
        s.free = dace_getfreespace(state_, &s.total);
        return s;
    }

    // Erases up to `max` free clusters ahead of the writes that will take
    // them, in idle time: value() is the clusters erased.
    result<std::uint16_t> erase_ahead(std::uint16_t max) const noexcept {
        const int n = dace_erase_ahead(state_, max);
        return {static_cast<std::uint16_t>(n < 0 ? 0 : n), n < 0 ? dace_error(state_) : DACE_E_NONE};
    }
    // Spreads erases over the medium from cluster `start`: after every
    // mount, with a value that changes from boot to boot.
    void level_wear(std::uint16_t start) const noexcept { dace_level_wear(state_, start); }
    void verify_reads(bool on) const noexcept { dace_verify_reads(state_, on ? 1 : 0); }

private:
    static bool fits(const dace_config &config, std::span<std::uint64_t> block) noexcept {
        return state_size(config) <= block.size_bytes();
    }
    static result<volume> mounted(dace_state *state, const void *block) noexcept {
        if (state != nullptr)
            return volume(state);
        return failure{dace_init_error(block)};
    }
    // A refused open or create still names the volume, so that calls on
    // the file it holds report DACE_E_BAD_HANDLE.
    result<file> opened(dace_handle handle) const noexcept {
        return {file(state_, handle), handle != 0 ? DACE_E_NONE : dace_error(state_)};
    }

    dace_state *state_ = nullptr;
};

} // namespace dace

#endif // DACE_DACE_HPP
