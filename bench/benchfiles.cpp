#include "bench/benchfiles.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>


namespace bench {

namespace {

// The header fields of every benchmark's ".bit" file.
bitfile::Fields BenchFields(uint32_t dataLength, uint32_t seed)
{
    bitfile::Fields fields;
    fields.designName = bitfile::Text("bench_design.ncd;UserID=0xFFFF");
    fields.partName = bitfile::Text("3s50tq144");
    fields.date = bitfile::Text("2024/01/01");
    fields.time = bitfile::Text("00:00:00");
    fields.data = Pattern(dataLength, seed);
    return fields;
}

// A name of this process's own: two benchmarks running side by side must
// not rewrite or remove each other's files in the middle of an upload. Of
// one width always: the path travels in an upload's text, and a path one
// digit longer would move every seeded fault of a campaign to other bytes.
std::string TempPath(const std::string& name)
{
    static const std::string run = [] {
        constexpr int64_t kWidth = 10'000'000'000'000; // 13 digits
        const int64_t count = std::chrono::steady_clock::now().time_since_epoch().count();
        char digits[16];
        std::snprintf(digits, sizeof digits, "%013lld", static_cast<long long>(count % kWidth));
        return std::string(digits);
    }();
    return (std::filesystem::temp_directory_path() / (run + "_" + name)).string();
}

void WriteFile(const std::string& path, const Bytes& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

} // namespace

Bytes BitstreamFile(uint32_t dataLength, uint32_t seed)
{
    return bitfile::File(BenchFields(dataLength, seed));
}

Bytes BitstreamImage(uint32_t dataLength, uint32_t seed)
{
    return bitfile::FlashImage(BenchFields(dataLength, seed));
}

Bytes FirmwareFile(uint32_t size, uint32_t seed)
{
    return Pattern(size, seed);
}

Bytes FirmwareImage(const Bytes& file)
{
    return bitfile::FirmwareImage(file);
}

UploadCase MakeBitstreamCase(const std::string& name, uint32_t dataLength, uint32_t seed)
{
    UploadCase upload;
    upload.bitstream = true;
    upload.path = TempPath(name);
    upload.address = kBitstreamAddress;
    upload.image = BitstreamImage(dataLength, seed);
    WriteFile(upload.path, BitstreamFile(dataLength, seed));
    return upload;
}

UploadCase MakeFirmwareCase(const std::string& name, uint32_t size, uint32_t seed)
{
    UploadCase upload;
    upload.path = TempPath(name);
    const Bytes file = FirmwareFile(size, seed);
    upload.image = FirmwareImage(file);
    WriteFile(upload.path, file);
    return upload;
}

void RemoveCaseFile(const UploadCase& upload)
{
    std::error_code ignored;
    std::filesystem::remove(upload.path, ignored);
}

} // namespace bench
