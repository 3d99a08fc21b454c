#include "cli/records.h"

#include <QString>

#include "cli/exitstatus.h"

namespace plemoflash {

namespace {

using What = UploadFailure::What;

const char* WhatName(What what)
{
    switch (what) {
    case What::None: return "none";
    case What::DeviceStatus: return "deviceStatus";
    case What::NoAnswer: return "noAnswer";
    case What::DamagedReplies: return "damagedReplies";
    case What::DamagedRequests: return "damagedRequests";
    case What::UnusableReply: return "unusableReply";
    case What::BufferMismatch: return "bufferMismatch";
    case What::FileUnreadable: return "fileUnreadable";
    case What::FileRejected: return "fileRejected";
    case What::FileChanged: return "fileChanged";
    case What::LineGone: return "lineGone";
    case What::Cancelled: return "cancelled";
    case What::Defect: return "defect";
    }
    return "defect";
}

QJsonValue Count(uint64_t count)
{
    return static_cast<qint64>(count);
}

// The first step that went wrong, as fields; a port that did not open has
// the serial layer's error instead.
QJsonObject FailureFields(const UploadReport& report)
{
    const CUploadSession::Result& result = report.result;
    QJsonObject fields;
    if (result.outcome == CUploadSession::Outcome::PortUnavailable) {
        fields["what"] = "portUnavailable";
        fields["status"] = static_cast<int>(result.portError.code);
        fields["systemError"] = static_cast<qint64>(result.portError.systemError);
        return fields;
    }
    const UploadFailure& failure = result.failure;
    fields["what"] = report.waitRanOut ? "waitRanOut" : WhatName(failure.what);
    if (!failure.procedure.empty())
        fields["procedure"] = QString::fromStdString(failure.procedure);
    if (failure.hasRange)
        fields["range"] = QJsonObject{{"address", static_cast<qint64>(failure.address)},
                                      {"length", static_cast<qint64>(failure.length)}};
    fields["status"] = failure.status;
    if (failure.what == What::LineGone)
        fields["systemError"] = failure.systemError;
    return fields;
}

QJsonObject LineFields(const CUploadSession::Result& result)
{
    const CRpc::Stats line = LineHealthOf(result);
    return {{"clean", !LineDamaged(line)},
            {"requests", Count(line.requests)},
            {"damagedReplies", Count(line.damagedReplies)},
            {"lateReplies", Count(line.timedOut)},
            {"askedAgain", Count(line.askedAgain)},
            {"resyncBytes", Count(line.skippedBytes)},
            {"lostAnswers", Count(line.lostAnswers)}};
}

} // namespace

QJsonObject EventRecord(const char* event, const std::string& port)
{
    return {{"event", event}, {"port", QString::fromStdString(port)}};
}

QJsonObject SkippedRecord(const std::string& port, const std::string& reason)
{
    QJsonObject record = EventRecord("skipped", port);
    record["reason"] = QString::fromStdString(reason);
    return record;
}

QJsonObject ProgressRecord(const std::string& port, int64_t bytesSent, int64_t bytesToSend)
{
    QJsonObject record = EventRecord("progress", port);
    record["bytesSent"] = static_cast<qint64>(bytesSent);
    record["bytesToSend"] = static_cast<qint64>(bytesToSend);
    return record;
}

QJsonObject ResultRecord(const UploadReport& report)
{
    const CUploadSession::Result& result = report.result;
    QJsonObject record = EventRecord("result", report.port);
    record["outcome"] = OutcomeWord(result.outcome);
    if (result.outcome != CUploadSession::Outcome::Succeeded) {
        record["cause"] = QString::fromStdString(FailureLine(report));
        record["failure"] = FailureFields(report);
    }
    record["bytesConfirmed"] = static_cast<qint64>(result.bytesWritten);
    record["bytesToSend"] = static_cast<qint64>(result.bytesToSend);
    record["waitSeconds"] = report.waitSeconds;
    record["transferSeconds"] = report.transferSeconds;
    record["seconds"] = report.waitSeconds + report.transferSeconds;
    record["line"] = LineFields(result);
    record["exitStatus"] = ExitStatusOf(report);
    return record;
}

} // namespace plemoflash
