// How the host tells the cartridge's answers apart once the link has
// written some off (rpc/answerbook.h): the probe, a call whose answer the
// host knows in advance. It asks the cartridge's sum of bytes the host
// itself put into the transfer buffer, so that only "status 0, that sum" is
// taken; the cartridge answers in order, so once that answer is in, every
// earlier one has come or never will.
//
// The bytes summed are a prefix of the block already confirmed in the
// buffer when there is one (nothing is disturbed), or else two bytes loaded
// at offset 0 for the purpose, put back at once over a block being written;
// the block is then confirmed again before it is programmed.
//
// A sum is used only when no answer still on its way can carry it: not 0
// (a status 0 padded with zero bytes reads "status 0, sum 0") and none of
// the sums asked since the answers were last all in. What is left: a stray
// answer whose first six bytes happen to read "status 0" and the sum, or a
// written-off checksum answered with another sum equal to this one.
#include <algorithm>

#include "flash/flashxferhost.h"
#include "rpc/bytesum.h"

namespace {

// More checksums than one block's attempts ask; a probe's sum is chosen
// against the most recent ones.
constexpr std::size_t kMostSumsRemembered = 64;
// Two loaded bytes can sum to 1..510.
constexpr uint16_t kLargestProbeSum = 2 * 0xFF;

} // namespace

std::vector<uint8_t> CFlashXferHost::KnownSumAnswer(uint16_t sum)
{
    return {0, 0, 0, 0, static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)};
}

void CFlashXferHost::NoteSumAsked(uint16_t sum)
{
    if (sumsAsked.size() == kMostSumsRemembered)
        sumsAsked.erase(sumsAsked.begin());
    sumsAsked.push_back(sum);
}

bool CFlashXferHost::Distinctive(uint16_t sum) const
{
    return sum != 0 && std::find(sumsAsked.begin(), sumsAsked.end(), sum) == sumsAsked.end();
}

int CFlashXferHost::AskKnownSum(uint32_t length, uint16_t sum)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(length);
    const SumQuestion question{sum, true};
    return Issue(Procedure::GetBufferChecksum, message, &question);
}

uint32_t CFlashXferHost::DistinctivePrefix(uint16_t& sum) const
{
    if (buffer != BufferHolds::CheckedBlock)
        return 0;
    uint32_t best = 0;
    uint16_t prefixSum = 0;
    for (uint32_t length = 1; length <= block.count; ++length) {
        prefixSum = static_cast<uint16_t>(prefixSum + block.data[length - 1]);
        if (Distinctive(prefixSum)) {
            best = length;
            sum = prefixSum;
        }
    }
    return best;
}

uint16_t CFlashXferHost::NextProbeSum(uint16_t avoid)
{
    uint16_t sum = lastProbeSum;
    do
        sum = static_cast<uint16_t>(sum % kLargestProbeSum + 1);
    while ((sum == avoid || !Distinctive(sum)) && sum != lastProbeSum);
    lastProbeSum = sum;
    return sum;
}

int CFlashXferHost::LoadBytes(uint32_t offset, const uint8_t* bytes, uint32_t size)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(offset);
    message.PutBytes(bytes, static_cast<uint16_t>(size));
    return Issue(Procedure::LoadBuffer, message);
}

int CFlashXferHost::Probe()
{
    uint16_t sum = 0;
    const uint32_t prefix = DistinctivePrefix(sum);
    if (prefix != 0)
        return AskKnownSum(prefix, sum);

    // Two bytes of the host's own at offset 0, summing to what no answer
    // on its way can carry, and to other than the bytes they replace: if
    // putting those back fails unnoticed, the block's sum shows it.
    constexpr uint32_t kProbeSize = 2;
    const uint32_t kept = buffer == BufferHolds::Unknown ? 0 : std::min(block.count, kProbeSize);
    const uint16_t replaced = kept == 0 ? 0 : ByteSum(block.data, kept);
    sum = NextProbeSum(replaced);
    const uint8_t bytes[kProbeSize] = {static_cast<uint8_t>(std::min<uint16_t>(sum, 0xFF)),
                                       static_cast<uint8_t>(sum - std::min<uint16_t>(sum, 0xFF))};
    if (buffer != BufferHolds::Unknown)
        buffer = BufferHolds::Block;
    int result = LoadBytes(0, bytes, kProbeSize);
    if (result == Ok)
        result = AskKnownSum(kProbeSize, sum);
    if (result == Ok && kept != 0)
        result = LoadBytes(0, block.data, kept);
    return result;
}
