#pragma once
// One upload from the command line: the file checked, the port chosen and
// opened, and the upload session that the dialog runs too, shown on the
// console.
#include <optional>
#include <string>

namespace plemoflash {

struct UploadRequest
{
    std::string path;                // UTF-8
    std::string port;                // empty: the one free candidate
    std::optional<double> waitLimit; // seconds; none: until Ctrl-C
    bool trace = false;
    bool quiet = false;
};

// An exit status.
int RunUpload(const UploadRequest& request);

} // namespace plemoflash
