#pragma once
// The reply styles the upload tests run against: cartridges that keep the
// protocol yet differ in what their replies carry. A host that meets only
// one of them learns that one's habits, not the protocol.
//
//   class Suite : public styletest::StyledTest {};
//   TEST_P(Suite, Case) { ... Style() ... }
//   PLEMO_FOR_EACH_REPLY_STYLE(Suite);   // in process: every style
//   PLEMO_FOR_PTY_REPLY_STYLES(Suite);   // over a pty: three, each costs real time
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/replystyle.h"

namespace styletest {

// Every style: on the in-process line's simulated clock they cost little.
inline std::vector<std::string> AllStyles()
{
    return sim::ReplyStyle::Names();
}

// The exact replies, a 4-byte status where the host reads nothing, and
// random lengths everywhere.
inline std::vector<std::string> PtyStyles()
{
    return {"exact", "status", "random"};
}

inline sim::ReplyStyle Style(const std::string& name)
{
    return sim::ReplyStyle::Named(name).value();
}

inline std::string ParamName(const ::testing::TestParamInfo<std::string>& info)
{
    return info.param;
}

class StyledTest : public ::testing::TestWithParam<std::string>
{
protected:
    sim::ReplyStyle Style() const { return styletest::Style(GetParam()); }
};

} // namespace styletest

#define PLEMO_FOR_EACH_REPLY_STYLE(suite)                                                    \
    INSTANTIATE_TEST_SUITE_P(Styles, suite, ::testing::ValuesIn(styletest::AllStyles()),     \
                             styletest::ParamName)
#define PLEMO_FOR_PTY_REPLY_STYLES(suite)                                                    \
    INSTANTIATE_TEST_SUITE_P(Styles, suite, ::testing::ValuesIn(styletest::PtyStyles()),     \
                             styletest::ParamName)
