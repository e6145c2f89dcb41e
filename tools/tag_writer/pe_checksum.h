// The PE image checksum (OptionalHeader.CheckSum), as Windows' image helper
// computes it. Authenticode leaves the field out of the signed hash, so a
// packaging step that changes the certificate table can set it afresh
// without touching the signature: from the whole image, or (a server, an
// edge) from the sums of the pieces it sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tag_writer {

// OptionalHeader.CheckSum, from the start of the NT headers.
constexpr std::size_t kChecksumOffset = 24 + 64;
// The field's size.
constexpr std::size_t kChecksumSize = 4;

// The sum behind the checksum, gathered piece by piece: the file's
// little-endian 16-bit words added with end-around carry. That sum does not
// depend on the order of the words, so pieces may be added in any order, and
// a server can keep the sum of a file's unchanging part and add only what
// differs per copy.
class PeChecksumSum {
  public:
    // Adds size bytes that lie in the file from position on: a byte at an
    // even position is a word's low byte, one at an odd position its high
    // byte (an odd last byte of the file is a word of its own).
    void Add(const std::uint8_t* bytes, std::size_t size, std::uint64_t position);
    void Add(const PeChecksumSum& other) { words_ += other.words_; }
    // Adds the sum of bytes that were added at an even position as if they
    // lay at position instead. From an odd position every byte changes
    // places in its word, which multiplies the one's-complement sum by 256:
    // so the sum of a piece that many files share is gathered once.
    void AddAt(const PeChecksumSum& gathered_at_even, std::uint64_t position);

    // Takes away the sum of bytes that were added. What is left is taken to
    // be the sum of bytes that are not all zero (a PE file's headers are not).
    void Subtract(const PeChecksumSum& added);

    // The checksum of a file of file_size bytes whose bytes were all added,
    // except the checksum field itself (which counts as zero).
    std::uint32_t Checksum(std::uint64_t file_size) const;

    // The plain sum of the words, and a sum made from one, so that a sum
    // gathered once can be written down (a package's manifest) and taken up
    // again elsewhere.
    std::uint64_t words() const { return words_; }
    static PeChecksumSum FromWords(std::uint64_t words) {
        PeChecksumSum sum;
        sum.words_ = words;
        return sum;
    }

    // The sum of a whole file of file_size bytes (its checksum field counted
    // as zero) from the checksum stored in it, which must be right: so the
    // sum of the part that a copy keeps is the whole file's with the sums of
    // the parts it changes taken away, without reading the rest. Nothing
    // for a value that no file of that size can have as its checksum.
    static std::optional<PeChecksumSum> FromChecksum(std::uint32_t checksum,
                                                     std::uint64_t file_size);

  private:
    // The plain sum of the words; it cannot overflow for files below 2^48
    // bytes, and the carries are folded in only at the end.
    std::uint64_t words_ = 0;
};

// The checksum of image with the 4 bytes at checksum_offset taken as zero:
// the sum of the file's little-endian 16-bit words (an odd last byte counts
// as a word of its own), each carry folded back into the low 16 bits, plus
// the file's length.
std::uint32_t ComputePeChecksum(const std::vector<std::uint8_t>& image,
                                std::size_t checksum_offset);

// The checksum stored in an image whose NT headers lie at nt_offset. This
// and UpdatePeChecksum throw TagWriterError when the field does not lie
// inside the image.
std::uint32_t StoredPeChecksum(const std::vector<std::uint8_t>& image, std::size_t nt_offset);

// Writes the computed checksum into the image's CheckSum field.
void UpdatePeChecksum(std::vector<std::uint8_t>& image, std::size_t nt_offset);

}  // namespace tag_writer
