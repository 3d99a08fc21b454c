#pragma once
// The answers a device may still send for requests whose replies did not
// come in time.
//
// The device answers every request it hears exactly once, in the order it
// heard them: with its reply, with "send again", or with another code. So
// every request sent and every intact reply header seen since the port was
// opened keep a running balance: what is left is what the device may still
// owe. It is an upper bound (a reply lost on the line, or a request the
// device never heard, is counted too), so the answers are waited for only
// for a while: until one time-out has passed since the link last stopped
// waiting for one, or since the last of them came, whichever is later. That
// is the cost of a lost reply: one more time-out, once.
//
// A device that has never answered has not booted and heard nothing: what
// was sent to it is forgotten when each call ends, so the polls of a
// cartridge that is still booting each cost their own attempts and no more.
// So is one that left a whole call unanswered and then let the wait for
// its owed answers pass in silence too: it is gone (switched off,
// unplugged) until it answers again, and the calls that close an upload
// after it cost their own attempts and no more.
#include <algorithm>
#include <cstdint>

#include "serial/comm.h"

class OwedAnswers
{
public:
    using Time = IComm::Time;

    // More than one call's attempts and request repeats; the balance is an
    // estimate beyond that anyway.
    static constexpr uint32_t kMostCounted = 64;

    // A request went out under a reply time-out of `window`.
    void RequestSent(Time window)
    {
        unanswered = std::min(unanswered + 1, kMostCounted);
        this->window = window;
    }
    // An intact reply header: one request has been answered.
    void AnswerSeen(Time at)
    {
        ++answersSeen;
        deviceListening = true;
        if (unanswered > 0)
            --unanswered;
        since = std::max(since, at);
    }
    // An intact reply that cannot answer the call in progress: one of the
    // answers written off earlier came after all, however late. It answers
    // none of the requests still counted.
    void OverdueAnswerSeen() { ++answersSeen; }
    // The link stopped waiting for an answer at `at`.
    void WaitEnded(Time at) { since = std::max(since, at); }
    void CallEnded(bool answered)
    {
        lastCallAnswered = answered;
        if (!deviceListening)
            unanswered = 0;
    }

    bool Pending() const { return unanswered > 0; }
    uint64_t AnswersSeen() const { return answersSeen; }
    uint32_t Count() const { return unanswered; }
    // Until when the owed answers are waited for: the shorter of the
    // time-out they were sent under and `nextWindow`, from the moment the
    // link last stopped waiting for one or the last of them came.
    Time Until(Time nextWindow) const { return since + std::min(window, nextWindow); }
    // Their time has passed: none of them is expected any more. `silence`:
    // not one of them came; after a call that got no answer at all either,
    // the device is taken for gone.
    uint32_t WriteOff(bool silence)
    {
        const uint32_t lost = unanswered;
        unanswered = 0;
        if (silence && !lastCallAnswered)
            deviceListening = false;
        return lost;
    }

private:
    uint32_t unanswered = 0;
    uint64_t answersSeen = 0;
    bool deviceListening = false; // has answered, and not gone quiet since
    bool lastCallAnswered = false;
    Time since{0};
    Time window{0};
};
