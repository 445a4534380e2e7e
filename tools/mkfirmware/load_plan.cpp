// How the placeholder image is cut into records and in which order they stand in the file.
//
// Each area is cut into chunks of consecutive records, and the chunks of an area are loaded from the top
// down. A chunk loaded in ascending order starts in a gap below what is loaded (a new area inserted in
// front) and its last record continues into the chunk above (a join). A chunk loaded top record first
// extends the area above downwards once, then inserts and joins like an ascending one. A chunk loaded in
// descending order extends the area above downwards with every record. The mix of chunk kinds gives
// exactly 7 downward extensions and 59 insertions; SimulateLoad counts them.
#include "tools/mkfirmware/load_plan.h"

#include <algorithm>

namespace {

const size_t RECORD_COUNT = 10199;
const uint32_t MAX_DATA = 32;
const size_t AREA3_CHUNKS = 12; // all ascending: 12 insertions
const size_t AREA1_CHUNKS = 47; // 43 ascending, 3 top-first, 1 descending: 46 insertions, 6 downwards
const size_t TOP_FIRST_CHUNKS = 3;
const size_t DESCENDING_SIZE = 3; // records of the one descending chunk of area 1

enum ChunkKind { ASCENDING, TOP_FIRST, DESCENDING };

struct Rng {
    uint64_t State;
    uint64_t Next() { return SplitMix(State++); }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

// Record counts per area: the fewest that fit, plus extra short records in the two large areas.
// The second area keeps two records: it is loaded in descending order and so yields one insertion and
// one downward extension.
std::vector<size_t> CountRecords(Rng& rng) {
    std::vector<size_t> counts;
    size_t total = 0;
    for (const SimArea& area : kAreas) {
        counts.push_back((area.Length + MAX_DATA - 1) / MAX_DATA);
        total += counts.back();
    }
    uint32_t large = kAreas[0].Length + kAreas[2].Length;
    for (; total < RECORD_COUNT; total++) {
        counts[rng.Below(large) < kAreas[0].Length ? 0 : 2]++;
    }
    return counts;
}

// Cuts one area into records of 1 to 32 bytes: full records, some shortened at random.
std::vector<Record> CutArea(Rng& rng, const SimArea& area, size_t count) {
    std::vector<uint32_t> sizes(count, MAX_DATA);
    uint32_t deficit = static_cast<uint32_t>(count) * MAX_DATA - area.Length;
    while (deficit > 0) {
        size_t i = rng.Below(static_cast<uint32_t>(count));
        uint32_t cut = std::min({deficit, 1 + rng.Below(24), sizes[i] - 1});
        sizes[i] -= cut;
        deficit -= cut;
    }
    std::vector<Record> records;
    uint32_t address = area.Start;
    for (uint32_t size : sizes) {
        records.push_back({address, size});
        address += size;
    }
    return records;
}

// Chunk sizes (in records) that add up to n, each at least minSize, uneven at random.
std::vector<size_t> ChunkSizes(Rng& rng, size_t n, size_t chunks, size_t minSize) {
    std::vector<size_t> sizes(chunks, n / chunks);
    sizes.back() += n % chunks;
    for (size_t k = 0; k < chunks * 4; k++) {
        size_t from = rng.Below(static_cast<uint32_t>(chunks));
        size_t to = rng.Below(static_cast<uint32_t>(chunks));
        size_t move = rng.Below(static_cast<uint32_t>(std::max<size_t>(1, n / chunks / 3)));
        if (sizes[from] >= minSize + move) {
            sizes[from] -= move;
            sizes[to] += move;
        }
    }
    return sizes;
}

using Run = std::vector<Record>; // records in load order

// Chunks of one area, lowest first, loaded top chunk first.
std::vector<Run> ChunkRuns(const std::vector<Record>& records, const std::vector<size_t>& sizes,
                           const std::vector<ChunkKind>& kinds) {
    std::vector<Run> runs;
    size_t first = 0;
    for (size_t c = 0; c < sizes.size(); c++) {
        Run run(records.begin() + first, records.begin() + first + sizes[c]);
        if (kinds[c] == DESCENDING) {
            std::reverse(run.begin(), run.end());
        } else if (kinds[c] == TOP_FIRST) {
            std::rotate(run.begin(), run.end() - 1, run.end());
        }
        runs.push_back(run);
        first += sizes[c];
    }
    std::reverse(runs.begin(), runs.end());
    return runs;
}

std::vector<Run> Area1Runs(Rng& rng, const std::vector<Record>& records) {
    std::vector<ChunkKind> kinds(AREA1_CHUNKS, ASCENDING);
    // The top chunk stays ascending: nothing lies directly above it, so it can only insert.
    size_t descending = 1 + rng.Below(AREA1_CHUNKS - 2);
    kinds[descending] = DESCENDING;
    for (size_t placed = 0; placed < TOP_FIRST_CHUNKS;) {
        size_t c = rng.Below(AREA1_CHUNKS - 1);
        if (kinds[c] == ASCENDING) {
            kinds[c] = TOP_FIRST;
            placed++;
        }
    }
    std::vector<size_t> sizes = ChunkSizes(rng, records.size(), AREA1_CHUNKS, 8);
    size_t spare = sizes[descending] - DESCENDING_SIZE;
    sizes[descending] = DESCENDING_SIZE;
    sizes[descending - 1] += spare;
    return ChunkRuns(records, sizes, kinds);
}

} // namespace

uint64_t SplitMix(uint64_t x) {
    uint64_t z = x + 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::vector<Record> PlanRecords() {
    Rng rng{0x7330};
    std::vector<size_t> counts = CountRecords(rng);
    std::vector<std::vector<Record>> areas;
    for (size_t i = 0; i < AREA_COUNT; i++) {
        areas.push_back(CutArea(rng, kAreas[i], counts[i]));
    }
    // One queue of runs per area, each loaded in its own order; the queues are then interleaved.
    std::vector<std::vector<Run>> queues;
    queues.push_back(Area1Runs(rng, areas[0]));
    queues.push_back({Run(areas[1].rbegin(), areas[1].rend())});
    queues.push_back(ChunkRuns(areas[2], ChunkSizes(rng, areas[2].size(), AREA3_CHUNKS, 8),
                               std::vector<ChunkKind>(AREA3_CHUNKS, ASCENDING)));
    queues.push_back({areas[4]});

    std::vector<Record> order(areas[3]); // the file starts with the fourth area, in ascending order
    size_t left = 0;
    for (const auto& queue : queues) {
        left += queue.size();
    }
    std::vector<size_t> next(queues.size(), 0);
    for (; left > 0; left--) {
        // Pick a queue with a chance proportional to the runs it has left.
        uint32_t pick = rng.Below(static_cast<uint32_t>(left));
        size_t q = 0;
        while (pick >= queues[q].size() - next[q]) {
            pick -= static_cast<uint32_t>(queues[q].size() - next[q]);
            q++;
        }
        const Run& run = queues[q][next[q]++];
        order.insert(order.end(), run.begin(), run.end());
    }
    return order;
}

LoadResult SimulateLoad(const std::vector<Record>& records) {
    LoadResult result;
    std::vector<SimArea>& areas = result.Areas;
    for (const Record& record : records) {
        uint32_t a = record.Address;
        uint32_t end = a + record.Length;
        bool overlaps = std::any_of(areas.begin(), areas.end(), [&](const SimArea& area) {
            return a < area.Start + area.Length && area.Start < end;
        });
        if (overlaps) {
            result.Overlaps++;
            continue;
        }
        size_t i = 0;
        for (; i < areas.size(); i++) {
            SimArea& area = areas[i];
            if (a == area.Start + area.Length) {
                area.Length += record.Length;
                result.Continued++;
                if (i + 1 < areas.size() && areas[i + 1].Start == area.Start + area.Length) {
                    area.Length += areas[i + 1].Length;
                    areas.erase(areas.begin() + static_cast<long>(i) + 1);
                    result.Joined++;
                }
                break;
            }
            if (end == area.Start) {
                area.Start = a;
                area.Length += record.Length;
                result.Downwards++;
                break;
            }
            if (a <= area.Start) {
                if (end > area.Start) {
                    result.Refused++;
                } else {
                    areas.insert(areas.begin() + static_cast<long>(i), {a, record.Length});
                    result.Inserted++;
                }
                break;
            }
        }
        if (i == areas.size()) {
            areas.push_back({a, record.Length});
            result.Appended++;
        }
    }
    return result;
}
