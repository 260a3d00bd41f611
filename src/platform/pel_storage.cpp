// Memory for pixel storage.
//
// Blocks below 1 MiB come from calloc. Larger ones are mapped directly,
// aligned to 2 MiB and marked for transparent huge pages, which makes the
// first touch of a fresh block several times cheaper than with 4 KiB pages.
// Each thread also keeps the last large blocks it released (at most 4 and
// 128 MiB in all; the oldest go first) and hands them out again, zeroed, to
// allocations of the same size or up to a quarter smaller: a pipeline that
// makes and drops images of one size then pays a memset instead of a page
// fault per page. The trade-off is that up to 128 MiB per thread that has
// released large images stays mapped until that thread ends. No lock is
// taken: a block released on another thread joins that thread's blocks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "imgnorm/pelbuffer.h"
#include "platform/parallel.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VK_ADDRESS_SANITIZER 1
#endif

// Under AddressSanitizer every block comes from calloc, so that overflows of
// large buffers are caught too.
#if defined(__linux__) && !defined(VK_ADDRESS_SANITIZER)
#include <sys/mman.h>
#define VK_MAP_LARGE_BLOCKS 1
#else
#define VK_MAP_LARGE_BLOCKS 0
#endif

namespace {

#if VK_MAP_LARGE_BLOCKS

constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr int kMaxKept = 4;
constexpr std::size_t kMaxKeptBytes = std::size_t{128} << 20;

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// A fresh zeroed mapping of `capacity` bytes (a multiple of the page size),
// starting on a huge-page boundary when it spans at least one huge page.
void* mapBlock(std::size_t capacity) {
    const std::size_t slack = capacity >= kHugePage ? kHugePage : 0;
    void* p =
        mmap(nullptr, capacity + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto* start = static_cast<char*>(p);
    if (slack != 0) {
        // Trim the mapping to an aligned range.
        const auto addr = reinterpret_cast<std::uintptr_t>(p);
        const std::size_t head = (kHugePage - addr % kHugePage) % kHugePage;
        if (head != 0) munmap(start, head);
        if (slack - head != 0) munmap(start + head + capacity, slack - head);
        start += head;
        madvise(start, capacity, MADV_HUGEPAGE);
    }
    return start;
}

// The large blocks this thread released last, newest first.
class KeptBlocks {
  public:
    ~KeptBlocks();
    // A kept block of capacity in [capacity, capacity * 5 / 4] (the closest),
    // taken out of the set; null when there is none.
    void* take(std::size_t capacity) {
        int best = -1;
        for (int i = 0; i < count_; ++i)
            if (capacity_[i] >= capacity && capacity_[i] <= capacity + capacity / 4 &&
                (best < 0 || capacity_[i] < capacity_[best]))
                best = i;
        if (best < 0) return nullptr;
        void* p = block_[best];
        bytes_ -= capacity_[best];
        for (int i = best; i + 1 < count_; ++i) {
            block_[i] = block_[i + 1];
            capacity_[i] = capacity_[i + 1];
        }
        --count_;
        return p;
    }
    // Keeps the block, unmapping the oldest ones beyond the limits.
    void put(void* p, std::size_t capacity) {
        while (count_ > 0 && (count_ == kMaxKept || bytes_ + capacity > kMaxKeptBytes)) {
            --count_;
            bytes_ -= capacity_[count_];
            munmap(block_[count_], capacity_[count_]);
        }
        for (int i = count_; i > 0; --i) {
            block_[i] = block_[i - 1];
            capacity_[i] = capacity_[i - 1];
        }
        block_[0] = p;
        capacity_[0] = capacity;
        ++count_;
        bytes_ += capacity;
    }

  private:
    void* block_[kMaxKept] = {};
    std::size_t capacity_[kMaxKept] = {};
    int count_ = 0;
    std::size_t bytes_ = 0;
};

// Set when this thread's set has been destroyed (the thread is ending):
// storage released after that is unmapped at once.
thread_local bool keptGone = false;
thread_local KeptBlocks kept;

KeptBlocks::~KeptBlocks() {
    keptGone = true;
    for (int i = 0; i < count_; ++i)
        munmap(block_[i], capacity_[i]);
}

#endif

// Zeroed memory of the given size; std::bad_alloc when it cannot be had.
void* allocatePelBlock(std::size_t bytes) {
#if VK_MAP_LARGE_BLOCKS
    if (bytes >= kLargeBlock) {
        const std::size_t capacity = roundUp(bytes, kPage);
        if (!keptGone) {
            if (void* p = kept.take(capacity)) {
                // In 1 MiB pieces on the library's threads: a new image is
                // often all that stands between two parallel passes.
                auto* const z = static_cast<unsigned char*>(p);
                const auto pieces =
                    static_cast<std::int32_t>((bytes + kLargeBlock - 1) / kLargeBlock);
                vk_detail::parallelRows(pieces, 1, [&](std::int32_t i0, std::int32_t i1) {
                    const std::size_t a = static_cast<std::size_t>(i0) * kLargeBlock;
                    std::memset(z + a, 0,
                                std::min(static_cast<std::size_t>(i1) * kLargeBlock, bytes) - a);
                });
                return p;
            }
        }
        void* p = mapBlock(capacity);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
#endif
    void* p = std::calloc(bytes, 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void releasePelBlock(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
#if VK_MAP_LARGE_BLOCKS
    if (bytes >= kLargeBlock) {
        const std::size_t capacity = roundUp(bytes, kPage);
        if (keptGone || capacity > kMaxKeptBytes)
            munmap(block, capacity);
        else
            kept.put(block, capacity);
        return;
    }
#else
    (void)bytes;
#endif
    std::free(block);
}

}  // namespace

vk_detail::PelStorage::PelStorage(std::int32_t width, std::int32_t height, std::size_t pelSize,
                                  int alignment)
    : width_(width), height_(height) {
    if (width < 0 || height < 0) throw vkPel::BadWindow("negative image size");
    if (alignment < 1 || alignment > 4096 || (alignment & (alignment - 1)) != 0)
        throw vkPelFunc::BadParams("row alignment must be a power of two from 1 to 4096");
    const std::size_t align = std::max(static_cast<std::size_t>(alignment), pelSize);
    const std::uint64_t rowBytes =
        (static_cast<std::uint64_t>(width) * pelSize + align - 1) / align * align;
    stride_ = static_cast<std::ptrdiff_t>(rowBytes / pelSize);
    const std::uint64_t total = rowBytes * static_cast<std::uint64_t>(height);
    // Keep sizes far from the address-space limit; anything larger is an
    // allocation failure, not an overflow.
    if (total > (std::uint64_t{1} << 46)) throw std::bad_alloc();
    // Even empty storage gets a real block, so a bound buffer never has a
    // null pixel address.
    bytes_ = static_cast<std::size_t>(total) + 64;
    raw_ = allocatePelBlock(bytes_);
    const auto addr = reinterpret_cast<std::uintptr_t>(raw_);
    data_ = reinterpret_cast<void*>((addr + 63) & ~std::uintptr_t{63});
}

// Only a vkPelBuffer, which is made from writable pixels, writes through a
// view's data().
vk_detail::PelStorage::PelStorage(const void* data, std::int32_t width, std::int32_t height,
                                  std::size_t pelSize, std::ptrdiff_t rowStepBytes,
                                  std::shared_ptr<const void> owner)
    : owner_(std::move(owner)), data_(const_cast<void*>(data)), width_(width), height_(height) {
    const auto pel = static_cast<std::ptrdiff_t>(pelSize);
    if (data == nullptr) throw vkPelFunc::BadParams("a view needs a pixel address");
    if (width < 0 || height < 0) throw vkPelFunc::BadParams("a view cannot have a negative size");
    if (rowStepBytes % pel != 0)
        throw vkPelFunc::BadParams("a view's row step must be a multiple of the pixel size");
    if (rowStepBytes / pel < width)
        throw vkPelFunc::BadParams("a view's row step must hold a whole row");
    stride_ = rowStepBytes / pel;
}

vk_detail::PelStorage::~PelStorage() {
    if (raw_ != nullptr) releasePelBlock(raw_, bytes_);  // a view's pixels are its owner's
}
