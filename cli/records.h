#pragma once
// The upload's events as records (--json): one JSON object a line, each
// with "event" and "port", for a program to read.
#include <cstdint>
#include <string>

#include <QJsonObject>

#include "cli/report.h"

namespace plemoflash {

// "waiting" (for the cartridge) and "answered".
QJsonObject EventRecord(const char* event, const std::string& port);
// A station's port that it will not upload to (held by another program,
// not a serial port), and why.
QJsonObject SkippedRecord(const std::string& port, const std::string& reason);
QJsonObject ProgressRecord(const std::string& port, int64_t bytesSent, int64_t bytesToSend);
// The one "result" of a port: outcome, cause, bytes, seconds, line health.
QJsonObject ResultRecord(const UploadReport& report);

} // namespace plemoflash
