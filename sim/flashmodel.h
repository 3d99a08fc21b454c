#pragma once
// The cartridge's NOR flash: 4 MiB, erased to 0xFF. Writing needs the range
// opened first (a write-protect window the firmware keeps), erasing sets
// bytes back to 0xFF, and programming can only clear bits, as on real NOR
// flash. Each operation answers the device's 32-bit status: 0, or negative.
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace sim {

namespace FlashStatus {
constexpr int32_t kOk = 0;
constexpr int32_t kOutsideFlash = -16;      // the range leaves the flash
constexpr int32_t kNotOpen = -17;           // the range is not (wholly) open for writing
constexpr int32_t kVerifyFailed = -18;      // after programming the flash does not hold the data
} // namespace FlashStatus

class FlashModel
{
public:
    static constexpr uint32_t kSize = 4u << 20;
    static constexpr uint8_t kErased = 0xFF;

    FlashModel();

    int32_t Open(uint32_t address, uint32_t length);
    // Closing what is not open is harmless: the host closes after failures.
    int32_t Close(uint32_t address, uint32_t length);
    int32_t Erase(uint32_t address, uint32_t length);
    // Clears the bits that are clear in `data`; then checks the result, since
    // a bit that is already 0 cannot be programmed back to 1.
    int32_t Program(uint32_t address, const uint8_t* data, uint32_t length);

    void CloseAll() { openRanges.clear(); }
    bool IsOpen(uint32_t address, uint32_t length) const;
    // Erases the whole chip (a fresh cartridge).
    void EraseAll();

    std::vector<uint8_t> Read(uint32_t address, uint32_t length) const;
    bool Holds(uint32_t address, const std::vector<uint8_t>& expected) const;
    bool IsErased(uint32_t address, uint32_t length) const;
    const std::vector<uint8_t>& Contents() const { return memory; }
    // Loads an image (a saved flash dump) from address 0; false if too large.
    bool Load(const std::vector<uint8_t>& image);

private:
    static bool InsideFlash(uint32_t address, uint32_t length);
    int32_t CheckWritable(uint32_t address, uint32_t length) const;

    std::vector<uint8_t> memory;
    // Disjoint open ranges, start -> end (exclusive), merged when they touch.
    std::map<uint32_t, uint32_t> openRanges;
};

} // namespace sim
