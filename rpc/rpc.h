#pragma once
// One remote procedure call at a time to the cartridge over a byte channel.
//
// A request is two frames: a header (sync word, procedure number, argument
// length) and the argument bytes. The reply is a header (sync word, reply
// code, data length) and, after code 0xFF, the data, which is appended to the
// caller's message behind the arguments. Every frame's payload is followed by
// its 16-bit byte sum, low byte first. Damaged or late replies make the whole
// request go out again, up to `retries` attempts.
//
// Time. A reply's time-out counts from the moment the request has left the
// port (the channel knows when that is: a request of 2 KiB spends half a
// second on a 38,400-baud line). Every wait has a deadline, whatever the
// line delivers meanwhile:
//  - an attempt ends at the latest at  left + timeout + L(s + 9 + d),
//    where L(n) is the line time of n bytes, s the bytes skipped before the
//    sync word (at most kMaxSyncHuntBytes), 9 the reply header frame and d
//    the data frame (M + 2 bytes) once the header has announced it;
//  - the wait for answers still owed by earlier calls ends at the latest one
//    time-out (the shorter of theirs and the current one) plus L(9) after
//    the last of them came or was given up on (see rpc/owedanswers.h);
//  - dropping stale input never waits and stops after kMaxStaleBytes.
// Answers are told apart by count and by shape: the device answers every
// request it hears once, in order (rpc/owedanswers.h), and where the owner
// says which data lengths a procedure's reply can have, a reply of another
// length is an earlier call's answer and is let pass.
// While it waits, the link runs its watcher every kWatchIntervalMs (give or
// take the millisecond its reads are rounded to), and gives the wait up as
// soon as its owner asks.
#include <cstdint>
#include <functional>

#include "rpc/owedanswers.h"
#include "rpc/rpcmessage.h"
#include "serial/comm.h"

class CRpc
{
public:
    // Results of the link's operations.
    enum Result : int
    {
        Ok = 0,
        BadReplyCode = -1,     // a reply code other than 0xFE and 0xFF
        MessageTooLarge = -2,  // the message could not grow to take the reply
        ChecksumMismatch = -3, // a reply header or data frame arrived damaged
        TimedOut = -4,         // a reply did not come in time (or its wait was given up)
    };

    // Frame kinds: 0 and 2 carry the sync word, any other does not.
    static constexpr int kHeaderFrame = 2;
    static constexpr int kArgumentFrame = 1;
    static constexpr int kReplyDataFrame = 3;

    static constexpr uint32_t kSyncWord = 0x1E3C5A78; // 78 5A 3C 1E on the wire
    static constexpr uint8_t kReplyFollows = 0xFF;
    static constexpr uint8_t kSendAgain = 0xFE;
    static constexpr uint16_t kDefaultTimeoutMs = 500;
    // The link never looks at a write's result; a channel throws instead.
    static constexpr uint16_t kWriteTimeoutMs = 0xFFFF;
    // Sync word, code or procedure, length, and the two sum bytes.
    static constexpr uint32_t kHeaderFrameBytes = 9;

    // A healthy device asks for a request again only when the line damaged
    // it; this many requests in a row refused means the line is unusable.
    static constexpr int kMaxRequestRepeats = 32;
    // Replies of this protocol carry at most a few bytes, so a device that
    // keeps sending this many bytes without a sync word is babbling (about
    // one second of line time at 38,400 baud).
    static constexpr uint32_t kMaxSyncHuntBytes = 4096;
    // Stale bytes dropped before a call. A device only speaks when spoken
    // to, so anything beyond this is babble, left to the sync hunt.
    static constexpr uint32_t kMaxStaleBytes = 65536;
    // The longest the link waits without running its watcher: a window
    // repaints and takes a click well within this.
    static constexpr uint16_t kWatchIntervalMs = 50;

    // What the link met on the line since it was made: the line's health.
    struct Stats
    {
        uint64_t calls = 0;
        uint64_t requests = 0;       // every request sent, repeats included
        uint64_t damagedReplies = 0; // attempts repeated for a bad sum
        uint64_t timedOut = 0;       // attempts that ran out of time
        uint64_t askedAgain = 0;     // "send again" answers
        uint64_t lateAnswers = 0;    // answers that came after their call had moved on
        uint64_t lostAnswers = 0;    // answers waited for in vain
        uint64_t skippedBytes = 0;   // bytes that were no part of a reply
        uint64_t givenUp = 0;        // waits its owner gave up
    };

