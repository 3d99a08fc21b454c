#pragma once
// The file to upload, looked at before any port is opened: whether it can be
// read and, for a ".bit", whether the reader takes it and its data fits the
// flash image; and what --info shows of it.
#include <cstdio>
#include <string>

#include "flash/uploadsession.h"

namespace plemoflash {

// Empty when the file can be uploaded; else one line: what is wrong with it
// and what to try.
std::string UploadFileProblem(const std::string& path, CUploadSession::Kind kind);

// Prints what the file holds (--info). An exit status: kBadUsage when the
// file cannot be uploaded, said on `err`.
int PrintFileInfo(const std::string& path, std::FILE* out, std::FILE* err);

} // namespace plemoflash
