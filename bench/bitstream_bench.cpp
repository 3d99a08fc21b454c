// How long the ".bit" reader takes over the largest file an upload accepts
// (130,088 bytes of configuration data), read from memory so that only the
// reader is measured.
//   bitstream_bench [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "flash/bitstream.h"

namespace {

constexpr uint32_t kLargestData = 130088;

void AppendField(std::string& out, const std::string& content)
{
    out.push_back(static_cast<char>(content.size() >> 8));
    out.push_back(static_cast<char>(content.size()));
    out += content;
}

std::string LargestFile()
{
    std::string file;
    AppendField(file, std::string(9, '\x0F'));
    file += std::string("\x00\x01", 2) + "a";
    AppendField(file, std::string("bench.ncd", 10));
    file += "b";
    AppendField(file, std::string("part", 5));
    file += "c";
    AppendField(file, std::string("2024/01/01", 11));
    file += "d";
    AppendField(file, std::string("00:00:00", 9));
    file += "e";
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<char>(kLargestData >> shift));
    for (uint32_t i = 0; i < kLargestData; ++i)
        file.push_back(static_cast<char>(i * 7));
    return file;
}

} // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::string file = LargestFile();
    std::vector<uint8_t> data(kLargestData);
    BitstreamHeader header{};

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) {
        std::istringstream in(file);
        uint32_t room = kLargestData;
        if (ParseBitstream(in, data.data(), &room, &header) != 0) {
            std::fprintf(stderr, "the reader refused the bench file\n");
            return 1;
        }
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    const double perParse = elapsed.count() / repetitions;
    std::printf("bitstream: %u data bytes, %.3f ms per parse, %.1f MB/s (checksum 0x%04X)\n",
                kLargestData, perParse, file.size() / perParse / 1000.0, header.checksum);
    return 0;
}
