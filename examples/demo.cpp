// Demo: a small data logger on a simulated SPI-NOR flash. Every boot mounts
// the volume, lists and reads back what earlier boots committed, rotates a
// log that has grown long (the old copy removed, the log renamed), then
// appends readings and events, flushing after each batch. One boot loses
// power in the middle of a flush; the next finds everything flushed before
// it and nothing of the batch in flight. Exits non-zero when anything read
// back differs from what the logger committed, so it doubles as a smoke test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"

namespace {

using Files = std::map<std::string, std::string>; // name -> content

const char *const kBootCount = "boot.count"; // binary: one 4-byte little-endian boot number per boot
const char *const kTemp = "temp.log";
const char *const kEvents = "events.log";
const char *const kTempOld = "temp.old"; // the previous temp.log, kept one rotation long
constexpr size_t kRotateAt = 450;        // bytes of temp.log that start a new one

// Lays out `block` (dace_init wants 8-byte alignment) and mounts, formatting
// a blank medium. There is no unmount: once everything is flushed or closed
// the block can simply be dropped, or the power can go.
dace_state *mount(const dace_config &cfg, std::vector<uint64_t> &block) {
    const uint32_t size = dace_getstatesize(&cfg);
    block.assign(size / sizeof(uint64_t) + 1, 0);
    return size != 0 ? dace_init(&cfg, block.data()) : nullptr;
}

std::string read_file(dace_state *fs, const char *name) {
    std::string out;
    const dace_handle h = dace_open(fs, name);
    char buf[64];
    for (uint32_t n; h != 0 && (n = dace_read(fs, buf, sizeof buf, h)) != 0;)
        out.append(buf, n);
    dace_close(fs, h);
    return out;
}

// Every file the directory lists, read whole.
Files read_back(dace_state *fs) {
    Files found;
    dace_dir dir;
    for (const dace_entry *e = dace_readdir(fs, dace_opendir(fs, &dir)); e != nullptr; e = dace_readdir(fs, &dir)) {
        const auto *name = reinterpret_cast<const char *>(e->name);
        const std::string text(name, std::find(name, name + sizeof e->name, '\0'));
        found[text] = read_file(fs, text.c_str());
    }
    return found;
}

// Files grow only at their end: a new file is created, an existing one is
// opened and positioned at its end.
dace_handle open_for_append(dace_state *fs, const char *name) {
    if (dace_find_file(fs, name) < 0)
        return dace_create(fs, name);
    const dace_handle h = dace_open(fs, name);
    return h != 0 && dace_seek(fs, h, 0, DACE_SEEK_END) == DACE_OK ? h : 0;
}

// The logger's own record of what it wrote, so every boot can check the flash.
struct Logger {
    dace_state *fs = nullptr;
    std::map<std::string, dace_handle> open;
    Files committed; // made durable by a flush or close that succeeded
    Files pending;   // written since, lost if the power goes first

    // Positioning a handle commits whatever is pending on all of them, so
    // every file is opened before anything is written.
    bool open_all() {
        open.clear(); // handles die with the state block
        for (const char *name : {kBootCount, kTemp, kEvents}) {
            const dace_handle h = open_for_append(fs, name);
            if (h == 0)
                return false;
            open[name] = h;
        }
        return true;
    }
    bool append(const char *name, const std::string &rec) {
        const auto n = static_cast<uint32_t>(rec.size());
        if (dace_write(fs, rec.data(), n, open.at(name)) != n)
            return false;
        pending[name] += rec;
        return true;
    }
    // A flush of any one handle commits what was written on all of them.
    bool flush() {
        if (dace_flush(fs, open.begin()->second) != 0)
            return false;
        commit_pending();
        return true;
    }
    bool close_all() {
        bool ok = true;
        for (auto &[name, h] : open)
            ok = dace_close(fs, h) == DACE_OK && ok;
        if (ok)
            commit_pending();
        return ok;
    }
    void commit_pending() {
        for (auto &[name, data] : pending)
            committed[name] += data;
        pending.clear();
    }
    // Each change by name is committed before it returns.
    bool rotate() {
        const auto log_file = committed.find(kTemp);
        if (log_file == committed.end() || log_file->second.size() < kRotateAt)
            return true;
        if (dace_find_file(fs, kTempOld) >= 0 && dace_remove(fs, kTempOld) != DACE_OK)
            return false;
        committed.erase(kTempOld);
        if (dace_rename(fs, kTemp, kTempOld) != DACE_OK)
            return false;
        std::printf("  rotated %s (%zu bytes) to %s\n", kTemp, log_file->second.size(), kTempOld);
        committed[kTempOld] = std::move(log_file->second);
        committed.erase(kTemp);
        return true;
    }
    Files with_pending() const {
        Files all = committed;
        for (const auto &[name, data] : pending)
            all[name] += data;
        return all;
    }
};

std::vector<std::string> last_lines(const std::string &text, size_t n) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end()};
}

