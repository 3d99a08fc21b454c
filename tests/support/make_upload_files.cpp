// plemo-upload-files DIR: writes the two files a test uploads through a
// program it drives from outside (the Windows program under wine), and the
// cartridge flash both uploads must leave behind:
//   DIR/cart_top.bit        a ".bit" file of about an XC3S50's size
//   DIR/firmware.frm        a firmware image of odd size (a short last block)
//   DIR/expected-flash.bin  the 4 MiB flash after uploading both, in any order
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"

namespace {

constexpr std::size_t kFlashSize = 4u << 20;

bool WriteFile(const std::string& path, const bitfile::Bytes& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out)
        std::fprintf(stderr, "plemo-upload-files: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: plemo-upload-files DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    bitfile::Fields design;
    design.designName = bitfile::Text("cart_top.ncd;UserID=0xFFFFFFFF");
    design.data = testdata::Pattern(54664, 20240517);
    const bitfile::Bytes firmware = testdata::Pattern(70001, 5);

    bitfile::Bytes flash(kFlashSize, 0xFF);
    const bitfile::Bytes firmwareImage = bitfile::FirmwareImage(firmware);
    std::copy(firmwareImage.begin(), firmwareImage.end(), flash.begin());
    const bitfile::Bytes image = bitfile::FlashImage(design);
    std::copy(image.begin(), image.end(), flash.begin() + bitfile::kImageAddress);

    const bool written = WriteFile(dir + "/cart_top.bit", bitfile::File(design)) &&
                         WriteFile(dir + "/firmware.frm", firmware) &&
                         WriteFile(dir + "/expected-flash.bin", flash);
    return written ? 0 : 1;
}
