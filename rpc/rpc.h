#pragma once
// One remote procedure call at a time to the cartridge over a byte channel.
//
// A request is two frames: a header (sync word, procedure number, argument
// length) and the argument bytes. The reply is a header (sync word, reply
// code, data length) and, after code 0xFF, the data, which is appended to the
// caller's message behind the arguments. Every frame's payload is followed by
// its 16-bit byte sum, low byte first. Damaged or late replies make the whole
// request go out again, up to `retries` attempts.
#include <cstdint>

#include "rpc/rpcmessage.h"

class IComm;

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
        TimedOut = -4,         // a read came back short
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

    // A healthy device asks for a request again only when the line damaged
    // it; this many requests in a row refused means the line is unusable,
    // and the user could not even cancel an unbounded series of them.
    static constexpr int kMaxRequestRepeats = 32;
    // Replies of this protocol carry at most a few bytes, so a device that
    // keeps sending this many bytes without a sync word is babbling. Bounding
    // the hunt keeps a call from running forever (about one second of line
    // time at 38,400 baud).
    static constexpr uint32_t kMaxSyncHuntBytes = 4096;
    // Stale bytes dropped before an attempt. A device only speaks when
    // spoken to, so anything beyond this is babble, left to the sync hunt.
    static constexpr uint32_t kMaxStaleBytes = 65536;
    // A device answers the requests it has queued one after the other, so
    // the answers owed to requests that timed out follow the last answer
    // within its turnaround: this much quiet (some 190 byte times at 38,400
    // baud) says none is coming any more. It is waited for only after a
    // time-out, which has already cost far more.
    static constexpr uint16_t kOwedAnswerQuietMs = 50;
    // A few answers' worth; a device that keeps talking beyond it is
    // babbling, and the sync hunt deals with that.
    static constexpr uint32_t kMaxOwedAnswerBytes = 1024;

    CRpc(IComm* channel, uint8_t retries);
    ~CRpc() = default;
    CRpc(const CRpc&) = delete;
    CRpc& operator=(const CRpc&) = delete;

    void SetTimeout(uint16_t milliseconds) { timeout = milliseconds; }
    uint16_t GetTimeout() const { return timeout; }

    // Calls `procedure` with the arguments in `message`. On success the reply
    // stands in `message` behind the arguments, the read position at its
    // first byte. 0 or one of the negative results above. Channel failures
    // pass through as exceptions.
    int Call(uint8_t procedure, CRpcMessage& message);

    int SendFrame(int kind, CRpcMessage& message);
    int ReceiveFrame(int kind, CRpcMessage& message, uint16_t count, uint16_t firstByteTimeout,
                     uint16_t timeout);

private:
    static bool CarriesSync(int kind) { return kind == 0 || kind == 2; }
    int HuntSync(uint16_t firstByteTimeout, uint16_t timeout);
    int ReadByte(uint8_t& byte, uint16_t timeoutMs);
    void WriteByte(uint8_t byte);
    // Drops what arrived before this request went out: a reply that came
    // after its time-out must not be taken for the answer to the next request.
    void DiscardStaleInput();
    // After a time-out the device may still owe answers: to the request that
    // timed out and to its repetitions. Waits until the line has been quiet
    // for kOwedAnswerQuietMs and drops what came.
    void DropOwedAnswers();

    IComm* channel;
    uint16_t timeout = kDefaultTimeoutMs;
    CRpcMessage header;
    uint8_t retries;
    // An attempt timed out since the line was last let go quiet.
    bool answersMayBeOwed = false;
};
