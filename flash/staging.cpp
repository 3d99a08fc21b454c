// Staging a block in the cartridge's transfer buffer: chunk by chunk, then
// the cartridge's sum of what it holds, and, on a line that has shown
// damage, sums of prefixes that no pair of compensating flips can pass
// (flash/lineintegrity.h).
#include <algorithm>

#include "flash/flashxferhost.h"
#include "rpc/bytesum.h"

namespace {

// Chunks a staging may send again after the line kept them from arriving,
// and prefixes that disagreed, before the block is staged anew.
constexpr int kMostLineRetries = 16;

} // namespace

int CFlashXferHost::LoadChunk(CRpcMessage& message, uint32_t offset, const uint8_t* chunk,
                              uint32_t size)
{
    const Try last = Repeat(FactsOf(Procedure::LoadBuffer).attempts, [&]() -> Try {
        message.Reset();
        message.PutU32(offset);
        const int put = message.PutBytes(chunk, static_cast<uint16_t>(size));
        if (put != 0)
            return {put, false};
        const int called = Issue(Procedure::LoadBuffer, message);
        return {called, called != Ok};
    });
    return last.result;
}

// One chunk as the cartridge's screen and the progress bar show it: a dot,
// the progress signal (where a click on Cancel reaches the host), then the
// bytes. kChunkCancelled when a cancel is honoured before them.
int CFlashXferHost::SendChunk(CRpcMessage& message, uint32_t offset, uint32_t size)
{
    dotAnswered = PrintText(".") == Ok;
    ReportProgress(size);
    if (Stop().Honour()) {
        NoteCancel();
        return kChunkCancelled;
    }
    const CRpc::Stats before = LinkStats();
    const int loaded = LoadChunk(message, offset, block.data + offset, size);
    const CRpc::Stats met = LinkStats().Since(before);
    // The cartridge's word that the frame arrived damaged tells of the
    // frame, and so do repeated silences (a cartridge may say nothing to a
    // damaged request); a damaged reply would not fare better smaller.
    integrity.ChunkSent(met.askedAgain != 0 || met.timedOut > 1);
    // A frame the cartridge kept asking for again did not fail for its
    // reply code: it is the line's fault like any other.
    chunkFrameHurt = met.askedAgain != 0 || loaded == TimedOut;
    if (loaded == BadReplyCode && met.askedAgain > static_cast<uint64_t>(kMaxRequestRepeats))
        return ChecksumMismatch;
    return loaded;
}

// A cartridge that answered the dot right before a chunk is there: if the
// chunk then went unanswered, the line kept it from arriving.
void CFlashXferHost::NoteChunkFailure(int loaded, uint32_t offset, uint32_t size)
{
    if (loaded == TimedOut && dotAnswered && !Stop().InForce()) {
        NoteFailure(UploadFailure::Of(UploadFailure::What::DamagedRequests,
                                      NameOf(Procedure::LoadBuffer), loaded)
                        .In(block.address + offset, size));
        return;
    }
    NoteCallFailure(Procedure::LoadBuffer, loaded, block.address + offset, size);
}

// Whether a chunk the link could not get through may go again, smaller:
// only a failure the line can cause, only while the cartridge answers (it
// answered the dot right before the chunk: it is there, and the line kept
// the chunk from arriving), and only so often.
bool CFlashXferHost::MaySendAgain(int loaded, int& retries)
{
    const bool lineFault = loaded == TimedOut || loaded == ChecksumMismatch;
    if (!lineFault || !dotAnswered || Stop().InForce() || retries >= kMostLineRetries)
        return false;
    ++retries;
    // Only a frame the line kept from arriving goes smaller; one whose
    // replies came damaged goes again as it was.
    if (chunkFrameHurt)
        integrity.ChunkFailed();
    return true;
}

int CFlashXferHost::AskBufferSum(CRpcMessage& message, uint32_t count, uint16_t expected,
                                 BufferSum& answer)
{
    message.Reset();
    message.PutU32(count);
    // Whose answer it is does not matter when the answers are in step; when
    // they are not, an answer with the expected sum can only be this call's,
    // unless a checksum still on its way carries the same.
    const SumQuestion question{expected, !Answers().InStep() && Distinctive(expected)};
    const int called = Issue(Procedure::GetBufferChecksum, message, &question);
    if (Answers().AllAnswered())
        sumsAsked.clear();
    if (called != Ok)
        return called;
    uint32_t status = 0;
    answer.complete = message.GetU32(status) == 0 && message.GetU16(answer.sum) == 0;
    answer.status = static_cast<int32_t>(status);
    return Ok;
}

