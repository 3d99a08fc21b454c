#include "flash/uploadfailure.h"

#include <cstdio>

#include "flash/procedures.h"

namespace {

// "0x3C1000-0x3C1FFF"; empty without a range.
std::string Range(const UploadFailure& failure)
{
    if (!failure.hasRange || failure.length == 0)
        return {};
    char range[48];
    std::snprintf(range, sizeof range, "0x%X-0x%X", static_cast<unsigned>(failure.address),
                  static_cast<unsigned>(failure.address + failure.length - 1));
    return range;
}

// "ProgramRange for 0x3C1000-0x3C1FFF", or the procedure alone.
std::string Step(const UploadFailure& failure)
{
    const std::string range = Range(failure);
    return range.empty() ? failure.procedure : failure.procedure + " for " + range;
}

std::string UnusableReply(const UploadFailure& failure)
{
    // The link's results: -1 a reply code other than "data follows" or
    // "send again", -2 a reply too large for any message.
    if (failure.status == -1 && failure.procedure == NameOf(Procedure::GetBufferSize))
        return "the cartridge answered GetBufferSize without a size";
    if (failure.procedure == NameOf(Procedure::GetBufferSize))
        return "the cartridge reported a transfer buffer of " + std::to_string(failure.status) +
               " bytes, which the upload cannot use";
    if (failure.procedure == NameOf(Procedure::ProgramRange) && failure.status == -1)
        return "the cartridge answered " + Step(failure) + " without a status";
    if (failure.procedure == NameOf(Procedure::GetBufferChecksum))
        return "the cartridge answered " + Step(failure) + " without a status and a sum";
    if (failure.status == -2)
        return "the cartridge answered " + Step(failure) + " with a reply too large to take";
    return "the cartridge refused " + Step(failure) + " with an unknown reply code";
}

} // namespace

std::string DescribeFailure(const UploadFailure& failure)
{
    using What = UploadFailure::What;
    switch (failure.what) {
    case What::None:
        return {};
    case What::DeviceStatus:
        return "the cartridge answered " + Step(failure) + " with status " +
               std::to_string(failure.status);
    case What::NoAnswer:
        return "the cartridge stopped answering (" + Step(failure) + " got no reply)";
    case What::DamagedReplies:
        return "the cartridge's replies to " + Step(failure) + " kept arriving damaged";
    case What::DamagedRequests:
        return "the line kept damaging the requests for " + Step(failure) +
               " (the cartridge answered those that arrived intact)";
    case What::UnusableReply:
        return UnusableReply(failure);
    case What::BufferMismatch:
        return "the block for " + Range(failure) + " did not arrive intact in the cartridge's buffer";
    case What::FileUnreadable:
        return "the file could not be read";
    case What::FileRejected:
        return "the file is not one the upload can write";
    case What::FileChanged:
        return "the file changed while it was uploaded";
    case What::LineGone: {
        std::string text = "the serial line failed";
        if (!failure.systemMessage.empty())
            text += ": " + failure.systemMessage;
        if (failure.systemError != 0)
            text += " (system error " + std::to_string(failure.systemError) + ")";
        return text;
    }
    case What::Cancelled:
        return "the upload was cancelled";
    case What::Defect:
        return "the upload stopped on an internal error";
    }
    return {};
}
