#pragma once
// What a procedure handler of the simulated device decides to answer.
#include <cstdint>
#include <utility>
#include <vector>

#include "sim/wire.h"

namespace sim {

struct Outcome
{
    enum class Kind
    {
        Reply,  // code 0xFF with `data` (possibly empty)
        Refuse, // `code` with no data: the host's call fails
        Ignore, // no answer at all, as a device that is not listening yet
    };

    Kind kind = Kind::Reply;
    std::vector<uint8_t> data;
    uint8_t code = ReplyCode::kReplyFollows;

    static Outcome Reply(std::vector<uint8_t> replyData = {})
    {
        return Outcome{Kind::Reply, std::move(replyData), ReplyCode::kReplyFollows};
    }
    static Outcome Refuse(uint8_t refusalCode = ReplyCode::kBadArguments)
    {
        return Outcome{Kind::Refuse, {}, refusalCode};
    }
    static Outcome Ignore() { return Outcome{Kind::Ignore, {}, 0}; }
};

} // namespace sim