    // Lets the link's owner keep a window alive during long waits (`watch`,
    // run every kWatchIntervalMs of a wait) and stop a wait
    // (`giveUp`, asked after every read of a wait: true ends the wait at
    // once, and the call with TimedOut, without further attempts). Either
    // may be empty.
    struct WaitHooks
    {
        std::function<void()> watch;
        std::function<bool()> giveUp;
    };
    // Whether a reply with `length` data bytes can be `procedure`'s answer.
    using ReplyShape = std::function<bool(uint8_t procedure, uint16_t length)>;

    CRpc(IComm* channel, uint8_t retries);
    ~CRpc() = default;
    CRpc(const CRpc&) = delete;
    CRpc& operator=(const CRpc&) = delete;

    void SetTimeout(uint16_t milliseconds) { timeout = milliseconds; }
    uint16_t GetTimeout() const { return timeout; }
    void SetWaitHooks(WaitHooks hooks) { waitHooks = std::move(hooks); }
    // Without a shape every length fits every procedure.
    void SetReplyShape(ReplyShape shape) { replyShape = std::move(shape); }
    // No wait goes past `limit` on the channel's clock; reaching it ends the
    // wait as a give-up does. NoWaitLimit() lifts it.
    void SetWaitLimit(IComm::Time limit) { waitLimit = limit; }
    static IComm::Time NoWaitLimit() { return IComm::Time::max(); }
    const Stats& LinkStats() const { return stats; }
    // Answers the device may still owe to earlier calls.
    uint32_t OwedAnswerCount() const { return owed.Count(); }

    // Calls `procedure` with the arguments in `message`. On success the reply
    // stands in `message` behind the arguments, the read position at its
    // first byte. 0 or one of the negative results above. Channel failures
    // pass through as exceptions.
    int Call(uint8_t procedure, CRpcMessage& message);

    int SendFrame(int kind, CRpcMessage& message);
    int ReceiveFrame(int kind, CRpcMessage& message, uint16_t count, uint16_t firstByteTimeout,
                     uint16_t timeout);

protected:
    IComm::Time Now() const { return channel->Now(); }

private:
    // The wait for one reply: its deadline is `base` plus the line time of
    // the bytes it has met and still expects.
    struct ReplyWait
    {
        IComm::Time start;      // the per-read time-out of its first byte counts from here
        IComm::Time base;       // start + the reply time-out
        uint32_t lineBytes;     // skipped + announced bytes
    };
    class ActiveWait;

    static bool CarriesSync(int kind) { return kind == 0 || kind == 2; }
    int HuntSync(uint16_t firstByteTimeout, uint16_t timeout);
    // Reads `count` bytes, waiting at most until `readEnd`, the wait's
    // deadline and the wait limit; the bytes that came.
    int32_t ReadWithin(uint8_t* data, int32_t count, IComm::Time readEnd);
    int ReadByte(uint8_t& byte, IComm::Time readEnd);
    IComm::Time Deadline() const;
    // A read of `count` bytes may wait the time-out and their line time.
    IComm::Time ReadEnd(uint16_t timeoutMs, uint32_t count) const;
    void Watch();
    void WriteByte(uint8_t byte);

    void SendRequest(uint8_t procedure, CRpcMessage& message);
    // One attempt's reply to `procedure`; kAskedAgain for "send again".
    int ReceiveReply(uint8_t procedure, CRpcMessage& message);
    bool Fits(uint8_t procedure, uint16_t length) const
    {
        return !replyShape || replyShape(procedure, length);
    }
    // Waits for the answers earlier calls left owed, and drops them.
    void AwaitOwedAnswers();
    // Drops what arrived before this call's request went out: a reply that
    // came after its call had moved on must not be taken for this one's.
    void DiscardStaleInput();
    void SkipBytes(uint32_t count, IComm::Time readEnd);
    // One reply header frame: the reply's code and the data length it announces.
    int ReceiveReplyHeader(uint16_t firstByteTimeout, uint16_t timeoutMs, uint8_t& code,
                           uint16_t& replyLength);
    // Lets a reply's data frame go by unread (one that answers no call, or
    // does not fit the message), so that it is no part of the next reply.
    void LetReplyDataPass(uint16_t replyLength);
    IComm::Time Milliseconds(uint32_t ms) const { return std::chrono::milliseconds(ms); }

    IComm* channel;
    uint16_t timeout = kDefaultTimeoutMs;
    CRpcMessage header;
    uint8_t retries;

    WaitHooks waitHooks;
    ReplyShape replyShape;
    IComm::Time waitLimit = NoWaitLimit();
    IComm::Time lastWatch{0};
    ReplyWait* wait = nullptr; // the reply being waited for, if any
    bool gaveUp = false;       // within the current call
    OwedAnswers owed;
    Stats stats;
};
