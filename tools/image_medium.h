// The medium behind a mounted image: the image's bytes in memory, behaving
// toward the library as the device does. An erase sets whole clusters to
// 0xFF; a program can only clear bits, and one that would change a byte that
// is not erased stops at that byte and returns the bytes done before it, as
// the device refuses it. Besides memory, each change can reach the image
// file at once (a mount) and be kept in a journal (a change written into a
// larger file in place, image_file.h).
//
// This is the tool's own medium behind the Volume's medium interface
// (medium.h): it has no fault injection, counters or call log, and nothing
// made for the tests' simulator reaches it.
#ifndef DACE_TOOLS_IMAGE_MEDIUM_H
#define DACE_TOOLS_IMAGE_MEDIUM_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "tools/image_file.h"
#include "tools/medium.h"

namespace dace_tool {

class ImageMedium : public Medium {
public:
    // `bytes` is the medium, in pages of `page_size` bytes grouped in
    // clusters of `clus_pages` pages; trailing pages that make up no whole
    // cluster are read and programmed but never erased. A `size` larger
    // than `bytes` is an image cut short: the medium still has `size`
    // bytes, and those past the image's end read erased, as when a dump
    // stopped early, so that a volume that records its size mounts and
    // what was cut off reads as lost. They take memory only once a program
    // or erase reaches them.
    ImageMedium(std::vector<uint8_t> bytes, uint16_t page_size, uint16_t clus_pages, size_t size = 0);

    // Points the read, write and erase callbacks of `config` at this medium.
    void attach(dace_config &config) override;

    // Every program and erase also writes the bytes it left to `fd`, the
    // medium starting at byte `origin` of the file, so that the file always
    // holds the medium as the library left it. A failed file write fails
    // the medium call (the change stays in memory).
    void mirror_to(int fd, uint64_t origin);
    // Keeps every program and erase from now on, for write_in_place.
    void keep_journal() { journaling_ = true; }

    // The medium as far as the image held it or a change reached.
    const std::vector<uint8_t> &bytes() const override { return bytes_; }
    const std::vector<MediumWrite> &journal() const override { return journal_; }
    // The errno of the first mirror write that failed since the last call,
    // or 0.
    int take_mirror_error() { return std::exchange(mirror_error_, 0); }
    int take_host_error() override { return take_mirror_error(); }

private:
    static uint32_t read_cb(void *ctx, uint32_t page, void *dst, uint32_t count);
    static uint32_t write_cb(void *ctx, uint32_t page, const void *src, uint32_t count);
    static uint32_t erase_cb(void *ctx, uint32_t first_clus, uint32_t clus_count);

    bool in_range(uint32_t page, uint32_t count) const;
    // Makes the first `end` bytes of the medium real memory (erased where
    // the image did not hold them).
    void hold(size_t end);
    uint32_t read(uint32_t page, void *dst, uint32_t count) const;
    uint32_t program(uint32_t page, const void *src, uint32_t count);
    uint32_t erase(uint32_t first, uint32_t n);
    // Hands a change on to the journal and the mirror; false when the
    // mirror refused it.
    bool pass_on(size_t offset, size_t count, bool erased);

    std::vector<uint8_t> bytes_;
    size_t size_;
    uint32_t page_size_;
    uint32_t clus_size_;
    uint32_t clus_count_;
    int mirror_fd_ = -1;
    uint64_t mirror_origin_ = 0;
    int mirror_error_ = 0;
    bool journaling_ = false;
    std::vector<MediumWrite> journal_;
};

} // namespace dace_tool

#endif // DACE_TOOLS_IMAGE_MEDIUM_H
