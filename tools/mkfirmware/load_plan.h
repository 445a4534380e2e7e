// The placeholder image's shape: which records it has, in which order they stand in the file, and what
// loading them in that order into an empty store does.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct Record {
    uint32_t Address;
    uint32_t Length; // 1 to 32 data bytes
};

struct SimArea {
    uint32_t Start;
    uint32_t Length;
};

// The five areas the image forms, in address order.
inline constexpr size_t AREA_COUNT = 5;
inline constexpr SimArea kAreas[AREA_COUNT] = {
    {0xA0000, 292343}, {0xE762F, 36}, {0xE766B, 30212}, {0xEEC70, 156}, {0xFDFCA, 38}};
inline constexpr uint32_t FIRST_ADDRESS = 0xEEC70;
inline constexpr int EXPECTED_DOWNWARDS = 7;
inline constexpr int EXPECTED_INSERTED = 59;
// Joins and downward extensions copy bytes an area already holds; an order that makes them copy large
// areas (for instance loading an area from the top down) makes the load quadratic.
inline constexpr size_t MAX_MOVED_BYTES = 65536;

// What the store's add algorithm does with each record, counted by branch.
struct LoadResult {
    std::vector<SimArea> Areas;
    int Continued = 0;     // a record continues an area upwards
    int Joined = 0;        // ... and the area then meets its successor
    int Downwards = 0;     // a record ends exactly where an area begins
    int Inserted = 0;      // a record becomes a new area in front of a loaded one
    int Appended = 0;      // a record becomes a new last area (or the first one)
    int Overlaps = 0;      // a record shares an address with loaded data (the reader refuses it)
    int Refused = 0;       // the add itself refuses it
    size_t MovedBytes = 0; // bytes the store moves or copies for downward extensions and joins
};

// Stateless 64-bit mix (splitmix64's finaliser): the generator's only source of randomness.
uint64_t SplitMix(uint64_t x);

// The 10,199 data records in file order; the first lies at FIRST_ADDRESS.
std::vector<Record> PlanRecords();

// Adds the records in order to an empty simulated store, as the reader and the store would.
LoadResult SimulateLoad(const std::vector<Record>& records);
