#include "tools/package_writer/archive_markers.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include "tools/tag_writer/der_walker.h"
#include "tools/tag_writer/signature_tag.h"

namespace package_writer {

const std::uint8_t kRelaxedMarkerCheckOid[10] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                 0x82, 0x37, 0x02, 0x06, 0x01};

namespace {

using namespace std::string_view_literals;

// From each format's published documentation: PKWARE's APPNOTE (zip),
// Microsoft's cabinet format, RARLAB's technote (the start that RAR 4 and
// RAR 5 share), 7-Zip's 7zFormat.txt and ESTsoft's EGG format.
constexpr std::array kMarkers = {
    ArchiveMarker{"PK\x03\x04"sv, "zip local file header"sv},
    ArchiveMarker{"PK\x01\x02"sv, "zip central directory header"sv},
    ArchiveMarker{"PK\x05\x06"sv, "zip end of central directory record"sv},
    ArchiveMarker{"MSCF"sv, "cabinet (CAB) header"sv},
    ArchiveMarker{"Rar!\x1A\x07"sv, "RAR archive signature"sv},
    ArchiveMarker{"7z\xBC\xAF\x27\x1C"sv, "7z archive signature"sv},
    ArchiveMarker{"EGGA"sv, "EGG archive header"sv},
};

// SignerInfo: version, signer, digest algorithm, then [0] signed attributes.
constexpr std::size_t kSignedAttributesField = 3;

// What Windows may make of a marker, and the remedies.
std::string Consequence() {
    return ": Windows' default check of the certificate data for archive and installer markers "
           "may call the signature malformed (TRUST_E_MALFORMED_SIGNATURE) unless it carries the "
           "relaxed-marker attribute (" +
           std::string(kRelaxedMarkerCheckOidText) +
           "; signtool adds it with /rmc): sign with that attribute, or change the image";
}

bool MatchesAt(std::span<const std::uint8_t> bytes, std::size_t offset,
               const ArchiveMarker& marker) {
    return bytes.size() - offset >= marker.value.size() &&
           std::equal(marker.value.begin(), marker.value.end(), bytes.begin() + offset,
                      [](char expected, std::uint8_t actual) {
                          return static_cast<std::uint8_t>(expected) == actual;
                      });
}

}  // namespace

std::span<const ArchiveMarker> ArchiveMarkers() {
    return kMarkers;
}

std::vector<MarkerMatch> FindArchiveMarkers(std::span<const std::uint8_t> bytes) {
    std::vector<MarkerMatch> matches;
    for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
        for (const ArchiveMarker& marker : kMarkers) {
            if (MatchesAt(bytes, offset, marker)) {
                matches.push_back({&marker, offset});
            }
        }
    }
    return matches;
}

void ArchiveMarkerScan::Add(std::span<const std::uint8_t> bytes) {
    window_.insert(window_.end(), bytes.begin(), bytes.end());
    // A match that starts this far before the window's end fits in it.
    const std::size_t longest =
        std::max_element(kMarkers.begin(), kMarkers.end(), [](const auto& a, const auto& b) {
            return a.value.size() < b.value.size();
        })->value.size();
    if (window_.size() < longest) {
        return;
    }
    Accept(window_start_ + window_.size() - (longest - 1));
    // Only bytes that a match starting at accepted_ or later can cover stay.
    const auto drop = static_cast<std::size_t>(accepted_ - window_start_);
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
    window_start_ = accepted_;
}

std::vector<MarkerMatch> ArchiveMarkerScan::Finish() {
    Accept(window_start_ + window_.size());
    window_.clear();
    return std::move(matches_);
}

void ArchiveMarkerScan::Accept(std::uint64_t until) {
    for (const MarkerMatch& match : FindArchiveMarkers(window_)) {
        const std::uint64_t offset = window_start_ + match.offset;
        if (offset >= accepted_ && offset < until) {
            matches_.push_back({match.marker, static_cast<std::size_t>(offset)});
        }
    }
    accepted_ = std::max(accepted_, until);
}

std::string MarkerText(const ArchiveMarker& marker) {
    std::string text;
    for (const char c : marker.value) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text;
}

std::string MarkerWarning(const std::string& holder, const ArchiveMarker& marker,
                          const std::string& position) {
    return holder + " holds \"" + MarkerText(marker) + "\" (" + std::string(marker.name) + ") at " +
           position + Consequence();
}

std::string MoreMarkersWarning(const std::string& holder, std::size_t count) {
    return holder + " holds " + std::to_string(count) + " more archive or installer marker" +
           (count == 1 ? "" : "s") + Consequence();
}

bool HasRelaxedMarkerCheck(const Bytes& table) {
    using namespace tag_writer;
    const std::vector<DerElement> signer = ReadSignerInfoFields(table);
    if (signer.size() <= kSignedAttributesField ||
        signer[kSignedAttributesField].tag != kDerContextConstructed0) {
        return false;  // no signed attributes at all
    }
    for (const DerElement& attribute : ReadDerChildren(table, signer[kSignedAttributesField])) {
        // A walk of the signature that fails, as the walker's own failures.
        Require(attribute.tag == kDerSequence,
                "a signed attribute of the signature is not a SEQUENCE");
        const std::vector<DerElement> fields = ReadDerChildren(table, attribute);
        if (!fields.empty() && fields[0].tag == kDerObjectIdentifier) {
            const ByteView oid = DerContents(table, fields[0]);
            if (std::equal(oid.begin(), oid.end(), std::begin(kRelaxedMarkerCheckOid),
                           std::end(kRelaxedMarkerCheckOid))) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace package_writer
