#pragma once
// One port's upload in a run: its own session (adapter, host, line), the
// front end that shows it, and its report once it is over. Made on the
// run's thread, run on a thread of its own; what it shares with the other
// ports is the output (locked) and the Ctrl-C (an atomic flag).
#include <cstddef>
#include <memory>
#include <string>

#include "cli/report.h"
#include "cli/upload.h"
#include "flash/uploadsession.h"

namespace plemoflash {

class Output;

class PortUpload
{
public:
    // `row`: the port's place in `output`.
    PortUpload(const UploadRequest& request, std::string port, std::size_t row, Output& output);
    ~PortUpload();
    PortUpload(const PortUpload&) = delete;
    PortUpload& operator=(const PortUpload&) = delete;

    // The whole upload; its end is said as the run's words and a record.
    void Run(CUploadSession::Kind kind);
    // After Run.
    const UploadReport& Report() const { return report; }

private:
    class FrontEnd;

    const UploadRequest& request;
    Output& output;
    const std::size_t row;
    std::unique_ptr<FrontEnd> frontEnd;
    std::unique_ptr<CUploadSession> session;
    UploadReport report;
};

} // namespace plemoflash
