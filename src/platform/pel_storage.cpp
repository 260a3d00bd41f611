// Memory for pixel storage.
//
// Blocks below 1 MiB come from calloc. Larger ones are mapped directly,
// aligned to 2 MiB and marked for transparent huge pages, which makes the
// first touch of a fresh block several times cheaper than with 4 KiB pages.
// Released large blocks go to one cache for the process (imgnorm/memory.h),
// bounded in bytes and in count, that hands them out again to allocations of
// the same size or up to a quarter smaller. Under AddressSanitizer the large
// blocks come from calloc instead and pass through the same cache, poisoned
// while they are kept, so that the cache's own logic is checked too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "imgnorm/memory.h"
#include "imgnorm/pelbuffer.h"
#include "platform/parallel.h"
#include "platform/pel_cache.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VK_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VK_ADDRESS_SANITIZER 1
#endif

#if defined(VK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#define VK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VK_POISON(p, n) ((void)(p), (void)(n))
#define VK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#if defined(__linux__) && !defined(VK_ADDRESS_SANITIZER)
#include <sys/mman.h>
#define VK_MAP_LARGE_BLOCKS 1
#else
#define VK_MAP_LARGE_BLOCKS 0
#endif

namespace {

constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kDefaultLimit = std::size_t{256} << 20;
constexpr int kMaxKept = 16;

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

#if VK_MAP_LARGE_BLOCKS
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A fresh zeroed mapping of `capacity` bytes (a multiple of the page size),
// starting on a huge-page boundary when it spans at least one huge page.
void* freshBlock(std::size_t capacity) {
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
void dropBlock(void* p, std::size_t capacity) noexcept {
    munmap(p, capacity);
}
#else
void* freshBlock(std::size_t capacity) {
    return std::calloc(capacity, 1);
}
void dropBlock(void* p, std::size_t capacity) noexcept {
    VK_UNPOISON(p, capacity);
    std::free(p);
}
#endif

struct Block {
    void* p = nullptr;
    std::size_t capacity = 0;
};

// The released large blocks, newest first, and the cap on their bytes.
// Blocks are dropped outside the lock.
class BlockCache {
  public:
    // A kept block of capacity in [capacity, capacity * 5 / 4] (the closest),
    // taken out of the cache; a null block when there is none.
    Block take(std::size_t capacity) {
        const std::lock_guard<std::mutex> lock(mutex_);
        int best = -1;
        for (int i = 0; i < count_; ++i)
            if (kept_[i].capacity >= capacity && kept_[i].capacity <= capacity + capacity / 4 &&
                (best < 0 || kept_[i].capacity < kept_[best].capacity))
                best = i;
        if (best < 0) return {};
        const Block b = kept_[best];
        std::copy(kept_ + best + 1, kept_ + count_, kept_ + best);
        --count_;
        bytes_ -= b.capacity;
        return b;
    }

    // Keeps the block (or drops it when it alone exceeds the cap), dropping
    // the oldest ones beyond the limits.
    void put(Block b) noexcept {
        VK_POISON(b.p, b.capacity);
        Block dropped[kMaxKept + 1];
        int nDropped = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (b.capacity > limitLocked()) {
                dropped[nDropped++] = b;
            } else {
                while (count_ > 0 && (count_ == kMaxKept || bytes_ + b.capacity > limit_)) {
                    dropped[nDropped++] = kept_[--count_];
                    bytes_ -= dropped[nDropped - 1].capacity;
                }
                std::copy_backward(kept_, kept_ + count_, kept_ + count_ + 1);
                kept_[0] = b;
                ++count_;
                bytes_ += b.capacity;
            }
        }
        for (int i = 0; i < nDropped; ++i)
            dropBlock(dropped[i].p, dropped[i].capacity);
    }

    void limit(std::size_t bytes) noexcept {
        Block dropped[kMaxKept];
        int nDropped = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            limit_ = bytes;
            limitKnown_ = true;
            while (count_ > 0 && bytes_ > limit_) {
                dropped[nDropped++] = kept_[--count_];
                bytes_ -= dropped[nDropped - 1].capacity;
            }
        }
        for (int i = 0; i < nDropped; ++i)
            dropBlock(dropped[i].p, dropped[i].capacity);
    }
    std::size_t limit() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return limitLocked();
    }
    std::size_t bytes() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

  private:
    std::size_t limitLocked() noexcept {
        if (!limitKnown_) {
            limit_ = vk_detail::pelCacheLimitFromText(std::getenv("IMGNORM_PEL_CACHE_MB"));
            limitKnown_ = true;
        }
        return limit_;
    }

    std::mutex mutex_;
    Block kept_[kMaxKept];
    int count_ = 0;
    std::size_t bytes_ = 0;
    std::size_t limit_ = 0;
    bool limitKnown_ = false;
};

