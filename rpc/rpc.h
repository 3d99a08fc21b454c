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
//    the last of them came or was given up on (see rpc/answerbook.h);
//  - dropping stale input never waits and stops after IComm::kMostDiscardedBytes.
// Answers are told apart by count alone (rpc/answerbook.h): nothing else in
// a reply is relied on, its data length and timing are the device's to
// choose. Once answers have been written off, only a call whose answer is
// known in advance can tell its own answer from a late one; BringInStep
// makes such calls, built by the link's owner, before a call whose answer is
// read. While it waits, the link runs its owner's while-waiting hook every
// kWhileWaitingIntervalMs (give or take the millisecond its reads are
// rounded to). A stop (rpc/stoptoken.h) ends the wait in progress at once,
// and keeps every wait after it short (kStoppingWaitMs).
#include <cstdint>
#include <functional>
#include <vector>

#include "rpc/answerbook.h"
#include "rpc/rpcmessage.h"
#include "rpc/stoptoken.h"
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
    // The longest the link waits without letting its owner's front end
    // run: a window repaints and takes a click well within this.
    static constexpr uint16_t kWhileWaitingIntervalMs = 50;
    // Once a stop has been asked for, each call still made (the few that
    // close an upload) waits at most this long in all: a device that answers
    // at all answers them in a few milliseconds, and one that has gone
    // silent must not hold the front end.
    static constexpr uint16_t kStoppingWaitMs = 100;
    // Probes that fail to bring the answers in step (each of them another
    // answer lost) before the call is given up.
    static constexpr int kMostProbes = 3;

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
        uint64_t givenUp = 0;        // waits a stop request ended
        uint64_t bytesSent = 0;      // every byte of every request frame
        uint64_t bytesRead = 0;      // every byte read, skipped ones included

        // Every counter, for arithmetic over all of them.
        static constexpr uint64_t Stats::*kCounters[] = {
            &Stats::calls,       &Stats::requests,    &Stats::damagedReplies,
            &Stats::timedOut,    &Stats::askedAgain,  &Stats::lateAnswers,
            &Stats::lostAnswers, &Stats::skippedBytes, &Stats::givenUp,
            &Stats::bytesSent,   &Stats::bytesRead};

        // What was met after `earlier` was taken.
        Stats Since(const Stats& earlier) const
        {
            Stats since;
            for (const auto counter : kCounters)
                since.*counter = this->*counter - earlier.*counter;
            return since;
        }
    };

    CRpc(IComm* channel, uint8_t retries);
    ~CRpc() = default;
    CRpc(const CRpc&) = delete;
    CRpc& operator=(const CRpc&) = delete;

    void SetTimeout(uint16_t milliseconds) { timeout = milliseconds; }
    uint16_t GetTimeout() const { return timeout; }
    // Runs `whileWaiting` at least every kWhileWaitingIntervalMs while the
    // link waits for the device: where a front end keeps its window alive
    // and notices a click on Cancel. May be empty.
    void SetWhileWaiting(std::function<void()> whileWaiting)
    {
        this->whileWaiting = std::move(whileWaiting);
    }
    // The one stop: asked for, the wait in progress ends at once (its call
    // with TimedOut, without further attempts), and while it is in force
    // every call waits at most kStoppingWaitMs.
    StopToken& Stop() { return stop; }
    const StopToken& Stop() const { return stop; }
    const Stats& LinkStats() const { return stats; }
    const AnswerBook& Answers() const { return answers; }

    // Calls `procedure` with the arguments in `message`. On success the reply
    // stands in `message` behind the arguments, the read position at its
    // first byte. 0 or one of the negative results above. Channel failures
    // pass through as exceptions.
    int Call(uint8_t procedure, CRpcMessage& message);
    // A call whose answer the caller knows in advance: its reply data begins
    // with `answerStart`. Any other answer is an earlier call's, however
    // late, and is let pass; the known one puts the answers back in step.
    int CallForKnownAnswer(uint8_t procedure, CRpcMessage& message,
                           const std::vector<uint8_t>& answerStart);
    // One call with an answer known in advance (made with CallForKnownAnswer),
    // or the link's failure.
    using Probe = std::function<int()>;
    // Before a call whose answer is read: waits for the answers still owed,
    // and while they are out of step makes `probe` calls (at most
    // kMostProbes) until they are in step. Ok when they are; the probe's or
    // the link's failure when the device could not be brought to say so.
    int BringInStep(const Probe& probe);
    // Waits for the answers earlier calls left owed, as every call does
    // before it sends anything, and writes off those that do not come in
    // time. Afterwards either every answer is in or they are out of step.
    void SettleOwedAnswers();

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
    // deadline and, after a stop request, the call's short limit; the bytes
    // that came.
    int32_t ReadWithin(uint8_t* data, int32_t count, IComm::Time readEnd);
    int ReadByte(uint8_t& byte, IComm::Time readEnd);
    IComm::Time Deadline() const;
    // A read of `count` bytes may wait the time-out and their line time.
    IComm::Time ReadEnd(uint16_t timeoutMs, uint32_t count) const;
    void RunWhileWaiting();
    // Whether a stop ends the current call's waits now (counted once).
    bool CallStopsAt(IComm::Time now);
    void WriteByte(uint8_t byte);

    void SendRequest(uint8_t procedure, CRpcMessage& message);
    // Every call goes out here; `known`: the answer it knows in advance.
    int Exchange(uint8_t procedure, CRpcMessage& message, const std::vector<uint8_t>* known);
    // A call's waits begin: what a stop in force means for them.
    void BeginWaits();
    // One attempt's reply; kAskedAgain for "send again".
    int ReceiveReply(CRpcMessage& message);
    // The reply data of an answer whose header said `code`.
    int ReceiveReplyData(uint8_t code, uint16_t replyLength, CRpcMessage& message);
    // The call's known answer, read behind the arguments: Ok when it came,
    // kStrayAnswer for another answer (let pass), or the frame's failure.
    int ReceiveKnownAnswer(uint8_t code, uint16_t replyLength, CRpcMessage& message);
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

    std::function<void()> whileWaiting;
    IComm::Time lastWhileWaiting{0};
    ReplyWait* wait = nullptr; // the reply being waited for, if any
    StopToken stop;
    // How the stop bears on the current call: one in force before it began
    // limits its waits to `limit`; one asked for while it waits ends it.
    struct CallStop
    {
        bool inForceBefore = false;
        IComm::Time limit = IComm::Time::max();
        bool stopped = false;
    } callStop;
    // The answer the current call knows in advance, if any.
    const std::vector<uint8_t>* knownAnswer = nullptr;
    AnswerBook answers;
    Stats stats;
};
