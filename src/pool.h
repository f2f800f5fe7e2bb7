// RecordPool: where the tables' records live. Every packet allocates one
// flow record and one host record, and most are freed again at once (their
// observation merged into an existing record), so the allocator is on the
// per-packet path.
//
// A pool hands out blocks of one fixed size carved from large chunks, with
// no header per block: freed blocks are handed out again last freed first,
// so the record built for the next packet reuses the block just freed,
// still in the cache. Blocks are placed at a fixed phase within the cache
// lines: the fields that the tree descent reads (the "hot span" given to
// the pool) then lie within one cache line in every block, where an
// arbitrary address would split them over two lines in many records.
//
// Chunks are never given back while the pool lives: memory freed by a sweep
// is reused for the records that come after it, so the pool holds the
// high-water mark of live records, as a general allocator in practice does.
//
// Built with AddressSanitizer, free blocks are poisoned, so a use after
// free of a pooled block is reported until the block is handed out again;
// the records themselves bypass their pools in such builds (see flow.cpp,
// host.cpp) so that the sanitizer sees every record's lifetime in full.
#ifndef SURGEWATCH_POOL_H
#define SURGEWATCH_POOL_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define SURGEWATCH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SURGEWATCH_ASAN 1
#endif
#endif

#ifdef SURGEWATCH_ASAN
#include <sanitizer/asan_interface.h>
#define SURGEWATCH_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define SURGEWATCH_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define SURGEWATCH_POISON(address, size) ((void)(address), (void)(size))
#define SURGEWATCH_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

constexpr size_t kCacheLine = 64;

// True when, with blocks of `blockSize` bytes placed from `phase` bytes past
// a cache-line boundary, bytes [hotBegin, hotEnd) of every block lie within
// one cache line. The phases of consecutive blocks repeat after at most 64
// blocks, so checking 64 of them covers all.
constexpr bool hotSpanFits(size_t phase, size_t blockSize, size_t hotBegin, size_t hotEnd) {
    for (size_t k = 0; k < kCacheLine; ++k) {
        const size_t first = phase + k * blockSize + hotBegin;
        const size_t last = phase + k * blockSize + hotEnd - 1;
        if (first / kCacheLine != last / kCacheLine) return false;
    }
    return true;
}

// The first phase (a multiple of `alignment`) at which the hot span of every
// block fits one line, or kCacheLine when none does.
constexpr size_t hotSpanPhase(size_t blockSize, size_t alignment, size_t hotBegin, size_t hotEnd) {
    for (size_t phase = 0; phase < kCacheLine; phase += alignment)
        if (hotSpanFits(phase, blockSize, hotBegin, hotEnd)) return phase;
    return kCacheLine;
}

// Blocks of BlockSize bytes (a multiple of Alignment, at least three pointers),
// the first of each chunk Phase bytes past a cache-line boundary.
template <size_t BlockSize, size_t Alignment, size_t Phase>
class RecordPool {
    static_assert(BlockSize % Alignment == 0 && Alignment % alignof(void*) == 0,
                  "blocks keep the alignment and can hold the free blocks' addresses");
    static_assert(Phase < kCacheLine && Phase % Alignment == 0, "phase within a line, aligned");

public:
    // Bytes of one chunk, its link to the previous chunk included: the size
    // of a huge page.
    static constexpr size_t kChunkBytes = 2 << 20;

    RecordPool() = default;
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;
    // Frees every chunk: only for pools whose blocks are all gone.
    ~RecordPool() {
        while (chunks_ != nullptr) {
            Chunk* previous = chunks_->previous;
            SURGEWATCH_UNPOISON(chunks_, kChunkBytes);
            munmap(chunks_, kChunkBytes);
            chunks_ = previous;
        }
    }

    // A block of BlockSize bytes; throws std::bad_alloc when memory is out.
    void* allocate() {
        FreeGroup* group = free_;
        if (group != nullptr) {
            if (group->count > 0) {
                void** slots = slotsOf(group);
                void* block = slots[--group->count];
                SURGEWATCH_UNPOISON(block, BlockSize);
                SURGEWATCH_POISON(&slots[group->count], sizeof(void*));
                // The block after this one: its lines are on their way by
                // the time the next record is built in it.
                prefetchForWrite(group->count > 0 ? slots[group->count - 1] : group);
                return block;
            }
            free_ = group->next;
            SURGEWATCH_UNPOISON(group, BlockSize);
            if (free_ != nullptr) __builtin_prefetch(free_, 0, 3);
            return group;
        }
        if (next_ == end_) grow();
        void* block = next_;
        next_ += BlockSize;
        SURGEWATCH_UNPOISON(block, BlockSize);
        return block;
    }

