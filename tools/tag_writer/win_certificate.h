// WIN_CERTIFICATE, the record at the start of a PE file's certificate table
// (the bytes the security directory points at): dwLength, wRevision,
// wCertificateType, then the certificate itself (for Authenticode, the
// PKCS#7 SignedData in DER). All numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tag_writer {

// The record's header: dwLength (u32, the record's length, header included),
// wRevision (u16) and wCertificateType (u16).
constexpr std::size_t kCertificateRecordHeaderSize = 8;
constexpr std::size_t kCertificateLengthOffset = 0;          // dwLength, u32
constexpr std::size_t kCertificateRevisionOffset = 4;        // wRevision, u16
constexpr std::size_t kCertificateTypeOffset = 6;            // wCertificateType, u16
constexpr std::uint16_t kCertificateRevision = 0x0200;       // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kCertificateTypePkcsSignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

// Records are 8-byte aligned: a record's successor (or the table's end)
// lies at its dwLength rounded up to this, and dwLength may leave out the
// zero padding up to there. Signing pads the file to it before the table.
constexpr std::size_t kCertificateRecordAlignment = 8;

// length rounded up to the record alignment (computed in 64 bits, so that a
// 32-bit dwLength read from a file cannot wrap).
constexpr std::uint64_t RoundUpToCertificateRecord(std::uint64_t length) {
    return (length + kCertificateRecordAlignment - 1) / kCertificateRecordAlignment *
           kCertificateRecordAlignment;
}

}  // namespace tag_writer
