#pragma once
// The files the benchmarks upload, made inside the programs, and the flash
// content each upload must leave behind.
//
// The expected content is worked out from the file alone, without the
// host's reader (tests/support/bitfile.h), so that a benchmark also notices
// a host that writes the wrong bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

// The most configuration data a ".bit" file may carry: the image's room
// between its erased lead-in and the header record at its end.
constexpr uint32_t kLargestBitstreamData = bitfile::kLargestData;
constexpr uint32_t kBitstreamAddress = bitfile::kImageAddress;
constexpr uint32_t kBitstreamImageSize = bitfile::kImageSize;

// A ".bit" file with `dataLength` bytes of configuration data.
Bytes BitstreamFile(uint32_t dataLength, uint32_t seed);
// The 128 KiB flash image that file must become.
Bytes BitstreamImage(uint32_t dataLength, uint32_t seed);

// A ".frm" file of `size` bytes. The whole file goes to flash address 0.
Bytes FirmwareFile(uint32_t size, uint32_t seed);
// What the flash holds from address 0 after the upload: the file, and an
// erased byte behind an odd last one.
Bytes FirmwareImage(const Bytes& file);

// One upload a benchmark makes: the file on disk and where its image lands.
struct UploadCase
{
    bool bitstream = false;
    std::string path;
    uint32_t address = 0;
    Bytes image;
};

// Writes the file to a temporary path and fills in the expected image.
UploadCase MakeBitstreamCase(const std::string& name, uint32_t dataLength, uint32_t seed);
UploadCase MakeFirmwareCase(const std::string& name, uint32_t size, uint32_t seed);
void RemoveCaseFile(const UploadCase& upload);

// Bytes that differ from their neighbours, so a misplaced block shows.
using testdata::Pattern;

} // namespace bench
