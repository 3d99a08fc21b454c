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

#include "bench/benchfiles.h"
#include "flash/bitstream.h"

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 200;
    const bench::Bytes bytes = bench::BitstreamFile(bench::kLargestBitstreamData, 1);
    const std::string file(bytes.begin(), bytes.end());
    std::vector<uint8_t> data(bench::kLargestBitstreamData);
    BitstreamHeader header{};

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) {
        std::istringstream in(file);
        uint32_t room = bench::kLargestBitstreamData;
        if (ParseBitstream(in, data.data(), &room, &header) != 0) {
            std::fprintf(stderr, "the reader refused the bench file\n");
            return 1;
        }
    }
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    const double perParse = elapsed.count() / repetitions;
    std::printf("bitstream: %u data bytes, %.3f ms per parse, %.1f MB/s (checksum 0x%04X)\n",
                bench::kLargestBitstreamData, perParse, file.size() / perParse / 1000.0,
                header.checksum);
    return 0;
}
