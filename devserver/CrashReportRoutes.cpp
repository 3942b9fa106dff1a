#include "devserver/CrashReportRoutes.hpp"

#include "devserver/FormEncoding.hpp"
#include "devserver/Gzip.hpp"
#include "devserver/Server.hpp"

namespace devserver {

const CrashReportService::ReportPart* CrashReportService::Report::part(const std::string& fieldName) const {
    for (const ReportPart& p : parts)
        if (p.fieldName == fieldName)
            return &p;
    return nullptr;
}

std::vector<CrashReportService::Report> CrashReportService::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

void CrashReportService::scriptNext(Reply reply) {
    std::lock_guard lock(mutex_);
    scripted_.push_back(std::move(reply));
}

Reply CrashReportService::receive(const RecordedRequest& request) {
    std::string_view rest = std::string_view(request.path).substr(std::string_view(kCrashReportsPathPrefix).size());
    const std::string_view suffix = "/reports";
    if (!rest.ends_with(suffix) || rest.size() == suffix.size())
        return Reply::json(404, R"({"error":"no such report endpoint"})");
    Report report;
    report.bundle = percentDecode(rest.substr(0, rest.size() - suffix.size()));
    report.headers = request.headers;
    report.body = request.body;
    Reply reply = Reply::json(200, "{}");
    std::string problem;
    const auto form = parseMultipartForm(request, &problem);
    if (!form) {
        report.problem = problem;
        reply = Reply::json(400, R"({"error":"not a report package"})");
    } else {
        for (const FormPart& part : form->parts) {
            ReportPart kept{part.name, part.fileName, part.header("content-type"), part.body};
            if (kept.contentType == "application/x-gzip") {
                auto inflated = gunzip(part.body);
                if (!inflated) {
                    report.problem = "part " + part.name + " is not gzip";
                    reply = Reply::json(400, R"({"error":"a part is not gzip"})");
                    break;
                }
                kept.bytes = std::move(*inflated);
            }
            if (!part.fileName && part.name == "api_key")
                report.apiKey = part.body;
            else if (!part.fileName && part.name == "report_id")
                report.reportId = part.body;
            report.parts.push_back(std::move(kept));
        }
    }
    std::lock_guard lock(mutex_);
    if (!scripted_.empty()) {
        reply = std::move(scripted_.front());
        scripted_.pop_front();
    }
    report.status = reply.kind == Reply::Kind::Respond ? reply.status : 0;
    reports_.push_back(std::move(report));
    return reply;
}

std::shared_ptr<CrashReportService> installCrashReportRoutes(Server& server) {
    auto service = std::make_shared<CrashReportService>();
    Route reports;
    reports.method = "POST";
    reports.host = kCrashReportsHost;
    reports.path = kCrashReportsPathPrefix;
    reports.match = PathMatch::Prefix;
    reports.handler = [service](const RecordedRequest& request) { return service->receive(request); };
    server.route(std::move(reports));
    return service;
}

} // namespace devserver