// Never destroyed: images held by static objects may be released after
// every other static object is gone.
BlockCache& blockCache() {
    static BlockCache* const cache = new BlockCache;
    return *cache;
}

#if defined(VK_ADDRESS_SANITIZER)
// Storage asked for undefined gets this pattern under AddressSanitizer, so
// that the tests catch a reader that counted on zeros.
constexpr unsigned char kUndefinedPattern = 0xA5;
#endif

// Memory of at least `bytes`, zeroed when asked (a reused block is left as
// it was otherwise); its capacity, which releasing it needs, goes to
// capacity. std::bad_alloc when it cannot be had.
void* allocatePelBlock(std::size_t bytes, std::size_t& capacity, bool zeroed) {
    if (bytes >= kLargeBlock) {
        capacity = roundUp(bytes, kPage);
        void* p = nullptr;
        if (const Block kept = blockCache().take(capacity); kept.p != nullptr) {
            p = kept.p;
            capacity = kept.capacity;
            VK_UNPOISON(p, bytes);
#if defined(VK_ADDRESS_SANITIZER)
            if (!zeroed) std::memset(p, kUndefinedPattern, bytes);
#endif
            // In 1 MiB pieces on the library's threads: a new image is
            // often all that stands between two parallel passes.
            auto* const z = static_cast<unsigned char*>(p);
            const auto pieces =
                zeroed ? static_cast<std::int32_t>((bytes + kLargeBlock - 1) / kLargeBlock) : 0;
            vk_detail::parallelRows(pieces, 1, [&](std::int32_t i0, std::int32_t i1) {
                const std::size_t a = static_cast<std::size_t>(i0) * kLargeBlock;
                std::memset(z + a, 0, std::min(static_cast<std::size_t>(i1) * kLargeBlock, bytes) - a);
            });
        } else {
            p = freshBlock(capacity);
            if (p == nullptr) throw std::bad_alloc();
#if defined(VK_ADDRESS_SANITIZER)
            if (!zeroed) std::memset(p, kUndefinedPattern, bytes);
#endif
        }
        // Past the bytes asked for the block stays out of bounds.
        VK_POISON(static_cast<char*>(p) + bytes, capacity - bytes);
        return p;
    }
    void* p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
#if defined(VK_ADDRESS_SANITIZER)
    if (!zeroed) std::memset(p, kUndefinedPattern, bytes);
#endif
    capacity = bytes;
    return p;
}

void releasePelBlock(void* block, std::size_t capacity) noexcept {
    if (block == nullptr) return;
    if (capacity >= kLargeBlock)
        blockCache().put({block, capacity});
    else
        std::free(block);
}

}  // namespace

std::size_t vk_detail::pelCacheLimitFromText(const char* text) {
    if (text == nullptr) return kDefaultLimit;
    char* end = nullptr;
    const long long mib = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || mib < 0 || mib > (1LL << 20)) return kDefaultLimit;
    return static_cast<std::size_t>(mib) * kMiB;
}

void vfSetPelCacheLimit(std::size_t bytes) {
    blockCache().limit(bytes);
}
std::size_t vfPelCacheLimit() {
    return blockCache().limit();
}
std::size_t vfPelCacheBytes() {
    return blockCache().bytes();
}

vk_detail::PelStorage::PelStorage(std::int32_t width, std::int32_t height, std::size_t pelSize,
                                  int alignment, bool zeroed)
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
    raw_ = allocatePelBlock(static_cast<std::size_t>(total) + 64, bytes_, zeroed);
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
