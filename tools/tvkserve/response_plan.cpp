#include "tools/tvkserve/response_plan.h"

#include <string_view>
#include <variant>

#include "tools/tvkserve/download_request.h"
#include "tools/tvkserve/http_fields.h"
#include "tools/tvkserve/server_metrics.h"

namespace tvkserve {

namespace {

constexpr char kOctetStream[] = "application/octet-stream";
constexpr char kPlainText[] = "text/plain; charset=utf-8";

// The paths the metrics address answers.
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kHealthPath = "/healthz";

ResponsePlan TypedAnswer(unsigned status, std::string text, std::vector<ResponseField> fields,
                         const char* content_type) {
    ResponsePlan plan;
    plan.status = status;
    plan.fields = std::move(fields);
    plan.fields.emplace_back("Content-Type", content_type);
    plan.fields.emplace_back("X-Content-Type-Options", "nosniff");
    plan.content_length = text.size();
    plan.text = std::move(text);
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
    const std::uint64_t size = description.size;
    // What a 200 would carry for caches, a 304 carries too.
    std::vector<ResponseField> cache_fields = {{"ETag", description.etag}};
    if (!config.cache_control.empty()) {
        cache_fields.emplace_back("Cache-Control", config.cache_control);
    }
    if (head.if_none_match && NoneMatchHolds(*head.if_none_match, description.etag)) {
        ResponsePlan plan;
        plan.status = 304;
        plan.fields = std::move(cache_fields);
        plan.send_body = false;
        return plan;
    }
    RangeRequest range;
    if (head.range && (!head.if_range || IfRangeHolds(*head.if_range, description.etag))) {
        range = ParseRange(*head.range, size);
    }
    if (range.kind == RangeRequest::Kind::kUnsatisfiable) {
        return TextAnswer(416, "the range lies beyond the " + std::to_string(size) + " bytes",
                          {{"Content-Range", ContentRange(range, size)},
                           {"Accept-Ranges", "bytes"},
                           {"ETag", description.etag}});
    }
    if (range.kind == RangeRequest::Kind::kWhole) {
        range.first = 0;
        range.last = size - 1;
    }
    ResponsePlan plan;
    plan.status = range.kind == RangeRequest::Kind::kPart ? 206 : 200;
    plan.fields = {{"Content-Type", kOctetStream},
                   {"Content-Disposition", ContentDisposition(selection.package->download_name)},
                   {"Accept-Ranges", "bytes"}};
    plan.fields.insert(plan.fields.end(), cache_fields.begin(), cache_fields.end());
    if (range.kind == RangeRequest::Kind::kPart) {
        plan.fields.emplace_back("Content-Range", ContentRange(range, size));
    }
    plan.content_length = range.last + 1 - range.first;
    plan.send_body = head.method != RequestMethod::kHead;
    plan.first = range.first;
    plan.last = range.last;
    const ServedPackage& package = *description.package;
    plan.needs_tag = range.first < package.head_size() || range.last >= package.table_offset();
    plan.download = std::move(description);
    return plan;
}

}  // namespace

ResponsePlan TextAnswer(unsigned status, std::string message, std::vector<ResponseField> fields) {
    return TypedAnswer(status, std::move(message) + "\n", std::move(fields), kPlainText);
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
        const LinkCheck link = CheckLink(target, content.link_keys, links->max_lifetime, now);
        if (link.failure && (link.is_signed || links->required)) {
            link_failure = link.failure;
            if (!links->fallback_brand) {
                ResponsePlan refusal = TextAnswer(
                    403, "the download link is not valid: " +
                             std::string(LinkFailureWord(*link.failure)) + ": " + link.detail);
                refusal.link_failure = link.failure;
                return keep(std::move(refusal));
            }
            // The plain product, whatever the link asked for.
            const std::string_view path_and_query = PathAndQuery(target);
            target = std::string(path_and_query.substr(0, path_and_query.find('?'))) +
                     "?brand=" + *links->fallback_brand;
        } else if (link.is_signed) {
            target = std::string(link.unsigned_target);
        }
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
        plan = TypedAnswer(200, metrics_text(), {}, kMetricsContentType);
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
