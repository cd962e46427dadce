#include "tools/image_medium.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/medium_fields.h"

namespace dace_tool {

namespace {

constexpr uint8_t kErased = 0xFF;

} // namespace

ImageMedium::ImageMedium(std::vector<uint8_t> bytes, uint16_t page_size, uint16_t clus_pages, size_t size)
    : bytes_(std::move(bytes)), size_(std::max(size, bytes_.size())), page_size_(page_size),
      clus_size_(uint32_t{page_size} * clus_pages),
      clus_count_(clus_size_ != 0 ? static_cast<uint32_t>(size_ / clus_size_) : 0u) {}

void ImageMedium::attach(dace_config &config) {
    config.io_ctx = this;
    config.read_fn = &ImageMedium::read_cb;
    config.write_fn = &ImageMedium::write_cb;
    config.erase_fn = &ImageMedium::erase_cb;
}

void ImageMedium::mirror_to(int fd, uint64_t origin) {
    mirror_fd_ = fd;
    mirror_origin_ = origin;
}

bool ImageMedium::in_range(uint32_t page, uint32_t count) const {
    // 64-bit, so that no page number can wrap around into range.
    return uint64_t{page} * page_size_ + count <= size_;
}

void ImageMedium::hold(size_t end) {
    if (end > bytes_.size())
        bytes_.resize(end, kErased);
}

uint32_t ImageMedium::read(uint32_t page, void *dst, uint32_t count) const {
    if (dst == nullptr || !in_range(page, count))
        return 0;
    const size_t offset = size_t{page} * page_size_;
    const size_t held = offset < bytes_.size() ? std::min<size_t>(count, bytes_.size() - offset) : 0;
    if (held != 0)
        std::memmove(dst, bytes_.data() + offset, held);
    std::memset(static_cast<uint8_t *>(dst) + held, kErased, count - held);
    return count;
}

uint32_t ImageMedium::program(uint32_t page, const void *src, uint32_t count) {
    if (src == nullptr || !in_range(page, count))
        return 0;
    const size_t offset = size_t{page} * page_size_;
    hold(offset + count);
    uint8_t *dst = bytes_.data() + offset;
    const auto *data = static_cast<const uint8_t *>(src);
    uint32_t done = 0;
    for (; done < count; ++done) {
        const auto now = static_cast<uint8_t>(dst[done] & data[done]);
        if (dst[done] != kErased && now != dst[done])
            break; // only an erase sets bits again
        dst[done] = now;
    }
    return pass_on(offset, done, false) ? done : 0;
}

uint32_t ImageMedium::erase(uint32_t first, uint32_t n) {
    if (n == 0 || first >= clus_count_ || n > clus_count_ - first)
        return 0;
    const size_t offset = size_t{first} * clus_size_;
    const size_t count = size_t{n} * clus_size_;
    hold(offset + count);
    std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), count, kErased);
    return pass_on(offset, count, true) ? n : 0;
}

// An erase, or a root copy, must not reach the file before what the medium
// held when it was made: write_in_place syncs the file before such a barrier.
bool ImageMedium::pass_on(size_t offset, size_t count, bool erased) {
    if (count == 0)
        return true;
    const uint8_t *bytes = bytes_.data() + offset;
    if (journaling_) {
        const uint32_t word = count >= 4 ? load_le32(bytes) : 0;
        const bool root = offset % page_size_ == 0 && word == ROOT_MAGIC;
        journal_.push_back(MediumWrite{offset, std::vector<uint8_t>(bytes, bytes + count), erased || root});
    }
    if (mirror_fd_ < 0)
        return true;
    errno = 0;
    if (write_all_at(mirror_fd_, bytes, count, mirror_origin_ + offset))
        return true;
    if (mirror_error_ == 0)
        mirror_error_ = errno != 0 ? errno : EIO;
    return false;
}

uint32_t ImageMedium::read_cb(void *ctx, uint32_t page, void *dst, uint32_t count) {
    return static_cast<const ImageMedium *>(ctx)->read(page, dst, count);
}

uint32_t ImageMedium::write_cb(void *ctx, uint32_t page, const void *src, uint32_t count) {
    return static_cast<ImageMedium *>(ctx)->program(page, src, count);
}

uint32_t ImageMedium::erase_cb(void *ctx, uint32_t first_clus, uint32_t clus_count) {
    return static_cast<ImageMedium *>(ctx)->erase(first_clus, clus_count);
}

} // namespace dace_tool
