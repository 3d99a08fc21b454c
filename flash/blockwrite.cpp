// The block write: staging a block in the cartridge's transfer buffer,
// checking the cartridge's sum of it, and committing it to flash, as a loop
// over explicit next steps.
#include <algorithm>
#include <utility>

#include "flash/flashxferhost.h"
#include "flash/scopeexit.h"
#include "rpc/bytesum.h"

namespace {

// Puts the link's reply time-out back on every way out of a scope,
// exceptions included.
class TimeoutGuard
{
public:
    TimeoutGuard(CRpc& link, uint16_t timeoutMs) : link(link), saved(link.GetTimeout())
    {
        link.SetTimeout(timeoutMs);
    }
    ~TimeoutGuard() { link.SetTimeout(saved); }
    TimeoutGuard(const TimeoutGuard&) = delete;
    TimeoutGuard& operator=(const TimeoutGuard&) = delete;

private:
    CRpc& link;
    uint16_t saved;
};

} // namespace

CFlashXferHost::Step CFlashXferHost::CommitAttempt(CRpcMessage& message)
{
    const TimeoutGuard commitTimeout(*this, kCommitTimeoutMs);
    int result = OpenRange(block.address, block.count);
    if (result >= 0 && block.erase)
        result = EraseRange(block.address, block.count);
    if (result < 0)
        return {Next::Commit, result};
    return ProgramCheckedBlock(message);
}

// A cartridge that restarted since its buffer was checked has lost the
// buffer, yet opens, erases and programs the range as asked, from whatever
// the buffer holds now. So the buffer is checked once more when only
// ProgramRange is left to come: a restart before this check shows as a
// wrong sum, one after it as a range that is no longer open. ProgramRange
// goes out only when every earlier answer is in and the host has loaded
// nothing of its own over the checked buffer since (a probe may): otherwise
// the buffer is checked again.
CFlashXferHost::Step CFlashXferHost::ProgramCheckedBlock(CRpcMessage& message)
{
    constexpr int kMostChecks = 3;
    int result = -1;
    for (int check = 0; check < kMostChecks; ++check) {
        BufferSum answer;
        {
            const TimeoutGuard queryTimeout(*this, block.queryTimeoutMs);
            result = AskBufferSum(message, block.count, block.sum, answer);
        }
        if (result != Ok) {
            NoteCallFailure(Procedure::GetBufferChecksum, result, block.address, block.count);
            return {Next::Commit, result};
        }
        if (BufferVerdict(answer, block.sum) != 0) {
            // Nothing can be programmed from it: the block is staged anew.
            NoteBufferVerdict(answer, block.address, block.count);
            CloseRange(block.address, block.count);
            return {Next::Stage, -1};
        }
        buffer = BufferHolds::CheckedBlock;
        message.Reset();
        message.PutU32(block.address);
        message.PutU32(block.count);
        result = Issue(Procedure::ProgramRange, message);
        if (result != kBufferDisturbed)
            break;
    }
    if (result != Ok) {
        NoteCallFailure(Procedure::ProgramRange, result == kBufferDisturbed ? -1 : result,
                        block.address, block.count);
        return {Next::Commit, result == kBufferDisturbed ? -1 : result};
    }
    return ProgramStatus(message);
}

// Programming is done only when the cartridge says so.
CFlashXferHost::Step CFlashXferHost::ProgramStatus(CRpcMessage& message)
{
    const bool statusAnswered = message.Unread() >= 4;
    const int status = StatusOf(message, -1);
    if (status >= 0) {
        // A block written again was counted the first time.
        if (!writingAgain)
            bytesWritten += block.count;
        return {Next::Done, status};
    }
    if (!statusAnswered)
        NoteFailure(UploadFailure::Of(UploadFailure::What::UnusableReply,
                                      NameOf(Procedure::ProgramRange), -1)
                        .In(block.address, block.count));
    else
        NoteStatus(Procedure::ProgramRange, status, block.address, block.count);
    CloseRange(block.address, block.count);
    return {Next::Commit, status};
}

int CFlashXferHost::WriteBlock(uint32_t address, const uint8_t* data, uint32_t count, bool erase)
{
    // A block write begun with no cancel pending is its caller going on
    // after an earlier one was stopped: that stop is over.
    if (!cancelRequested())
        Stop().End();
    block = Block{data, address, count, erase, ByteSum(data, count), GetTimeout()};
    const ScopeExit forget([this] {
        block = Block{};
        buffer = BufferHolds::Unknown;
    });
    CRpcMessage message(kMessageCapacity);
    SetTransferState(1, 0);
    // Each staging has the host's attempts; the commit attempts count over
    // the whole block, also one that found the buffer lost and sent the
    // block to be staged again. A stop ends the write after the step it cut.
    const int attempts = Attempts(HostAttempts::Repeated);
    int stagingsLeft = attempts;
    int commitsLeft = attempts;
    Step step{Next::Stage, -1};
    while (step.next == Next::Stage || step.next == Next::Commit) {
        const Next was = step.next;
        int& left = was == Next::Stage ? stagingsLeft : commitsLeft;
        if (left-- == 0) {
            step.next = Next::GiveUp;
            break;
        }
        step = was == Next::Stage ? StagingAttempt(message) : CommitAttempt(message);
        const bool again = step.next == Next::Stage || step.next == Next::Commit;
        if (again && (Stop().InForce() || (step.next == Next::Stage && commitsLeft == 0)))
            step.next = Next::GiveUp;
        else if (was == Next::Commit && step.next == Next::Stage)
            stagingsLeft = attempts;
    }
    if (step.next == Next::Abandon)
        return step.result;
    // A cancel that broke off the commit is honoured here.
    if (step.result < 0 && Stop().Honour()) {
        NoteCancel();
        step.result = -1;
    }
    SetTransferState(0, step.result < 0 ? 1 : 0);
    return step.result;
}
