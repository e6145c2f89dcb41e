// Windows scans an Authenticode signature's certificate data for archive and
// installer magic values ("invalid markers") and, by default, calls a file
// whose certificate table holds one a malformed signature
// (TRUST_E_MALFORMED_SIGNATURE), unless the signature carries the signed
// attribute SpcRelaxedPEMarkerCheck. A tag lies in that data, so a picture
// or an icon can meet the check by chance. Windows' own list is not
// published: the values searched here are the well-known ones from public
// format documentation, so a clean result is a good sign, not a promise.
//
// Both commands use this: tvkpack (tag, inspect) and tvkserve (its brands).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/tag_writer/bytes.h"

namespace package_writer {

using tag_writer::Bytes;

struct ArchiveMarker {
    std::string_view value;  // the bytes, as the format documentation gives them
    std::string_view name;   // what the documentation calls them
};

// The values searched for, in the order they are reported on a tie.
std::span<const ArchiveMarker> ArchiveMarkers();

struct MarkerMatch {
    const ArchiveMarker* marker = nullptr;
    std::size_t offset = 0;  // from the start of the bytes searched
};

// Every place where a marker starts in bytes, by offset (overlapping
// matches included).
std::vector<MarkerMatch> FindArchiveMarkers(std::span<const std::uint8_t> bytes);

// FindArchiveMarkers for bytes that arrive in parts (a file read in chunks):
// the same matches in the same order, by offset from the first byte added,
// holding no more than the last part and a few bytes before it.
class ArchiveMarkerScan {
  public:
    void Add(std::span<const std::uint8_t> bytes);
    // The matches, once every part was added.
    std::vector<MarkerMatch> Finish();

  private:
    // Adds the matches in window_ that start from accepted_ on and before
    // until.
    void Accept(std::uint64_t until);

    Bytes window_;                    // the bytes not yet searched to their end
    std::uint64_t window_start_ = 0;  // the offset of window_'s first byte
    std::uint64_t accepted_ = 0;      // matches before this offset are found
    std::vector<MarkerMatch> matches_;
};

// The marker's value for a message: printable ASCII as it is, other bytes
// (and the backslash and the double quote) as \xNN.
std::string MarkerText(const ArchiveMarker& marker);

// The warning for a marker found: `<holder> holds "EGGA" (EGG archive
// header) at <position>: ` and what Windows may make of it, with the
// remedies.
std::string MarkerWarning(const std::string& holder, const ArchiveMarker& marker,
                          const std::string& position);

// Warnings name this many markers one by one, so that an image that holds a
// whole archive does not flood the output; MoreMarkersWarning counts the rest.
inline constexpr std::size_t kMarkersNamed = 4;
std::string MoreMarkersWarning(const std::string& holder, std::size_t count);

// The signed attribute that relaxes the check: 1.3.6.1.4.1.311.2.6.1
// (SpcRelaxedPEMarkerCheck), as DER encodes the identifier's contents.
extern const std::uint8_t kRelaxedMarkerCheckOid[10];
inline constexpr std::string_view kRelaxedMarkerCheckOidText = "1.3.6.1.4.1.311.2.6.1";

// Whether the signature's SignerInfo carries that attribute among its
// signed (authenticated) attributes; only the outer signature counts, a
// nested one is an unauthenticated attribute of it. table is a certificate
// table (the WIN_CERTIFICATE record, then the PKCS#7 DER). Throws
// tag_writer::TagWriterError when the signature cannot be walked.
bool HasRelaxedMarkerCheck(const Bytes& table);

}  // namespace package_writer