    // Takes back a block that allocate() handed out.
    void release(void* address) {
        FreeGroup* group = free_;
        if (group != nullptr && group->count < kSlots) {
            void** slot = slotsOf(group) + group->count++;
            SURGEWATCH_UNPOISON(slot, sizeof(void*));
            *slot = address;
            SURGEWATCH_POISON(address, BlockSize);
            return;
        }
        group = static_cast<FreeGroup*>(address);
        group->next = free_;
        group->count = 0;
        free_ = group;
        SURGEWATCH_POISON(slotsOf(group), BlockSize - sizeof(FreeGroup));
    }

private:
    // The free blocks, last freed first, in groups: one free block holds
    // the addresses of up to kSlots others, then the next group's. Taking a
    // block thus reads the group, which the previous allocation brought in,
    // rather than a link inside the block itself: with the blocks a sweep
    // freed scattered over the whole table, a list linked through the
    // blocks costs a wait for main memory at every allocation, one after
    // the other, where the groups cost one in kSlots + 1 and let the next
    // block's lines be asked for ahead. A record merged into an existing
    // one leaves its address on top of the group in the cache, and the
    // next packet's record takes it straight back.
    struct FreeGroup {
        FreeGroup* next;
        size_t count;  // addresses in the slots that follow
    };
    static constexpr size_t kSlots = (BlockSize - sizeof(FreeGroup)) / sizeof(void*);
    static_assert(kSlots >= 1, "a free block holds a group and one address");

    // The slots: the rest of the group's block.
    static void** slotsOf(FreeGroup* group) {
        return reinterpret_cast<void**>(reinterpret_cast<unsigned char*>(group) +
                                        sizeof(FreeGroup));
    }

    static void prefetchForWrite(const void* block) {
        __builtin_prefetch(block, 1, 3);
        __builtin_prefetch(static_cast<const unsigned char*>(block) + BlockSize - 1, 1, 3);
    }

    struct Chunk {
        Chunk* previous;
    };
    // Blocks start one cache line into the chunk (after the link), plus the
    // phase.
    static constexpr size_t kFirstBlock = kCacheLine + Phase;
    static constexpr size_t kBlocksPerChunk = (kChunkBytes - kFirstBlock) / BlockSize;

    // A chunk is mapped on its own, aligned to its size, and offered to the
    // kernel for a transparent huge page: one TLB entry then covers every
    // record in it, where a table of a million records in 4 KiB pages takes
    // a page walk for nearly every node of a descent.
    void grow() {
        void* mapped = mmap(nullptr, 2 * kChunkBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        // Keep the aligned middle, give back the rest.
        unsigned char* begin = static_cast<unsigned char*>(mapped);
        unsigned char* chunkStart =
            begin + (kChunkBytes - reinterpret_cast<uintptr_t>(begin) % kChunkBytes) % kChunkBytes;
        if (chunkStart > begin) munmap(begin, size_t(chunkStart - begin));
        unsigned char* chunkEnd = chunkStart + kChunkBytes;
        if (begin + 2 * kChunkBytes > chunkEnd)
            munmap(chunkEnd, size_t(begin + 2 * kChunkBytes - chunkEnd));
#ifdef MADV_HUGEPAGE
        madvise(chunkStart, kChunkBytes, MADV_HUGEPAGE);  // a hint; failure is harmless
#endif
        Chunk* chunk = reinterpret_cast<Chunk*>(chunkStart);
        chunk->previous = chunks_;
        chunks_ = chunk;
        next_ = chunkStart + kFirstBlock;
        end_ = next_ + kBlocksPerChunk * BlockSize;
        SURGEWATCH_POISON(next_, kBlocksPerChunk * BlockSize);
    }

    FreeGroup* free_ = nullptr;      // the group of the most recently freed
    unsigned char* next_ = nullptr;  // first never-used block of the newest chunk
    unsigned char* end_ = nullptr;
    Chunk* chunks_ = nullptr;  // newest first
};

// Where the records of one type are allocated: a pool of their own that
// lives as long as the process (never destroyed, so no record can outlive
// it), with the bytes [HotBegin, HotEnd) that the tree descent reads kept
// within one cache line. With AddressSanitizer every record comes from the
// general allocator instead, so that use after free and leaks of records
// are reported in full.
template <typename Record, size_t HotBegin, size_t HotEnd>
class RecordAllocator {
    static constexpr size_t kPhase =
        hotSpanPhase(sizeof(Record), alignof(Record), HotBegin, HotEnd);
    static_assert(kPhase < kCacheLine, "the descent's fields fit one cache line");
    using Pool = RecordPool<sizeof(Record), alignof(Record), kPhase>;

public:
    static void* allocate(size_t size) {
#ifdef SURGEWATCH_ASAN
        return ::operator new(size);
#else
        (void)size;
        return pool().allocate();
#endif
    }

    static void release(void* address) noexcept {
#ifdef SURGEWATCH_ASAN
        ::operator delete(address);
#else
        pool().release(address);
#endif
    }

private:
    static Pool& pool() {
        static Pool* const pool = new Pool;
        return *pool;
    }
};

#endif
