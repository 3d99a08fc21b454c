#pragma once
// Why an upload failed: the first step that went wrong, and what happened
// there, kept so that a front end can tell a person what to do about it.
#include <cstdint>
#include <string>
#include <utility>

struct UploadFailure
{
    enum class What
    {
        None,
        DeviceStatus,   // the cartridge answered with a failing status (`status`)
        NoAnswer,       // the cartridge stopped answering
        DamagedReplies, // its replies kept arriving damaged
        DamagedRequests, // the line kept the requests from arriving intact
        UnusableReply,  // a reply the host could not use (`status`: the link's result, or -1)
        BufferMismatch, // the cartridge's sum of its buffer was not the block's
        FileUnreadable,
        FileRejected,   // a ".bit" file the reader refused
        FileChanged,    // the file changed while it was uploaded
        LineGone,       // the serial line failed (`systemError`)
        Cancelled,
        Defect,         // an error of the host's own
    };

    What what = What::None;
    // The cartridge's procedure that failed, by name; empty where none did.
    std::string procedure;
    // The flash range (or buffer range, for LoadBuffer) it concerned.
    bool hasRange = false;
    uint32_t address = 0;
    uint32_t length = 0;
    int32_t status = 0;
    // LineGone: the system's error number and message, where there are.
    int systemError = 0;
    std::string systemMessage;

    bool Failed() const { return what != What::None; }

    static UploadFailure Of(What what, std::string procedure = {}, int32_t status = 0)
    {
        UploadFailure failure;
        failure.what = what;
        failure.procedure = std::move(procedure);
        failure.status = status;
        return failure;
    }
    UploadFailure& In(uint32_t rangeAddress, uint32_t rangeLength)
    {
        hasRange = true;
        address = rangeAddress;
        length = rangeLength;
        return *this;
    }
};

// What went wrong, in words a person can act on: the step and what
// happened there ("the cartridge answered ProgramRange for
// 0x3C1000-0x3C1FFF with status -5"). Empty when nothing failed.
std::string DescribeFailure(const UploadFailure& failure);