std::string le32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}
uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;)
        v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

std::string stamp(unsigned boot, unsigned t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "boot %u t=%04u ", boot, t);
    return buf;
}

// Prints what the flash holds and checks it against the logger. After a cut
// the batch in flight may be missing (the cut came before its commit) or
// whole (after it); anything else is a fault.
bool report(dace_state *fs, Logger &log) {
    const Files found = read_back(fs);
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(fs, &total);
    std::printf("  %zu files, %u of %u bytes free\n", found.size(), unsigned{free_bytes}, unsigned{total});
    for (const auto &[name, data] : found) {
        std::printf("  %-11s %5zu bytes", name.c_str(), data.size());
        if (name == kBootCount) {
            std::printf("  boots logged: %zu, last #%u\n", data.size() / 4,
                        data.size() >= 4 ? unsigned{le32(data, data.size() - 4)} : 0u);
            continue;
        }
        std::putchar('\n');
        for (const std::string &line : last_lines(data, name == kEvents ? 1 : 2))
            std::printf("      %s\n", line.c_str());
    }
    if (found == log.committed) {
        if (!log.pending.empty())
            std::puts("  check: all flushed data intact, the unflushed tail is gone");
        else
            std::puts("  check: matches everything committed");
    } else if (!log.pending.empty() && found == log.with_pending()) {
        std::puts("  check: the batch in flight was committed before the cut");
        log.commit_pending();
    } else {
        std::puts("  check: FAILED, the flash differs from what was committed");
        return false;
    }
    log.pending.clear();
    return true;
}

// Three batches of four readings, ten seconds apart, with a flush after each.
// With `cut_at` set, the power goes that many bytes into the third flush.
bool log_session(Logger &log, unsigned boot, dace_sim::FlashSim &flash, uint64_t cut_at) {
    bool ok = log.rotate() && log.open_all() && log.append(kBootCount, le32(boot)) &&
              log.append(kEvents, stamp(boot, 0) + "up\n") && log.flush();
    for (unsigned batch = 0; ok && batch < 3; ++batch) {
        for (unsigned i = 1; ok && i <= 4; ++i) {
            const unsigned t = (batch * 4 + i) * 10;
            const unsigned tenths = 200 + (boot * 7 + t / 10 * 3) % 25;
            char rec[64];
            std::snprintf(rec, sizeof rec, "temp=%u.%uC\n", tenths / 10, tenths % 10);
            ok = log.append(kTemp, stamp(boot, t) + rec);
            if (ok && tenths >= 222)
                ok = log.append(kEvents, stamp(boot, t) + "fan on\n");
        }
        if (ok && batch == 2 && cut_at != 0) {
            flash.cut_after_bytes(cut_at);
            const bool flushed = log.flush(); // true only if it needed fewer bytes than that
            size_t in_flight = 0;
            for (const auto &entry : log.pending)
                in_flight += entry.second.size();
            std::printf("  2 batches flushed; power cut %llu bytes into the third flush (%s), %zu bytes in flight\n",
                        static_cast<unsigned long long>(cut_at), flushed ? "it completed" : "it failed", in_flight);
            return true; // the next boot checks what survived
        }
        ok = ok && log.flush();
    }
    ok = ok && log.close_all();
    std::printf("  logged 12 readings in 3 batches, flushed each, %s\n", ok ? "closed" : "FAILED");
    return ok;
}

} // namespace

int main() {
    dace_sim::FlashSim flash(dace_sim::Geometry{256, 8, 1024}); // 256 KiB SPI-NOR, 2 KiB clusters
    dace_config cfg = flash.config(4);
    std::printf("data logger on a simulated SPI-NOR: 256-byte pages, 8 pages per cluster, 1024 pages;"
                " state block %u bytes\n",
                unsigned{dace_getstatesize(&cfg)});

    Logger log;
    bool ok = true;
    for (unsigned boot = 1; ok && boot <= 6; ++boot) {
        std::vector<uint64_t> block; // a fresh state block, as after a reset
        dace_state *fs = mount(cfg, block);
        if (fs == nullptr) {
            std::printf("boot %u: mount failed\n", boot);
            return 1;
        }
        std::printf("boot %u%s\n", boot, boot == 1 ? ": blank flash formatted" : "");
        log.fs = fs;
        ok = report(fs, log) && (boot == 6 || log_session(log, boot, flash, boot == 3 ? 600 : 0));
        flash.reboot();
    }
    std::puts(ok ? "all read-backs matched" : "MISMATCH");
    return ok ? 0 : 1;
}
