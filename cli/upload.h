#pragma once
// The uploads of one run from the command line: the file checked, the ports
// chosen, and on each port its own upload session (the dialog's too), side
// by side on threads of their own, shown on the console.
#include <optional>
#include <string>
#include <vector>

namespace plemoflash {

struct UploadRequest
{
    std::string path;                // UTF-8
    std::vector<std::string> ports;  // none: the one free candidate (or all, allPorts)
    bool allPorts = false;           // every free candidate
    bool station = false;            // every port that appears, until Ctrl-C (ports: among those)
    std::optional<double> waitLimit; // seconds; none: until Ctrl-C
    bool trace = false;
    bool quiet = false;
    bool json = false;               // records on the standard output, words on the standard error
};

// An exit status.
int RunUpload(const UploadRequest& request);

} // namespace plemoflash
