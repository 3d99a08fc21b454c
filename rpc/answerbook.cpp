#include "rpc/answerbook.h"

void AnswerBook::RequestSent(Time replyWindow)
{
    ++requestsOfCall;
    window = replyWindow;
    if (standing == Standing::OutOfStep)
        return;
    owed = std::min(owed + 1, kMostCounted);
    standing = Standing::Owed;
}

void AnswerBook::Heard(Time at)
{
    hearing = Hearing::Listening;
    callAnswered = true;
    since = std::max(since, at);
}

void AnswerBook::AnswerSeen(Time at)
{
    Heard(at);
    if (standing == Standing::Owed && --owed == 0)
        standing = Standing::InStep;
}

void AnswerBook::KnownAnswerSeen(Time at)
{
    Heard(at);
    owed = requestsOfCall > 0 ? requestsOfCall - 1 : 0;
    standing = owed > 0 ? Standing::Owed : Standing::InStep;
}

void AnswerBook::StrayAnswerSeen()
{
    // The device is there; what it said belongs to an earlier request.
    hearing = Hearing::Listening;
    callAnswered = true;
}

void AnswerBook::CallEnded()
{
    // What a device that does not answer was sent is not waited for: a
    // cartridge still booting must cost each poll its own attempts only.
    if (hearing != Hearing::Listening)
        Forget();
}

uint32_t AnswerBook::WriteOff(bool silence)
{
    const uint32_t lost = OwedCount();
    Forget();
    if (silence && !callAnswered && hearing == Hearing::Listening)
        hearing = Hearing::Silent;
    return lost;
}

void AnswerBook::Forget()
{
    if (standing == Standing::Owed)
        standing = Standing::OutOfStep;
    owed = 0;
}
