#pragma once
// Which request the next answer from the device belongs to.
//
// A reply names neither its procedure nor its request, and its length and
// timing are the device's to choose. What the device does promise: it
// answers each request it hears once (with its reply, "send again" or
// another code), in the order it heard them. So while every request sent
// has been answered or is still counted here, the next intact reply header
// answers the oldest request counted: the answers are *in step*.
//
// The count is an upper bound: a reply lost on the line, a request the
// device never heard (damaged, or the device was off) and a device that
// restarted leave requests counted that will never be answered. So the
// answers still owed are waited for only for a while: until one time-out
// has passed since the link last stopped waiting for one, or since the last
// of them came, whichever is later (a lost reply costs one more time-out,
// once). Those that have not come by then are written off, and the answers
// are *out of step*: any answer that comes from then on may be one of
// theirs, however late. Only an answer that the device could not have sent
// for any of them puts the count back in step: one the caller knew in
// advance (see CRpc::CallForKnownAnswer). Every answer up to it has come or
// never will, for the device answers in order.
//
// What is sent to a device that has never answered is forgotten when each
// call ends, without a wait: a cartridge that is still booting hears
// nothing, and its polls must each cost their own attempts and no more. So
// is what a device leaves owed once it has left a whole call unanswered and
// then let the wait for its owed answers pass in silence: it is gone
// (switched off, unplugged) until it answers again, and each call to it
// makes one attempt, not a series (a cartridge that restarted is silent
// until a handshake finds it booted). Either way the answers are then out
// of step, as a device that was slow rather than deaf may still answer.
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

    // A call begins: the requests it sends are counted from here.
    void CallBegins() { requestsOfCall = 0; }
    // A request went out under a reply time-out of `window`.
    void RequestSent(Time window)
    {
        unanswered = std::min(unanswered + 1, kMostCounted);
        ++requestsOfCall;
        this->window = window;
    }
    // An intact reply header: in step, the oldest request counted is answered.
    void AnswerSeen(Time at)
    {
        ++answersSeen;
        deviceListening = true;
        if (unanswered > 0)
            --unanswered;
        since = std::max(since, at);
    }
    // The answer the call in progress knew in advance has come. Every
    // request before the call's first one has been answered or never will
    // be; of the call's own requests, all but one may still answer.
    void KnownAnswerSeen(Time at)
    {
        ++answersSeen;
        deviceListening = true;
        inStep = true;
        unanswered = requestsOfCall > 0 ? requestsOfCall - 1 : 0;
        since = std::max(since, at);
    }
    // An intact reply that the call in progress could tell was not its own:
    // one of the answers written off earlier, come after all.
    void StrayAnswerSeen() { ++answersSeen; }
    // The link stopped waiting for an answer at `at`.
    void WaitEnded(Time at) { since = std::max(since, at); }
    void CallEnded(bool answered)
    {
        lastCallAnswered = answered;
        if (!deviceListening || !inStep)
            Forget();
    }

    bool InStep() const { return inStep; }
    // The device answered once, then left a whole call unanswered and the
    // wait for its answers pass in silence: switched off or unplugged.
    bool DeviceGone() const { return answersSeen > 0 && !deviceListening; }
    // In step, and no answer outstanding: the next answer is the next call's.
    bool AllAnswered() const { return inStep && unanswered == 0; }
    // Answers worth waiting for before the next request goes out.
    bool Pending() const { return inStep && unanswered > 0; }
    uint64_t AnswersSeen() const { return answersSeen; }
    uint32_t Count() const { return unanswered; }
    // Until when the owed answers are waited for: the shorter of the
    // time-out they were sent under and `nextWindow`, from the moment the
    // link last stopped waiting for one or the last of them came.
    Time Until(Time nextWindow) const { return since + std::min(window, nextWindow); }
    // Their time has passed: none of them is expected any more, and the
    // answers are out of step. `silence`: not one of them came; after a
    // call that got no answer at all either, the device is taken for gone.
    uint32_t WriteOff(bool silence)
    {
        const uint32_t lost = unanswered;
        Forget();
        if (silence && !lastCallAnswered)
            deviceListening = false;
        return lost;
    }

private:
    void Forget()
    {
        if (unanswered > 0)
            inStep = false;
        unanswered = 0;
    }

    uint32_t unanswered = 0;
    uint32_t requestsOfCall = 0;
    uint64_t answersSeen = 0;
    bool inStep = true;
    bool deviceListening = false; // has answered, and not gone quiet since
    bool lastCallAnswered = false;
    Time since{0};
    Time window{0};
};
