// How the placeholder image is cut into records and in which order they stand in the file.
//
// The file starts with the fourth area in ascending order. Small islands of one to four records, cut
// out of the first and third areas, stand anywhere before the bulk reaches them: each lands in a gap
// below a loaded area (a new area inserted in front), and an island written in descending order extends
// itself downwards with each further record. The bulk of each of the two areas follows in ascending
// order: its first record is inserted in front as well, every other one continues the area, which joins
// each island as it reaches it. The second area (top record first) and the fifth (appended at the end)
// lie anywhere in between. This gives exactly 7 downward extensions and 59 insertions, and every join or
// downward move shifts only an island's few bytes, so the image loads in linear time; SimulateLoad
// counts all of it.
#include "tools/mkfirmware/load_plan.h"

#include <algorithm>
#include <cstddef>

namespace {

const size_t RECORD_COUNT = 10199;
const uint32_t MAX_DATA = 32;
const size_t AREA1_ISLANDS = 51;
const size_t AREA3_ISLANDS = 5;
const size_t MAX_ISLAND = 4; // records
// Islands written in descending order, as (area, island index): each gives 2 downward extensions.
const size_t DESCENDING_ISLAND_RECORDS = 3;
const size_t DESCENDING_ISLANDS[][2] = {{0, 7}, {0, 30}, {2, 2}};

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

using Run = std::vector<Record>; // records in load order

// One entry of the file's order: a run, placed by its key (runs with equal keys keep their order).
struct Placed {
    uint64_t Key;
    Run Records;
};

// Cuts islands out of one area's records and places them and the rest (the bulk, in ascending order)
// on the key line from `bulkKey` on: bulk record j gets key 2 (bulkKey + j) + 1, and an island an even
// key below that of the bulk record in front of it, so it is loaded before the bulk reaches it.
void PlaceArea(Rng& rng, size_t area, const std::vector<Record>& records, size_t islands, uint64_t& bulkKey,
               std::vector<Placed>& placed) {
    size_t slot = records.size() / islands;
    size_t next = 0; // first record not yet placed
    for (size_t i = 0; i < islands; i++) {
        size_t size = 1 + rng.Below(MAX_ISLAND);
        bool descending = false;
        for (const auto& island : DESCENDING_ISLANDS) {
            if (island[0] == area && island[1] == i) {
                size = DESCENDING_ISLAND_RECORDS;
                descending = true;
            }
        }
        // At least one bulk record in front of the island, inside its own slot, so islands never touch.
        size_t first = i * slot + 1 + rng.Below(static_cast<uint32_t>(slot - size - 1));
        for (; next < first; next++) {
            placed.push_back({2 * bulkKey++ + 1, {records[next]}});
        }
        auto pFirst = records.begin() + static_cast<std::ptrdiff_t>(first);
        Run island(pFirst, pFirst + static_cast<std::ptrdiff_t>(size));
        if (descending) {
            std::reverse(island.begin(), island.end());
        }
        placed.push_back({2 * uint64_t{rng.Below(static_cast<uint32_t>(bulkKey))}, island});
        next = first + size;
    }
    for (; next < records.size(); next++) {
        placed.push_back({2 * bulkKey++ + 1, {records[next]}});
    }
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
    std::vector<Placed> placed;
    uint64_t bulkKey = 0;
    PlaceArea(rng, 0, areas[0], AREA1_ISLANDS, bulkKey, placed);
    PlaceArea(rng, 2, areas[2], AREA3_ISLANDS, bulkKey, placed);
    placed.push_back(
        {rng.Below(static_cast<uint32_t>(2 * bulkKey)), Run(areas[1].rbegin(), areas[1].rend())});
    placed.push_back({rng.Below(static_cast<uint32_t>(2 * bulkKey)), areas[4]});
    std::stable_sort(placed.begin(), placed.end(),
                     [](const Placed& x, const Placed& y) { return x.Key < y.Key; });

    std::vector<Record> order(areas[3]); // the file starts with the fourth area, in ascending order
    for (const Placed& entry : placed) {
        order.insert(order.end(), entry.Records.begin(), entry.Records.end());
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
                    result.MovedBytes += areas[i + 1].Length;
                    area.Length += areas[i + 1].Length;
                    areas.erase(areas.begin() + static_cast<long>(i) + 1);
                    result.Joined++;
                }
                break;
            }
            if (end == area.Start) {
                result.MovedBytes += area.Length;
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
