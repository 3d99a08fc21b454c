// How the host tells the cartridge's answers apart.
//
// A reply names neither its procedure nor its request, and its length and
// timing are the cartridge's to choose; the link counts answers instead
// (rpc/owedanswers.h). While the count is in step, the next answer is the
// next call's. Once the link has written answers off (a reply lost, a
// request never heard, an answer later than its wait, a restart), any of
// them may still come, so before a call whose answer the host reads, the
// host makes one call whose answer it knows in advance: the cartridge's sum
// of bytes the host itself put into the transfer buffer, asked so that only
// "status 0, that sum" is taken (CRpc::CallForKnownAnswer). The cartridge
// answers in order, so once that answer is in, every earlier one has come
// or never will.
//
// The bytes summed are a prefix of the block already confirmed in the
// buffer when there is one (nothing is disturbed), or else two bytes loaded
// at offset 0 for the purpose. Two bytes loaded over a block being written
// are put back at once, and the block is confirmed again before it is
// programmed.
//
// A sum is used only when no answer still on its way can carry it: not 0
// (a status 0 padded with zero bytes reads as "status 0, sum 0") and none
// of the sums asked since the answers were last all in. What is left: a
// stray answer whose first six bytes happen to read "status 0" and the sum
// (a status reply of 0 followed by two arbitrary bytes that equal it), or a
// written-off checksum that the cartridge answers with a sum other than the
// one asked for and equal to this one.
#include <algorithm>

#include "flash/flashxferhost.h"
#include "rpc/bytesum.h"

namespace {

// Marks that fail to put the answers in step (each of them another answer
// lost) before the host gives the call up.
constexpr int kMostMarks = 3;
// More checksums than one block's attempts ask; a mark is chosen against
// the most recent ones.
constexpr std::size_t kMostSumsRemembered = 64;
// Two loaded bytes can sum to 1..510.
constexpr uint16_t kLargestNonceSum = 2 * 0xFF;

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

void CFlashXferHost::ForgetBlock()
{
    blockData = nullptr;
    blockCount = 0;
    bufferContent = BufferContent::Unknown;
}

int CFlashXferHost::ReadyForAnswer()
{
    for (int mark = 0; mark < kMostMarks; ++mark) {
        SettleOwedAnswers();
        if (AnswersInStep()) {
            sumsAsked.clear();
            return Ok;
        }
        const int placed = PlaceMark();
        if (placed != Ok)
            return placed;
    }
    SettleOwedAnswers();
    return AnswersInStep() ? Ok : TimedOut;
}

int CFlashXferHost::AskKnownSum(uint32_t length, uint16_t sum)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(length);
    NoteSumAsked(sum);
    return CallForKnownAnswer(kGetBufferChecksum, message, KnownSumAnswer(sum));
}

uint32_t CFlashXferHost::DistinctivePrefix(uint16_t& sum) const
{
    if (bufferContent != BufferContent::CheckedBlock)
        return 0;
    uint32_t best = 0;
    uint16_t prefixSum = 0;
    for (uint32_t length = 1; length <= blockCount; ++length) {
        prefixSum = static_cast<uint16_t>(prefixSum + blockData[length - 1]);
        if (Distinctive(prefixSum)) {
            best = length;
            sum = prefixSum;
        }
    }
    return best;
}

uint16_t CFlashXferHost::NextNonceSum(uint16_t avoid)
{
    uint16_t sum = lastNonceSum;
    do
        sum = static_cast<uint16_t>(sum % kLargestNonceSum + 1);
    while ((sum == avoid || !Distinctive(sum)) && sum != lastNonceSum);
    lastNonceSum = sum;
    return sum;
}

int CFlashXferHost::LoadBytes(uint32_t offset, const uint8_t* bytes, uint32_t size)
{
    CRpcMessage message(kMessageCapacity);
    message.PutU32(offset);
    message.PutBytes(bytes, static_cast<uint16_t>(size));
    return Call(kLoadBuffer, message);
}

int CFlashXferHost::PlaceMark()
{
    uint16_t sum = 0;
    const uint32_t prefix = DistinctivePrefix(sum);
    if (prefix != 0)
        return AskKnownSum(prefix, sum);

    // Two bytes of the host's own at offset 0, summing to what no answer
    // on its way can carry, and to other than the bytes they replace: if
    // putting those back fails unnoticed, the block's sum shows it.
    constexpr uint32_t kNonceSize = 2;
    const uint32_t kept = bufferContent == BufferContent::Unknown
                              ? 0
                              : std::min(blockCount, kNonceSize);
    const uint16_t replaced = kept == 0 ? 0 : ByteSum(blockData, kept);
    sum = NextNonceSum(replaced);
    const uint8_t nonce[kNonceSize] = {static_cast<uint8_t>(std::min<uint16_t>(sum, 0xFF)),
                                       static_cast<uint8_t>(sum - std::min<uint16_t>(sum, 0xFF))};
    if (bufferContent != BufferContent::Unknown)
        bufferContent = BufferContent::Block;
    int result = LoadBytes(0, nonce, kNonceSize);
    if (result == Ok)
        result = AskKnownSum(kNonceSize, sum);
    if (result == Ok && kept != 0)
        result = LoadBytes(0, blockData, kept);
    return result;
}
