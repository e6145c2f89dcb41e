// The tag as part of the Authenticode signature itself: the extra data area
// and the package trailer become the value of an unauthenticated attribute
// of the signature's SignerInfo. That attribute is the last field of the
// last element of the PKCS#7 SignedData, so the DER ends with the package
// trailer and the certificate table holds nothing outside the PKCS#7
// structure: strict verifiers (the PE format's record-length rule, Windows'
// EnableCertPaddingCheck) accept the file as it stands, and the stub finds
// the trailer in the last 24 bytes of the table as always.
//
// Unauthenticated attributes lie outside what the signature signs
// (timestamps and nested signatures live there). Attributes a signer put
// there are kept byte for byte; the tag attribute goes last, and the set
// stays in DER order (filler in the value makes the tag sort last).
//
// All functions work on a certificate table (the bytes the security
// directory points at: a WIN_CERTIFICATE record, then the PKCS#7 DER) and
// throw TagWriterError when it is not what they can work on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/tag_writer/bytes.h"
#include "tools/tag_writer/der_walker.h"
#include "tools/tag_writer/table_pieces.h"

namespace tag_writer {

// The tag attribute's type: a UUID-based object identifier, which needs no
// registration (2.25.314974520267738853913541071413694575537).
extern const std::uint8_t kTagAttributeOid[20];

// Where the tag attribute's value will lie in the tagged table, and how much
// filler it needs between the last block and the restore record.
struct TagAttributePlan {
    std::size_t value_offset = 0;  // from the table's start: the extra data offset
    std::size_t filler_size = 0;
    std::size_t table_size = 0;  // of the tagged table; a multiple of 8
};

// The restore record: the signed table's dwLength and size, so that
// removing the tag gives the signed table back byte for byte. It lies right
// in front of the value's last 24 bytes (the package trailer as the stub
// reads it; a version-1 trailer is preceded by 8 zero bytes there).
constexpr std::size_t kRestoreRecordSize = 8;

// A signed table and its signature, walked and checked once: the table
// holds only the signature and its zero alignment padding, and no tag
// attribute. The slot keeps the table and knows where a tag attribute goes
// in it and which lengths enclose it, so that tags of any size are planned
// and written without walking it again.
class TagAttributeSlot {
  public:
    // Throws TagWriterError when the table is not such a signature.
    explicit TagAttributeSlot(Bytes signed_table);

    const Bytes& signed_table() const { return signed_table_; }

    // Plans a tag attribute whose value holds blocks_size bytes of blocks,
    // then filler, the restore record and the 24 bytes that end with the
    // trailer.
    TagAttributePlan Plan(std::size_t blocks_size) const;

    // Appends the tagged table in front of the attribute's value: the
    // record header (dwLength: the tagged table's size), the signature with
    // every enclosing length rewritten (this slot's signed table's own bytes
    // as shared pieces), a new [1] when the signer had none, and the
    // attribute's header. Throws TagWriterError unless pieces were made on
    // this slot's signed_table().
    void AppendFront(const TagAttributePlan& plan, TablePieces& pieces) const;

  private:
    Bytes signed_table_;
    // ContentInfo, [0], SignedData, signerInfos, SignerInfo, and the
    // SignerInfo's [1] when it has one: each is the last element of the one
    // before, so all of them end where the PKCS#7 ends.
    std::vector<DerElement> path_;
    bool has_unauthenticated_ = false;
    std::vector<DerElement> attributes_;  // the [1]'s elements
};

// The restore record of a signed table.
std::array<std::uint8_t, kRestoreRecordSize> MakeRestoreRecord(ByteView signed_table);

// Where a table's tag attribute value lies, when the signature's last
// SignerInfo ends with one.
struct TagAttributeValue {
    std::size_t offset = 0;  // from the table's start
    std::size_t size = 0;
};
std::optional<TagAttributeValue> FindTagAttribute(ByteView table);

// The signed table again: the tag attribute removed, the lengths and the
// record as they were before tagging. Throws when the table carries no tag
// attribute or its restore record does not fit the signature.
Bytes RemoveTagAttribute(ByteView tagged_table);

// Whether any unauthenticated attribute of the table's signature is of the
// tag's type (false when the signature cannot be walked).
bool HasTagAttribute(ByteView table);

// Where the PKCS#7 structure ends in a table (from the table's start), or
// nothing when the table does not hold a signature that can be walked.
std::optional<std::size_t> SignatureEnd(ByteView table);

// The fields of the signature's only SignerInfo, in order: version, signer,
// digest algorithm, the signed attributes as [0] where there are any, ...
// Throws when the signature cannot be walked.
std::vector<DerElement> ReadSignerInfoFields(ByteView table);

}  // namespace tag_writer
