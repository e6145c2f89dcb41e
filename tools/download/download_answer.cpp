#include "tools/download/download_answer.h"

#include "tools/download/http_fields.h"

namespace download {

namespace {

constexpr char kOctetStream[] = "application/octet-stream";
constexpr char kPlainText[] = "text/plain; charset=utf-8";

}  // namespace

Answer TypedAnswer(unsigned status, std::string text, std::vector<ResponseField> fields,
                   const char* content_type) {
    Answer answer;
    answer.status = status;
    answer.fields = std::move(fields);
    answer.fields.emplace_back("Content-Type", content_type);
    answer.fields.emplace_back("X-Content-Type-Options", "nosniff");
    answer.content_length = text.size();
    answer.text = std::move(text);
    return answer;
}

Answer TextAnswer(unsigned status, std::string message, std::vector<ResponseField> fields) {
    return TypedAnswer(status, std::move(message) + "\n", std::move(fields), kPlainText);
}

DownloadAnswer PlanDownloadAnswer(const DownloadConditions& conditions,
                                  const DownloadFacts& facts) {
    const std::uint64_t size = facts.size;
    // What a 200 would carry for caches, a 304 carries too.
    std::vector<ResponseField> cache_fields = {{"ETag", facts.etag}};
    if (!facts.cache_control.empty()) {
        cache_fields.emplace_back("Cache-Control", facts.cache_control);
    }
    DownloadAnswer answer;
    if (conditions.if_none_match && NoneMatchHolds(*conditions.if_none_match, facts.etag)) {
        answer.status = 304;
        answer.fields = std::move(cache_fields);
        return answer;
    }
    RangeRequest range;
    if (conditions.range &&
        (!conditions.if_range || IfRangeHolds(*conditions.if_range, facts.etag))) {
        range = ParseRange(*conditions.range, size);
    }
    if (range.kind == RangeRequest::Kind::kUnsatisfiable) {
        static_cast<Answer&>(answer) =
            TextAnswer(416, "the range lies beyond the " + std::to_string(size) + " bytes",
                       {{"Content-Range", ContentRange(range, size)},
                        {"Accept-Ranges", "bytes"},
                        {"ETag", facts.etag}});
        return answer;
    }
    if (range.kind == RangeRequest::Kind::kWhole) {
        range.first = 0;
        range.last = size - 1;
    }
    answer.status = range.kind == RangeRequest::Kind::kPart ? 206 : 200;
    answer.fields = {{"Content-Type", kOctetStream},
                     {"Content-Disposition", ContentDisposition(facts.download_name)},
                     {"Accept-Ranges", "bytes"}};
    answer.fields.insert(answer.fields.end(), cache_fields.begin(), cache_fields.end());
    if (range.kind == RangeRequest::Kind::kPart) {
        answer.fields.emplace_back("Content-Range", ContentRange(range, size));
    }
    answer.content_length = range.last + 1 - range.first;
    answer.sends_download = true;
    answer.first = range.first;
    answer.last = range.last;
    return answer;
}

}  // namespace download
