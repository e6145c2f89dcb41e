// make_request_path_seeds OUT_FOLDER
//
// Writes the seed corpus of request_path_fuzz into
// OUT_FOLDER/request_path_fuzz/: what a client sends on one connection, each
// behind the byte that chooses the configuration and the read size
// (request_path_fuzz.cpp). Entity tags and signed links are made from the
// fuzz target's own content (request_path_fixture.h), which is the same in
// every process, so the conditional requests hold and the links verify.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/request_path_fixture.h"
#include "tools/tvkserve/download_request.h"

namespace {

using request_path_fuzz::Configuration;
using request_path_fuzz::TheFixture;

// Bits 2-4 of the first byte: reads of one byte instead of the session's.
constexpr std::size_t kByteReads = 1 << 2;
// Bits 5-7 all set: the server is finishing.
constexpr std::size_t kFinishing = 7 << 5;

const std::string kAcme = "/download/setup?brand=acme&ref=partner-7";

std::string Request(std::string_view target, std::string_view fields = "",
                    std::string_view method = "GET") {
    return std::string(method) + " " + std::string(target) +
           " HTTP/1.1\r\nHost: downloads.example.com\r\n" + std::string(fields) + "\r\n";
}

std::string Field(std::string_view name, const std::string& value) {
    return std::string(name) + ": " + value + "\r\n";
}

const tvkserve::ServedContent& Content(Configuration configuration) {
    return *TheFixture().contents[configuration];
}

// The download a target selects, described as the catalog describes it.
tvkserve::DownloadDescription Describe(Configuration configuration, std::string_view target) {
    const tvkserve::ServedContent& content = Content(configuration);
    return content.catalog.Describe(
        std::get<tvkserve::DownloadSelection>(tvkserve::SelectDownload(target, content.config)));
}

// Two-byte ranges across every place where a download's spans meet: the
// first header bytes and the file's body, the body and the table, and each
// of the table's pieces (the shared signature, icon and picture, and the
// bytes a download makes of its own). One request each for target, on one
// connection.
std::string RangesAcrossPieces(const tvkserve::DownloadDescription& download,
                               const std::string& target) {
    const std::shared_ptr<const tvkserve::TaggedDownload> tag = tvkserve::Catalog::Tag(download);
    std::vector<std::uint64_t> starts = {tag->head.size(), tag->body_end};
    std::uint64_t position = tag->body_end;
    for (const tag_writer::TablePiece& piece : tag->table.pieces()) {
        position += piece.size;
        starts.push_back(position);
    }
    std::string requests;
    for (const std::uint64_t start : starts) {
        requests += Request(target, Field("Range", "bytes=" + std::to_string(start - 1) + "-" +
                                                       std::to_string(start)));
    }
    return requests;
}

struct Seed {
    std::string name;
    std::size_t first;  // the configuration and the reads
    std::string bytes;
};

std::vector<Seed> Seeds() {
    using request_path_fuzz::kFallbackLinks;
    using request_path_fuzz::kPlain;
    using request_path_fuzz::kSignedLinks;
    const tvkserve::DownloadDescription acme = Describe(kPlain, kAcme);
    const std::uint64_t head = acme.package->head_size();
    const std::uint64_t table = acme.package->table_offset();
    const std::string signed_etag = Describe(kSignedLinks, kAcme).etag;
    const std::string link = request_path_fuzz::SignedTarget(Content(kSignedLinks), kAcme);
    std::string forged = request_path_fuzz::SignedTarget(Content(kFallbackLinks), kAcme);
    forged.back() = forged.back() == 'A' ? 'B' : 'A';

    return {
        {"get", kPlain, Request(kAcme)},
        {"head", kPlain, Request(kAcme, "", "HEAD")},
        {"range_inside_body", kPlain,
         Request(kAcme, Field("Range", "bytes=" + std::to_string(head + 100) + "-" +
                                           std::to_string(table - 100)))},
        {"range_across_table", kPlain,
         Request(kAcme, Field("Range", "bytes=" + std::to_string(table - 50) + "-" +
                                           std::to_string(table + 50)))},
        {"range_suffix", kPlain, Request(kAcme, Field("Range", "bytes=-700"))},
        {"ranges_across_pieces", kPlain, RangesAcrossPieces(acme, kAcme)},
        {"signed_ranges_across_pieces", kSignedLinks,
         RangesAcrossPieces(Describe(kSignedLinks, kAcme), link)},
        {"range_unsatisfiable", kPlain,
         Request(kAcme, Field("Range", "bytes=" + std::to_string(acme.size) + "-"))},
        {"if_none_match", kPlain,
         Request(kAcme, Field("If-None-Match", "W/\"0\"") + Field("If-None-Match", acme.etag))},
        {"if_range", kPlain,
         Request(kAcme, Field("If-Range", acme.etag) + Field("Range", "bytes=0-99"))},
        {"if_range_stale", kPlain,
         Request(kAcme, Field("If-Range", "\"0\"") + Field("Range", "bytes=0-99"))},
        {"pipelined_get_head", kPlain,
         Request(kAcme) +
             Request("/download/setup-intl?brand=pictured&name=Zo%C3%AB+M%C3%BCller", "", "HEAD")},
        {"pipelined_after_close", kPlain, Request(kAcme, "Connection: close\r\n") + Request(kAcme)},
        {"http10_keep_alive", kPlain,
         "GET /download/setup?brand=plain HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" +
             Request("/download/setup?brand=plain&campaign=spring+sale")},
        {"signed_link", kSignedLinks, Request(link) + Request(link, Field("Range", "bytes=-300"))},
        {"signed_link_if_none_match", kSignedLinks,
         Request(link, Field("If-None-Match", signed_etag))},
        {"unsigned_refused", kSignedLinks, Request(kAcme)},
        {"forged_link_fallback", kFallbackLinks, Request(forged) + Request(kAcme)},
        {"method_not_allowed", kPlain,
         "POST " + kAcme + " HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"},
        {"long_target", kPlain, Request(kAcme + "&campaign=" + std::string(9000, 'a'))},
        {"long_request_line", kPlain, Request(kAcme + "&campaign=" + std::string(17000, 'a'))},
        {"long_header", kPlain, Request(kAcme, Field("X-Filler", std::string(17000, 'x')))},
        {"head_long_header", kPlain,
         Request(kAcme, Field("X-Filler", std::string(17000, 'x')), "HEAD")},
        {"transfer_encoding", kPlain,
         Request(kAcme, "Transfer-Encoding: chunked\r\n") + "0\r\n\r\n" + Request(kAcme)},
        {"body", kPlain, Request(kAcme, "Content-Length: 5\r\n") + "hello" + Request(kAcme)},
        {"empty_lines", kPlain, "\r\n\r\n\n" + Request(kAcme) + "\r\n" + Request(kAcme)},
        {"query_refusals", kPlain,
         Request("/download/setup?brand=acme&x=1") +
             Request("/download/setup?brand=acme&ref=" + std::string(33, 'r')) +
             Request("/download/setup?brand=acme&campaign=ABC") +
             Request("/download/setup?brand=acme&ref=%zz") +
             Request("/download/setup?brand=acme&ref=a&ref=b") + Request("/download/setup") +
             Request("/download/other?brand=acme") + Request("/elsewhere")},
        {"absolute_form_fragment", kPlain,
         Request("http://downloads.example.com/download/setup?brand=plain#part")},
        {"forwarded_for", kPlain,
         Request(kAcme, "X-Forwarded-For: 203.0.113.9, 10.0.0.7\r\nX-Forwarded-For: fd00::1\r\n")},
        {"no_host", kPlain, "GET " + kAcme + " HTTP/1.1\r\n\r\n"},
        {"two_hosts", kPlain, Request(kAcme, "Host: again\r\n")},
        {"byte_reads", kPlain | kByteReads,
         Request(kAcme, Field("Range", "bytes=10-20")) + Request(kAcme, "", "HEAD")},
        {"finishing", kPlain | kFinishing, Request(kAcme) + Request(kAcme)},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_request_path_seeds OUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = std::filesystem::path(argv[1]) / "request_path_fuzz";
    std::filesystem::create_directories(folder);
    for (const Seed& seed : Seeds()) {
        std::ofstream out(folder / seed.name, std::ios::binary | std::ios::trunc);
        out.put(static_cast<char>(seed.first));
        out.write(seed.bytes.data(), static_cast<std::streamsize>(seed.bytes.size()));
    }
    return 0;
}