int CFlashXferHost::BufferVerdict(const BufferSum& answer, uint16_t expected)
{
    if (!answer.complete)
        return -1;
    // A positive status is no less a refusal: the sum that came with it
    // cannot vouch for the buffer.
    if (answer.status != 0)
        return answer.status < 0 ? answer.status : -1;
    return answer.sum == expected ? 0 : -1;
}

// Sends the block chunk by chunk, then compares the device's sum of its
// buffer with the sum of what was sent.
CFlashXferHost::Step CFlashXferHost::StagingAttempt(CRpcMessage& message)
{
    buffer = BufferHolds::Block;
    chunkStarts.clear();
    int retries = 0;
    for (uint32_t offset = 0; offset < block.count;) {
        const uint32_t size = std::min(block.count - offset, integrity.ChunkSize());
        const int loaded = SendChunk(message, offset, size);
        if (loaded == kChunkCancelled)
            return {Next::Abandon, -1};
        if (loaded == Ok) {
            chunkStarts.push_back(offset);
            offset += size;
        } else if (!MaySendAgain(loaded, retries)) {
            NoteChunkFailure(loaded, offset, size);
            // A cancel that broke off the chunk's wait ends the block as a
            // cancel before the chunk would have (and the failure noted is
            // a cancel: the stop was in force when it was noted).
            return {Next::Abandon, Stop().Honour() ? -1 : loaded};
        }
    }
    const int verdict = CheckPrefix(message, block.count);
    if (verdict != 0)
        return {Next::Stage, verdict};
    return CheckRuns(message, retries);
}

// 0 when the cartridge's sum of the first `length` bytes of its buffer is
// the block's; the failure (noted, if `noted` says so) when it is not.
int CFlashXferHost::CheckPrefix(CRpcMessage& message, uint32_t length, Noted noted)
{
    BufferSum answer;
    const uint16_t expected = ByteSum(block.data, length);
    const int asked = AskBufferSum(message, length, expected, answer);
    if (asked != Ok) {
        if (noted == Noted::Yes)
            NoteCallFailure(Procedure::GetBufferChecksum, asked, block.address, length);
        return asked;
    }
    const int verdict = BufferVerdict(answer, expected);
    if (verdict != 0 && noted == Noted::Yes)
        NoteBufferVerdict(answer, block.address, length);
    return verdict;
}

// On a line that has shown damage, the prefixes that split each chunk into
// runs short enough; a chunk whose prefix disagrees is sent again and
// checked from its start, and the whole block once more at the end.
CFlashXferHost::Step CFlashXferHost::CheckRuns(CRpcMessage& message, int retries)
{
    const double rate = integrity.DamageRate(LinkStats());
    const std::vector<uint32_t> points = integrity.Checkpoints(chunkStarts, block.count, rate);
    lastBlockChecked = rate > 0.0;
    bool resent = false;
    for (std::size_t i = 0; i < points.size();) {
        // A question the line keeps from being answered counts as a
        // disagreement; what it cost is not the block's failure.
        if (CheckPrefix(message, points[i], Noted::No) == 0) {
            ++i;
            continue;
        }
        // The chunk the disagreeing prefix ends in.
        const auto chunk = std::upper_bound(chunkStarts.begin(), chunkStarts.end(), points[i]) - 1;
        const uint32_t start = *chunk;
        const uint32_t end = chunk + 1 != chunkStarts.end() ? *(chunk + 1) : block.count;
        if (retries++ >= kMostLineRetries) {
            NoteFailure(UploadFailure::Of(UploadFailure::What::BufferMismatch,
                                          NameOf(Procedure::GetBufferChecksum), -1)
                            .In(block.address, points[i]));
            return {Next::Stage, -1};
        }
        const int loaded = SendChunk(message, start, end - start);
        if (loaded == kChunkCancelled)
            return {Next::Abandon, -1};
        if (loaded != Ok) {
            NoteChunkFailure(loaded, start, end - start);
            return {Next::Stage, loaded};
        }
        resent = true;
        i = std::lower_bound(points.begin(), points.end(), start) - points.begin();
    }
    if (resent) {
        const int verdict = CheckPrefix(message, block.count);
        if (verdict != 0)
            return {Next::Stage, verdict};
    }
    buffer = BufferHolds::CheckedBlock;
    return {Next::Commit, 0};
}

