#include "tools/tvkserve/response_plan.h"

#include <string_view>
#include <variant>

#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/server_metrics.h"

namespace tvkserve {

namespace {

// The paths the metrics address answers.
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kHealthPath = "/healthz";

ResponsePlan PlanOf(download::Answer answer) {
    ResponsePlan plan;
    static_cast<download::Answer&>(plan) = std::move(answer);
    return plan;
}

// Stage 1: what no request may be, on either address. Such a request was
// not understood, so its connection ends with the answer.
std::optional<ResponsePlan> RefuseRequest(const RequestHead& head) {
    if (head.method == RequestMethod::kOther) {
        // A body the request may carry is not read.
        return TextAnswer(405, "only GET and HEAD are allowed", {{"Allow", "GET, HEAD"}});
    }
    if (head.target.size() > kRequestLineLimit) {
        return TextAnswer(414, "the request line is too long");
    }
    // A body this server does not read would be taken for the next
    // request; with any transfer coding the body's end is unknown.
    if (head.has_transfer_encoding) {
        return TextAnswer(400, "a download request carries no body (it has a Transfer-Encoding)");
    }
    if (head.content_length > 0) {
        return TextAnswer(400, "a download request carries no body");
    }
    // One Host, as HTTP/1.1 demands (and never two, in any version).
    if (head.host_fields > 1 || (head.version >= 11 && head.host_fields == 0)) {
        return TextAnswer(400, "an HTTP/1.1 request names its Host once");
    }
    return std::nullopt;
}

// A refusal of stage 1, whose connection ends with it.
std::optional<ResponsePlan> Refusal(const RequestHead& head) {
    std::optional<ResponsePlan> refusal = RefuseRequest(head);
    if (refusal) {
        refusal->send_body = head.method != RequestMethod::kHead;
    }
    return refusal;
}

// Stages 4 and 5 for a described download.
ResponsePlan PlanDownload(const RequestHead& head, const DownloadSelection& selection,
                          DownloadDescription description, const ServeConfig& config) {
    download::DownloadAnswer answer = download::PlanDownloadAnswer(
        {head.if_none_match, head.range, head.if_range},
        {description.etag, description.size, selection.package->download_name,
         config.cache_control});
    ResponsePlan plan = PlanOf(answer);
    if (!answer.sends_download) {
        plan.send_body = answer.status != 304;
        return plan;
    }
    plan.send_body = head.method != RequestMethod::kHead;
    plan.first = answer.first;
    plan.last = answer.last;
    const ServedPackage& package = *description.package;
    plan.needs_tag = plan.first < package.head_size() || plan.last >= package.table_offset();
    plan.download = std::move(description);
    return plan;
}

}  // namespace

ResponsePlan TextAnswer(unsigned status, std::string message, std::vector<ResponseField> fields) {
    return PlanOf(download::TextAnswer(status, std::move(message), std::move(fields)));
}

ResponsePlan PlanDownloadResponse(const RequestHead& head, const ServedContent& content,
                                  bool finishing, std::int64_t now) {
    if (std::optional<ResponsePlan> refusal = Refusal(head)) {
        return *refusal;
    }
    // Understood: what follows may keep the connection.
    const bool keep_alive = head.keep_alive && !finishing;
    const auto keep = [&](ResponsePlan plan) {
        plan.keep_alive = keep_alive;
        if (head.method == RequestMethod::kHead) {
            plan.send_body = false;
        }
        return plan;
    };

    // A fragment is the client's own and never part of what it asks for.
    std::string target = head.target.substr(0, head.target.find('#'));
    std::optional<LinkFailure> link_failure;
    if (const std::optional<LinksConfig>& links = content.config.links) {
        download::LinkDecision decision = download::DecideLink(
            target, CheckLink(target, content.link_keys, links->max_lifetime, now), *links);
        link_failure = decision.failure;
        if (decision.refusal) {
            ResponsePlan refusal = TextAnswer(403, std::move(*decision.refusal));
            refusal.link_failure = link_failure;
            return keep(std::move(refusal));
        }
        target = std::move(decision.target);
    }
    const auto keep_link = [&](ResponsePlan plan) {
        plan.link_failure = link_failure;
        return keep(std::move(plan));
    };

    const auto selection = SelectDownload(target, content.config);
    if (const auto* rejection = std::get_if<RequestRejection>(&selection)) {
        return keep_link(TextAnswer(rejection->status, rejection->message));
    }
    const DownloadSelection& chosen = std::get<DownloadSelection>(selection);
    DownloadDescription description;
    try {
        description = content.catalog.Describe(chosen);
    } catch (const packaging::CommandError& error) {
        return keep_link(
            TextAnswer(400, std::string("the parameters cannot be tagged: ") + error.what()));
    }
    return keep_link(PlanDownload(head, chosen, std::move(description), content.config));
}

ResponsePlan PlanMonitoringResponse(const RequestHead& head, bool finishing,
                                    const std::function<std::string()>& metrics_text) {
    if (std::optional<ResponsePlan> refusal = Refusal(head)) {
        return *refusal;
    }
    const std::string_view path =
        std::string_view(head.target).substr(0, head.target.find_first_of("?#"));
    ResponsePlan plan;
    if (path == kMetricsPath) {
        plan = PlanOf(download::TypedAnswer(200, metrics_text(), {}, kMetricsContentType));
    } else if (path == kHealthPath) {
        // A load balancer's health check: a server that finishes takes no
        // new downloads.
        plan =
            finishing ? TextAnswer(503, "finishing the running downloads") : TextAnswer(200, "ok");
    } else {
        plan = TextAnswer(404, "there is nothing here; this address answers /metrics and /healthz");
    }
    plan.keep_alive = head.keep_alive && !finishing;
    plan.send_body = head.method != RequestMethod::kHead;
    return plan;
}

}  // namespace tvkserve
