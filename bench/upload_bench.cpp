// A whole ".bit" upload and a 256 KiB ".frm" upload against the simulated
// cartridge: the host's own time, the bytes each way, and how long those
// bytes take on the real line at 38,400 baud (10 bit times per byte).
//   upload_bench [buffer size]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/flashxferhost.h"
#include "sim/cartridge.h"
#include "sim/inprocesschannel.h"

namespace {

constexpr double kLineBytesPerSecond = 38400.0 / 10.0;
constexpr uint32_t kLargestData = 130088;
constexpr uint32_t kFirmwareSize = 256 * 1024;

void AppendField(std::string& out, const std::string& content)
{
    out.push_back(static_cast<char>(content.size() >> 8));
    out.push_back(static_cast<char>(content.size()));
    out += content;
}

std::string LargestBitstream()
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

std::string Firmware()
{
    std::string file(kFirmwareSize, '\0');
    for (uint32_t i = 0; i < kFirmwareSize; ++i)
        file[i] = static_cast<char>(i * 13 + (i >> 8));
    return file;
}

std::string WriteTemp(const std::string& name, const std::string& content)
{
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

template <typename Upload>
bool Measure(const char* what, uint32_t bufferSize, Upload upload)
{
    sim::Cartridge cartridge(bufferSize);
    sim::InProcessChannel channel(cartridge.Engine());
    CFlashXferHost host(&channel, 1);
    host.SetTimeout(1000);

    const auto start = std::chrono::steady_clock::now();
    const int result = upload(host);
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;

    const auto& counters = channel.GetCounters();
    const double lineSeconds =
        static_cast<double>(counters.bytesWritten + counters.bytesRead) / kLineBytesPerSecond;
    std::printf("%s: result %d, %.1f ms in process, %llu bytes out, %llu bytes back, "
                "%.1f s of line time at 38400 baud\n",
                what, result, elapsed.count(),
                static_cast<unsigned long long>(counters.bytesWritten),
                static_cast<unsigned long long>(counters.bytesRead), lineSeconds);
    return result == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const uint32_t bufferSize =
        argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 4096;
    const std::string bitPath = WriteTemp("plemo_upload_bench.bit", LargestBitstream());
    const std::string frmPath = WriteTemp("plemo_upload_bench.frm", Firmware());

    std::printf("device buffer %u bytes\n", bufferSize);
    const bool bitOk = Measure(".bit (128 KiB image)", bufferSize, [&](CFlashXferHost& host) {
        return host.UploadBitstream(bitPath.c_str());
    });
    const bool frmOk = Measure(".frm (256 KiB)", bufferSize, [&](CFlashXferHost& host) {
        return host.UploadFirmware(0, frmPath.c_str(), true);
    });
    std::filesystem::remove(bitPath);
    std::filesystem::remove(frmPath);
    return bitOk && frmOk ? 0 : 1;
}
