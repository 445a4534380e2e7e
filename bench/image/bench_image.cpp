// The embedded firmware: start-up's load, the programming job's byte-by-byte reads and the CRC's
// range reads, over the whole span 0xA0000 to 0xFDFEF. BM_LoadImage also reports the heap the loaded
// store holds.
#include "app/app.h"
#include "image/image_store.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

const uint32_t SPAN_FIRST = 0xA0000;
const uint32_t SPAN_LAST = 0xFDFEF;
const int32_t RUN_BYTES = 10000;

// Bytes the store holds on the heap: the store record, its lock, and each area with its buffer.
double HeapBytes(const ImageStore* pStore) {
    double bytes = sizeof(ImageStore) + sizeof(std::recursive_timed_mutex);
    bytes += pStore->PendingCapacity * sizeof(PendingWrite);
    for (const Area* pArea = pStore->pFirstArea; pArea != nullptr; pArea = pArea->pNext) {
        bytes += sizeof(Area) + pArea->Capacity;
    }
    return bytes;
}

ImageStore* LoadOrAbort() {
    if (APP_LoadImage() != 0) {
        fprintf(stderr, "bench_image: the embedded firmware does not load: %s\n", APP_LoadError());
        abort();
    }
    return pProgramImage;
}

void BM_LoadImage(benchmark::State& state) {
    for (auto _ : state) {
        LoadOrAbort();
        state.PauseTiming();
        ImageStore_Destroy(pProgramImage);
        pProgramImage = nullptr;
        state.ResumeTiming();
    }
    ImageStore* pStore = LoadOrAbort();
    state.counters["heap_bytes"] = HeapBytes(pStore);
    state.counters["areas"] = ImageStore_AreaCount(pStore);
    state.counters["image_bytes"] = ImageStore_TotalBytes(pStore);
    ImageStore_Destroy(pStore);
    pProgramImage = nullptr;
}
BENCHMARK(BM_LoadImage)->Unit(benchmark::kMicrosecond);

// The programming job: one GetByte per address of the span, gaps included.
void BM_GetByteSpan(benchmark::State& state) {
    ImageStore* pStore = LoadOrAbort();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t a = SPAN_FIRST; a <= SPAN_LAST; a++) {
            sum += static_cast<uint32_t>(ImageStore_GetByte(pStore, a));
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * (SPAN_LAST - SPAN_FIRST + 1));
    ImageStore_Destroy(pStore);
    pProgramImage = nullptr;
}
BENCHMARK(BM_GetByteSpan)->Unit(benchmark::kMicrosecond);

// The CRC computation: runs of at most 10,000 stored bytes, no gaps joined, continuing from the out
// start plus the count until nothing is left.
void BM_ReadRangeSpan(benchmark::State& state) {
    ImageStore* pStore = LoadOrAbort();
    static uint8_t acData[RUN_BYTES];
    int64_t delivered = 0;
    for (auto _ : state) {
        uint32_t next = SPAN_FIRST;
        uint32_t start = 0;
        int32_t count;
        while (next <= SPAN_LAST && (count = ImageStore_ReadRange(pStore, next, SPAN_LAST, 0, acData, &start,
                                                                  RUN_BYTES, 0, 0)) > 0) {
            delivered += count;
            next = start + static_cast<uint32_t>(count);
        }
        benchmark::DoNotOptimize(acData);
    }
    state.SetBytesProcessed(delivered);
    ImageStore_Destroy(pStore);
    pProgramImage = nullptr;
}
BENCHMARK(BM_ReadRangeSpan)->Unit(benchmark::kMicrosecond);

} // namespace
