#include "tools/tvkserve/server_metrics.h"

#include "tools/tvkserve/signed_link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace tvkserve {

namespace {

// A number as the format writes it: integers as they are, other values in
// the shortest form that reads back the same.
std::string Number(double value) {
    char text[32];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

class MetricsWriter {
  public:
    // The family's HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    // One sample; labels as written between the braces (package and brand
    // ids are letters, digits, '.', '_' and '-', which need no escapes).
    void Sample(const std::string& name, const std::string& labels, const std::string& value) {
        text_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    void Sample(const std::string& name, const std::string& labels, std::uint64_t value) {
        Sample(name, labels, std::to_string(value));
    }
    std::string Take() { return std::move(text_); }

  private:
    std::string text_;
};

}  // namespace

std::string MetricsText(const ServerCounters& counters, const ServerGauges& gauges) {
    MetricsWriter out;
    out.Family("tvkserve_http_responses_total", "counter",
               "Responses on the download address, by status code (the access log's lines).");
    for (const auto& [status, count] : counters.responses.Counted()) {
        out.Sample("tvkserve_http_responses_total", "code=\"" + std::to_string(status) + "\"",
                   count);
    }
    out.Family("tvkserve_sent_body_bytes_total", "counter",
               "Bytes of response bodies on the download address that the clients took "
               "(acknowledged).");
    out.Sample("tvkserve_sent_body_bytes_total", "", counters.body_bytes.load());
    out.Family("tvkserve_responses_cut_total", "counter",
               "Responses on the download address that did not reach their client whole.");
    out.Sample("tvkserve_responses_cut_total", "", counters.responses_cut.load());

    out.Family("tvkserve_downloads_total", "counter",
               "GET responses that send a package (200 or 206), by package and brand id.");
    for (const auto& [ids, count] : counters.downloads.Counted()) {
        out.Sample("tvkserve_downloads_total",
                   "package=\"" + ids.first + "\",brand=\"" + ids.second + "\"", count);
    }
    out.Family("tvkserve_downloads_in_flight", "gauge", "Downloads being sent now.");
    out.Sample(
        "tvkserve_downloads_in_flight", "",
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, counters.downloads_in_flight.load())));
    out.Family("tvkserve_connections_in_flight", "gauge",
               "Open connections on the download address.");
    out.Sample("tvkserve_connections_in_flight", "", gauges.open_connections);
    out.Family("tvkserve_connections_total", "counter",
               "Connections accepted and served on the download address.");
    out.Sample("tvkserve_connections_total", "", counters.connections.load());

    const DurationHistogram::Snapshot tag_time = counters.tag_build_time.Take();
    out.Family("tvkserve_tag_build_seconds", "histogram",
               "Time to build a download's tag (its first header bytes and its certificate "
               "table).");
    for (std::size_t i = 0; i < DurationHistogram::kBounds.size(); ++i) {
        out.Sample("tvkserve_tag_build_seconds_bucket",
                   "le=\"" + Number(DurationHistogram::kBounds[i]) + "\"", tag_time.cumulative[i]);
    }
    out.Sample("tvkserve_tag_build_seconds_bucket", "le=\"+Inf\"", tag_time.count);
    out.Sample("tvkserve_tag_build_seconds_sum", "", Number(tag_time.sum));
    out.Sample("tvkserve_tag_build_seconds_count", "", tag_time.count);
    out.Family("tvkserve_tag_bytes_held", "gauge",
               "Bytes the running downloads hold of their own (limits.max_tag_bytes caps them).");
    out.Sample("tvkserve_tag_bytes_held", "", gauges.tag_bytes_held);

    out.Family("tvkserve_unavailable_total", "counter",
               "503 answers, by reason: limits.max_connections and "
               "limits.max_connections_per_client (the connection is turned away unread), "
               "limits.max_tag_bytes, or a failure to answer.");
    out.Sample("tvkserve_unavailable_total", "reason=\"max_connections\"",
               counters.turned_away.load());
    out.Sample("tvkserve_unavailable_total", "reason=\"max_connections_per_client\"",
               counters.turned_away_per_client.load());
    out.Sample("tvkserve_unavailable_total", "reason=\"max_tag_bytes\"",
               counters.refused_tag_bytes.load());
    out.Sample("tvkserve_unavailable_total", "reason=\"failure\"", counters.failed.load());

    out.Family("tvkserve_link_failures_total", "counter",
               "Download links not taken (links in the configuration), by reason and by what "
               "the request got: refused (403) or the fallback brand.");
    for (const LinkFailure failure : kLinkFailures) {
        const auto index = static_cast<std::size_t>(failure);
        const std::string reason = "reason=\"" + std::string(LinkFailureLabel(failure)) + "\"";
        out.Sample("tvkserve_link_failures_total", reason + ",outcome=\"refused\"",
                   counters.links_refused[index].load());
        out.Sample("tvkserve_link_failures_total", reason + ",outcome=\"fallback\"",
                   counters.links_fallback[index].load());
    }

    out.Family("tvkserve_access_log_dropped_lines_total", "counter",
               "Access log lines dropped because the log's reader fell behind.");
    out.Sample("tvkserve_access_log_dropped_lines_total", "", gauges.access_log_lines_dropped);
    out.Family("tvkserve_reloads_total", "counter",
               "Configurations reloaded on SIGHUP, by result (applied, or refused and the one "
               "before kept).");
    out.Sample("tvkserve_reloads_total", "result=\"applied\"", counters.reloads.load());
    out.Sample("tvkserve_reloads_total", "result=\"refused\"", counters.reloads_refused.load());
    return out.Take();
}

}  // namespace tvkserve
